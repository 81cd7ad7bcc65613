// The data path of a telnet-mode call: a local connection whose far end is
// the call's data channel, and a relay between its near end and the network
// that speaks telnet on the wire (TelnetCodec) and plain bytes locally.
//
// Back-pressure both ways: the relay reads from a side only while what it
// holds for the other side is below HighWater, so a slow reader slows the
// writer down and no byte is ever dropped.
#pragma once

#include "telephony/service/providers/tcp/TelnetCodec.h"

#include <QByteArray>
#include <QList>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace qv::tcp {

class TelnetRelay
{
public:
    static constexpr int HighWater = 64 * 1024;
    static constexpr int ChunkSize = 16 * 1024;

    struct Handlers
    {
        // Runs once, when the network side has ended: `failed` is false for
        // an orderly close, true for a reset or a failed write. What the peer
        // sent before an orderly close is still passed on to the phone,
        // followed by the end of the stream (PendingForPhone tells how much
        // is left).
        std::function<void(bool failed)> networkEnded;
        // Runs after received bytes may have changed what the codec knows
        // (options, the far side's answer).
        std::function<void()> changed;
    };

    // `netFd` is the call's connected socket; it stays the caller's.
    TelnetRelay(int netFd, TelnetCodec::Role role);
    ~TelnetRelay();
    TelnetRelay(const TelnetRelay&) = delete;
    TelnetRelay& operator=(const TelnetRelay&) = delete;

    // Makes the local connection and sends our opening negotiation (with
    // the answering side's offer of our option). False when the connection
    // could not be made (out of descriptors).
    bool Start();
    // Either handler may destroy the relay. They run from the event loop
    // only, so they can be given after Start.
    void SetHandlers(Handlers handlers) { m_handlers = std::move(handlers); }
    // The end handed out as the call's data channel.
    int PhoneFd() const { return m_phone; }
    // Bytes from the peer that the phone has not read yet.
    int PendingForPhone() const;
    const TelnetCodec& Codec() const { return m_codec; }
    // The answering side's operator took the call.
    void Answer();
    // The terminal types and size for the peer's TTYPE and NAWS questions.
    void SetTerminal(const QList<QByteArray>& types, int columns, int rows);
    // Before the call is dropped: passes on to the network what the phone
    // wrote last, as far as the socket takes it without waiting.
    void FlushBeforeClose();

private:
    void NetReadable();
    void NetWritable();
    void PairReadable();
    void PairWritable();
    void FlushToNet();
    void FlushToPhone();
    // Ends every notifier handler: enables the notifiers that have work and
    // room, and then runs the handlers that are due, the end of the network
    // side last.
    void Finish();
    void Update();
    qsizetype ToNetSize() const { return m_toNet.size() - m_toNetSent; }
    qsizetype ToPhoneSize() const { return m_toPhone.size() - m_toPhoneSent; }

    int m_net;
    int m_pair = -1;  // our end
    int m_phone = -1; // the phone's end
    TelnetCodec m_codec;
    // What waits for each side, and how much of it has been written already.
    QByteArray m_toPhone, m_toNet;
    qsizetype m_toPhoneSent = 0, m_toNetSent = 0;
    bool m_netEnded = false;
    bool m_failed = false;
    bool m_pairBroken = false;
    bool m_pairShut = false;
    bool m_reported = false;
    bool m_received = false; // bytes came in since the changed handler last ran
    Handlers m_handlers;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    std::unique_ptr<QSocketNotifier> m_netRead, m_netWrite, m_pairRead, m_pairWrite;
};

} // namespace qv::tcp
