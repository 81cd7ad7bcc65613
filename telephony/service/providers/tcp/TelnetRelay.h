// The data path of a telnet-mode call: a socket pair whose far end is the
// call's data channel, and a relay between its near end and the network that
// speaks telnet on the wire (TelnetCodec) and plain bytes on the pair.
//
// Back-pressure both ways: the relay reads from a side only while what it
// holds for the other side is below HighWater, so a slow reader slows the
// writer down and no byte is ever dropped.
#pragma once

#include "telephony/service/providers/tcp/TelnetCodec.h"

#include <QByteArray>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace qv::tcp {

class TelnetRelay
{
public:
    static constexpr int HighWater = 64 * 1024;
    static constexpr int ChunkSize = 16 * 1024;

    // `netFd` is the call's connected socket; it stays the caller's. The
    // callback runs once, when the network side has ended: `failed` is false
    // for an orderly close, true for a reset or a failed write. What the peer
    // sent before an orderly close is still passed on to the phone, followed
    // by the end of the stream (PendingForPhone tells how much is left). The
    // callback may destroy the relay.
    TelnetRelay(int netFd, std::function<void(bool failed)> onNetworkEnded);
    ~TelnetRelay();
    TelnetRelay(const TelnetRelay&) = delete;
    TelnetRelay& operator=(const TelnetRelay&) = delete;

    // Makes the pair and sends our opening negotiation. False when the pair
    // could not be made (out of descriptors).
    bool Start();
    // The end handed out as the call's data channel.
    int PhoneFd() const { return m_phone; }
    // Bytes from the peer that the phone has not read yet.
    int PendingForPhone() const;
    const TelnetCodec& Codec() const { return m_codec; }
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
    // room, and reports the end of the network side once, as the last act.
    void Finish();
    void Update();

    int m_net;
    int m_pair = -1;  // our end
    int m_phone = -1; // the phone's end
    TelnetCodec m_codec;
    QByteArray m_toPhone;
    QByteArray m_toNet;
    bool m_netEnded = false;
    bool m_failed = false;
    bool m_pairBroken = false;
    bool m_pairShut = false;
    bool m_reported = false;
    std::function<void(bool)> m_onNetworkEnded;
    std::unique_ptr<QSocketNotifier> m_netRead, m_netWrite, m_pairRead, m_pairWrite;
};

} // namespace qv::tcp
