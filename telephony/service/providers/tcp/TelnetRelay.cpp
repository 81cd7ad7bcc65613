#include "telephony/service/providers/tcp/TelnetRelay.h"

#include "telephony/service/providers/tcp/TcpSocket.h"

#include <QSocketNotifier>

namespace qv::tcp {

using net::NetError;

TelnetRelay::TelnetRelay(int netFd, std::function<void(bool failed)> onNetworkEnded)
    : m_net(netFd), m_onNetworkEnded(std::move(onNetworkEnded))
{}

TelnetRelay::~TelnetRelay()
{
    m_netRead.reset();
    m_netWrite.reset();
    m_pairRead.reset();
    m_pairWrite.reset();
    net::Close(m_pair);
    net::Close(m_phone);
}

bool TelnetRelay::Start()
{
    NetError error;
    if (!net::MakePair(m_pair, m_phone, error))
        return false;
    auto make = [this](int fd, QSocketNotifier::Type type, void (TelnetRelay::*handler)()) {
        auto n = std::make_unique<QSocketNotifier>(fd, type);
        n->setEnabled(false);
        QObject::connect(n.get(), &QSocketNotifier::activated, n.get(),
                         [this, handler] { (this->*handler)(); });
        return n;
    };
    m_netRead = make(m_net, QSocketNotifier::Read, &TelnetRelay::NetReadable);
    m_netWrite = make(m_net, QSocketNotifier::Write, &TelnetRelay::NetWritable);
    m_pairRead = make(m_pair, QSocketNotifier::Read, &TelnetRelay::PairReadable);
    m_pairWrite = make(m_pair, QSocketNotifier::Write, &TelnetRelay::PairWritable);
    m_toNet += m_codec.Start();
    FlushToNet();
    Update();
    return true;
}

int TelnetRelay::PendingForPhone() const
{
    return int(m_toPhone.size()) + net::QueuedInput(m_phone);
}

void TelnetRelay::Update()
{
    if (!m_netRead)
        return;
    const bool netOpen = !m_netEnded;
    m_netRead->setEnabled(netOpen && m_toPhone.size() < HighWater && m_toNet.size() < HighWater);
    // A network side that failed before anyone was told is reported from the
    // next handler run; a broken socket always polls writable.
    m_netWrite->setEnabled((netOpen && !m_toNet.isEmpty()) || (m_netEnded && !m_reported));
    m_pairRead->setEnabled(netOpen && !m_pairBroken && m_toNet.size() < HighWater);
    m_pairWrite->setEnabled(!m_toPhone.isEmpty());
}

void TelnetRelay::NetReadable()
{
    // Take what is there while the other side has room for it, so that a
    // busy call is not relayed one chunk per pass of the event loop.
    while (!m_netEnded && m_toPhone.size() < HighWater && m_toNet.size() < HighWater) {
        char buffer[ChunkSize];
        NetError error;
        const long n = net::Read(m_net, buffer, sizeof buffer, error);
        if (n > 0) {
            m_codec.Feed(QByteArrayView(buffer, n), m_toPhone, m_toNet);
            FlushToPhone();
            FlushToNet();
            continue;
        }
        if (error == NetError::Closed) {
            // Whatever the peer sent before closing still goes to the phone;
            // the end of the stream follows it.
            m_netEnded = true;
            FlushToPhone();
        } else if (error != NetError::WouldBlock) {
            m_netEnded = true;
            m_failed = true;
        }
        break;
    }
    Finish();
}

void TelnetRelay::NetWritable()
{
    FlushToNet();
    Finish();
}

void TelnetRelay::PairReadable()
{
    while (!m_netEnded && !m_pairBroken && m_toNet.size() < HighWater) {
        char buffer[ChunkSize];
        NetError error;
        const long n = net::Read(m_pair, buffer, sizeof buffer, error);
        if (n > 0) {
            m_toNet += TelnetCodec::Escape(QByteArrayView(buffer, n));
            FlushToNet();
            continue;
        }
        // We hold the phone's end ourselves, so the pair cannot end while the
        // call lasts; should it fail, nothing is left to relay this way.
        if (error != NetError::WouldBlock)
            m_pairBroken = true;
        break;
    }
    Finish();
}

void TelnetRelay::PairWritable()
{
    FlushToPhone();
    Finish();
}

void TelnetRelay::FlushBeforeClose()
{
    if (m_pair < 0)
        return;
    // A closing ZMODEM "OO" or a last line typed before hanging up is often
    // still in the pair when the phone drops the call.
    for (int round = 0; round < 16 && !m_netEnded && !m_pairBroken; ++round) {
        char buffer[ChunkSize];
        NetError error;
        const long n = net::Read(m_pair, buffer, sizeof buffer, error);
        if (n <= 0)
            break;
        m_toNet += TelnetCodec::Escape(QByteArrayView(buffer, n));
    }
    FlushToNet();
}

void TelnetRelay::FlushToNet()
{
    while (!m_toNet.isEmpty() && !m_netEnded) {
        NetError error;
        const long n = net::Write(m_net, m_toNet.constData(), long(m_toNet.size()), error);
        if (n > 0) {
            m_toNet.remove(0, n);
            continue;
        }
        if (error != NetError::WouldBlock) {
            m_netEnded = true;
            m_failed = true;
        }
        break;
    }
}

void TelnetRelay::FlushToPhone()
{
    while (!m_toPhone.isEmpty()) {
        NetError error;
        const long n = net::Write(m_pair, m_toPhone.constData(), long(m_toPhone.size()), error);
        if (n > 0) {
            m_toPhone.remove(0, n);
            continue;
        }
        if (error != NetError::WouldBlock)
            m_toPhone.clear(); // the phone's end is gone: nobody is left to read it
        break;
    }
}

void TelnetRelay::Finish()
{
    // The phone reads the end of the stream after the last byte the peer
    // sent: carrier lost, with nothing lost before it.
    if (m_netEnded && m_toPhone.isEmpty() && !m_pairShut) {
        net::ShutdownWrite(m_pair);
        m_pairShut = true;
    }
    Update();
    if (m_netEnded && !m_reported) {
        m_reported = true;
        // A copy, since the callback may destroy this relay and with it the
        // stored one.
        const auto report = m_onNetworkEnded;
        if (report)
            report(m_failed);
    }
}

} // namespace qv::tcp
