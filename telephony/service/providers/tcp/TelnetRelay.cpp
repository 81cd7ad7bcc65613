#include "telephony/service/providers/tcp/TelnetRelay.h"

#include "telephony/service/providers/tcp/TcpSocket.h"

#include <QSocketNotifier>

namespace qv::tcp {

using net::NetError;

namespace {

// Writes what the descriptor takes now from the unsent part of `buffer`.
// Returns false for a failure other than a full socket.
bool WriteOut(int fd, QByteArray& buffer, qsizetype& sent)
{
    while (sent < buffer.size()) {
        NetError error;
        const long n = net::Write(fd, buffer.constData() + sent, long(buffer.size() - sent), error);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (error != NetError::WouldBlock)
            return false;
        break;
    }
    // The written part goes once it is all written, or once it is the larger
    // part, so that a long transfer does not move its buffer at every write.
    if (sent == buffer.size()) {
        buffer.clear();
        sent = 0;
    } else if (sent > buffer.size() / 2) {
        buffer.remove(0, sent);
        sent = 0;
    }
    return true;
}

} // namespace

TelnetRelay::TelnetRelay(int netFd, TelnetCodec::Role role) : m_net(netFd), m_codec(role) {}

TelnetRelay::~TelnetRelay()
{
    *m_alive = false;
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
    m_toNet += m_codec.Announce();
    m_toNet += m_codec.Start();
    FlushToNet();
    Update();
    return true;
}

int TelnetRelay::PendingForPhone() const
{
    return int(ToPhoneSize()) + net::QueuedOutput(m_pair) + net::QueuedInput(m_phone);
}

void TelnetRelay::Answer()
{
    m_codec.Answer(m_toNet);
    FlushToNet();
    Update();
}

void TelnetRelay::SetTerminal(const QList<QByteArray>& types, int columns, int rows)
{
    m_codec.SetTerminal(types, columns, rows, m_toNet);
    FlushToNet();
    Update();
}

void TelnetRelay::Update()
{
    if (!m_netRead)
        return;
    const bool netOpen = !m_netEnded;
    m_netRead->setEnabled(netOpen && ToPhoneSize() < HighWater && ToNetSize() < HighWater);
    // A network side that failed before anyone was told is reported from the
    // next handler run; a broken socket always polls writable.
    m_netWrite->setEnabled((netOpen && ToNetSize() > 0) || (m_netEnded && !m_reported));
    m_pairRead->setEnabled(netOpen && !m_pairBroken && ToNetSize() < HighWater);
    m_pairWrite->setEnabled(ToPhoneSize() > 0);
}

void TelnetRelay::NetReadable()
{
    // Take what is there while the other side has room for it, so that a
    // busy call is not relayed one chunk per pass of the event loop.
    while (!m_netEnded && ToPhoneSize() < HighWater && ToNetSize() < HighWater) {
        char buffer[ChunkSize];
        NetError error;
        const long n = net::Read(m_net, buffer, sizeof buffer, error);
        if (n > 0) {
            m_codec.Feed(QByteArrayView(buffer, n), m_toPhone, m_toNet);
            m_received = true;
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
    while (!m_netEnded && !m_pairBroken && ToNetSize() < HighWater) {
        char buffer[ChunkSize];
        NetError error;
        const long n = net::Read(m_pair, buffer, sizeof buffer, error);
        if (n > 0) {
            m_codec.EncodeForPeer(QByteArrayView(buffer, n), m_toNet);
            FlushToNet();
            continue;
        }
        if (error == NetError::WouldBlock) {
            // The phone has written all it has for now: a CR held back to
            // see whether an LF follows goes out as it is.
            m_codec.FlushForPeer(m_toNet);
            FlushToNet();
        } else {
            // We hold the phone's end ourselves, so the pair cannot end while
            // the call lasts; should it fail, nothing is left to relay this way.
            m_pairBroken = true;
        }
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
    // still on its way from the phone when the phone drops the call.
    for (int round = 0; round < 16 && !m_netEnded && !m_pairBroken; ++round) {
        char buffer[ChunkSize];
        NetError error;
        const long n = net::Read(m_pair, buffer, sizeof buffer, error);
        if (n <= 0)
            break;
        m_codec.EncodeForPeer(QByteArrayView(buffer, n), m_toNet);
    }
    m_codec.FlushForPeer(m_toNet);
    FlushToNet();
}

void TelnetRelay::FlushToNet()
{
    if (m_netEnded)
        return;
    if (!WriteOut(m_net, m_toNet, m_toNetSent)) {
        m_netEnded = true;
        m_failed = true;
    }
}

void TelnetRelay::FlushToPhone()
{
    // The phone's end is gone when this fails: nobody is left to read it.
    if (!WriteOut(m_pair, m_toPhone, m_toPhoneSent)) {
        m_toPhone.clear();
        m_toPhoneSent = 0;
    }
}

void TelnetRelay::Finish()
{
    // The phone reads the end of the stream after the last byte the peer
    // sent: carrier lost, with nothing lost before it.
    if (m_netEnded && ToPhoneSize() == 0 && !m_pairShut) {
        net::ShutdownWrite(m_pair);
        m_pairShut = true;
    }
    Update();
    // Copies, since a handler may destroy this relay and with it the stored
    // ones.
    const std::shared_ptr<bool> alive = m_alive;
    if (m_received) {
        m_received = false;
        const auto changed = m_handlers.changed;
        if (changed)
            changed();
        if (!*alive)
            return;
    }
    if (m_netEnded && !m_reported) {
        m_reported = true;
        const auto ended = m_handlers.networkEnded;
        if (ended)
            ended(m_failed);
    }
}

} // namespace qv::tcp
