// The telnet side of a tcp line in telnet mode. Push-driven: Feed() takes any
// chunk of received bytes, keeps its state across chunks, and splits them into
// data for the call and replies for the network; EncodeForPeer() turns call
// data into wire bytes.
//
// Options (negotiated by the rules of RFC 1143, so that two agreeable peers
// never loop on each other's acknowledgements):
//   BINARY  both directions; while a direction is not binary the NVT rules
//           apply to it: a CR goes out as CR NUL (or CR LF), CR NUL comes in
//           as CR.
//   SGA     both directions.
//   ECHO    accepted from the peer (it echoes what we send); we never echo.
//   TTYPE   answered from the terminal types given, in order, then the last
//           one again (RFC 1091).
//   NAWS    the terminal size, sent again whenever it changes.
//   VH      our own option between two copies of this program: the answering
//           side offers it as soon as the connection rings, and once its
//           operator answers it says so with a subnegotiation. A plain telnet
//           peer refuses the offer and never sees it as data.
// Every other option is refused. Subnegotiations longer than
// MaxSubnegotiation are skipped to their end without being stored.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

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
constexpr std::uint8_t OPT_ECHO = 1;
constexpr std::uint8_t OPT_SGA = 3;
constexpr std::uint8_t OPT_TTYPE = 24;
constexpr std::uint8_t OPT_NAWS = 31;
// Unassigned in the telnet option registry; only copies of this program
// offer or accept it.
constexpr std::uint8_t OPT_VH = 86;
constexpr std::uint8_t TTYPE_IS = 0;
constexpr std::uint8_t TTYPE_SEND = 1;
constexpr std::uint8_t VH_ANSWERED = 1;
} // namespace telnet

class TelnetCodec
{
public:
    // Longest subnegotiation kept track of.
    static constexpr int MaxSubnegotiation = 512;
    // Longest terminal type sent, and most types kept.
    static constexpr int MaxTerminalType = 40;
    static constexpr int MaxTerminalTypes = 16;

    // The side that placed the call, or the side that answers it.
    enum class Role
    {
        Calling,
        Answering
    };
    // What the peer's first complete word on the wire was: our option offered
    // (another copy of this program, ringing), or anything else.
    enum class Opening
    {
        Nothing,
        VhOffer,
        Other
    };

    explicit TelnetCodec(Role role = Role::Calling);

    // What a side sends first: it offers and asks for BINARY and SGA.
    QByteArray Start();
    // The answering side's offer of our option, sent when the call starts to
    // ring. Empty for the calling side.
    QByteArray Announce();
    // The answering side's operator took the call: the peer learns it as soon
    // as it has accepted our option.
    void Answer(QByteArray& replies);

    // Splits received bytes into call data (appended to `data`) and replies
    // that must go back to the peer (appended to `replies`).
    void Feed(QByteArrayView received, QByteArray& data, QByteArray& replies);

    // Call data for the wire by the rules of the direction to the peer. A CR
    // at the end is held until the next call shows whether an LF follows it;
    // FlushForPeer sends a held CR as CR NUL.
    void EncodeForPeer(QByteArrayView data, QByteArray& wire);
    void FlushForPeer(QByteArray& wire);

    // Call data made safe for a binary wire: every IAC doubled.
    static QByteArray Escape(QByteArrayView data);

    // The terminal types (in order of preference) and size for TTYPE and
    // NAWS. A changed size is sent at once when NAWS is on. Types that are
    // empty, longer than MaxTerminalType or not printable ASCII are left out.
    void SetTerminal(const QList<QByteArray>& types, int columns, int rows, QByteArray& replies);

    // Whether each direction has agreed on BINARY.
    bool BinaryToPeer() const { return m_us[telnet::OPT_BINARY] == Yes; }
    bool BinaryFromPeer() const { return m_them[telnet::OPT_BINARY] == Yes; }
    // Whether an option is on for the peer's side (it performs it) or ours.
    bool PeerDoes(std::uint8_t option) const { return m_them[option] == Yes; }
    bool WeDo(std::uint8_t option) const { return m_us[option] == Yes; }
    // The peer echoes what it receives.
    bool RemoteEcho() const { return PeerDoes(telnet::OPT_ECHO); }
    // The peer is another copy of this program.
    bool PeerIsVh() const;
    // The calling side: the answering copy's operator has taken the call.
    bool FarAnswered() const { return m_farAnswered; }
    Opening PeerOpening() const { return m_opening; }

    // Back to the state of a fresh connection (terminal settings are kept).
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
    // Per option and side, as RFC 1143 keeps them. We never change our mind
    // about an option once asked, so its queue bit is not needed.
    enum Q : std::uint8_t
    {
        No,
        Yes,
        WantNo,
        WantYes
    };

    bool WeAccept(std::uint8_t option) const;
    bool PeerMayDo(std::uint8_t option) const;
    void Ask(std::uint8_t verb, std::uint8_t option, QByteArray& out);
    void Negotiate(std::uint8_t verb, std::uint8_t option, QByteArray& replies);
    void WeNowDo(std::uint8_t option, QByteArray& replies);
    void Subnegotiation(QByteArray& replies);
    void SendNaws(QByteArray& replies);
    void SawWord(Opening kind);
    static void Put(QByteArray& out, std::uint8_t verb, std::uint8_t option);
    static void PutSubData(QByteArray& out, std::uint8_t byte);

    Role m_role;
    State m_state = Data;
    std::uint8_t m_verb = 0;
    int m_subLength = 0;
    bool m_subOverflow = false;
    std::array<std::uint8_t, MaxSubnegotiation> m_sub{};
    std::array<Q, 256> m_us{};   // options we perform (WILL/WONT)
    std::array<Q, 256> m_them{}; // options the peer performs (DO/DONT)
    bool m_afterCr = false;      // the last data byte in was a CR
    bool m_heldCr = false;       // a CR out waits for its next byte
    bool m_answered = false;
    bool m_farAnswered = false;
    Opening m_opening = Opening::Nothing;
    int m_nextType = 0;
    QList<QByteArray> m_types{QByteArrayLiteral("UNKNOWN")};
    int m_columns = 80, m_rows = 24;
};

} // namespace qv::tcp
