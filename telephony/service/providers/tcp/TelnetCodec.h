// The telnet side of a tcp line in telnet mode: IAC bytes doubled on the way
// out and undoubled on the way in, option negotiation answered so that BINARY
// is on in both directions and every other option stays off, and subnegotiation
// swallowed. Push-driven: Feed() takes any chunk of received bytes, keeps its
// state across chunks, and splits them into data for the call and replies for
// the network.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <cstdint>

namespace qv::tcp {

namespace telnet {
constexpr std::uint8_t IAC = 255;
constexpr std::uint8_t DONT = 254;
constexpr std::uint8_t DO = 253;
constexpr std::uint8_t WONT = 252;
constexpr std::uint8_t WILL = 251;
constexpr std::uint8_t SB = 250;
constexpr std::uint8_t SE = 240;
constexpr std::uint8_t OPT_BINARY = 0;
} // namespace telnet

class TelnetCodec
{
public:
    // Longest subnegotiation kept track of; a longer one is skipped to its end
    // without being stored.
    static constexpr int MaxSubnegotiation = 512;

    TelnetCodec();

    // What a side sends first: it offers and asks for BINARY.
    QByteArray Start();

    // Splits received bytes into call data (appended to `data`) and replies
    // that must go back to the peer (appended to `replies`).
    void Feed(QByteArrayView received, QByteArray& data, QByteArray& replies);

    // Call data made safe for the wire: every IAC doubled.
    static QByteArray Escape(QByteArrayView data);

    // Whether each direction has agreed on BINARY.
    bool BinaryToPeer() const { return m_us[telnet::OPT_BINARY] == On; }
    bool BinaryFromPeer() const { return m_them[telnet::OPT_BINARY] == On; }

    // Back to the state of a fresh connection.
    void Reset();

private:
    enum State : std::uint8_t
    {
        Data,
        Iac,
        Verb,
        Sub,
        SubIac
    };
    // Per option and side, whether it is on, off, or asked for and not yet
    // answered; answering only on a change keeps two agreeable peers from
    // looping on each other's acknowledgements.
    enum Option : std::uint8_t
    {
        Off,
        On,
        AskedOn
    };

    void Negotiate(std::uint8_t verb, std::uint8_t option, QByteArray& replies);
    static void Put(QByteArray& out, std::uint8_t verb, std::uint8_t option);

    State m_state = Data;
    std::uint8_t m_verb = 0;
    int m_subLength = 0;
    std::array<Option, 256> m_us{};   // options we perform (WILL/WONT)
    std::array<Option, 256> m_them{}; // options the peer performs (DO/DONT)
};

} // namespace qv::tcp
