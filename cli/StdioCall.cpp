#include "cli/StdioCall.h"

#include "common/ErrorCodes.h"

#include <QTimer>

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vh::cli {

namespace {

// A relay holds at most this much before it stops reading the side that
// sends it, so that a slow reader slows the writer instead of filling memory.
constexpr qsizetype kHighWater = 65536;
constexpr int kFinishPollMs = 20;

} // namespace

StdioCall::StdioCall(int in, int out) : m_in(in), m_out(out)
{
    SetName(QStringLiteral("StandardStreams"));
}

StdioCall::~StdioCall()
{
    m_fromStdin.reset();
    m_toPort.reset();
    m_fromPort.reset();
    m_toStdout.reset();
    if (m_portEnd >= 0)
        ::close(m_portEnd);
    if (m_relayEnd >= 0)
        ::close(m_relayEnd);
}

int StdioCall::Start()
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return qv::LastOsError();
    m_portEnd = ends[0];
    m_relayEnd = ends[1];

    m_toPort = std::make_unique<OutputStream>(
        m_relayEnd,
        [this] {
            m_fromStdin->SetPaused(false);
            if (m_fromStdin->Ended())
                End();
        },
        [this](int) { End(); });
    m_fromStdin = std::make_unique<InputStream>(
        m_in,
        [this](const QByteArray& bytes) {
            m_toPort->Write(bytes);
            if (m_toPort->Pending() > kHighWater)
                m_fromStdin->SetPaused(true);
        },
        [this](int) {
            // What standard input brought reaches the port first.
            if (m_toPort->Pending() == 0)
                End();
        });
    m_toStdout = std::make_unique<OutputStream>(
        m_out, [this] { m_fromPort->SetPaused(false); }, [this](int) { End(); });
    m_fromPort = std::make_unique<InputStream>(
        m_relayEnd,
        [this](const QByteArray& bytes) {
            m_toStdout->Write(bytes);
            if (m_toStdout->Pending() > kHighWater)
                m_fromPort->SetPaused(true);
        },
        [](int) {});

    for (InputStream* in : {m_fromPort.get(), m_fromStdin.get()})
        if (const int osError = in->Start(); osError != 0)
            return osError;
    for (OutputStream* out : {m_toPort.get(), m_toStdout.get()})
        if (const int osError = out->Start(); osError != 0)
            return osError;
    m_connected = true;
    return 0;
}

int StdioCall::GetCommHandle(int& handle)
{
    handle = m_connected ? m_portEnd : 0;
    return m_connected ? 0 : 161; // the call is already disconnected
}

void StdioCall::WndProc(qv::TMessage& message)
{
    TCallDataSource::WndProc(message);
    if (message.Msg != qv::MSG_CALL_DATA_READY || message.LParam == 0)
        return;
    // The streams carry raw bytes from the start: the port may open at once.
    qv::PostMessage(static_cast<qv::WindowHandle>(message.LParam), qv::MSG_CALL_DATA_READY, 0, 0);
    message.Result = m_connected ? 0 : 161;
}

void StdioCall::End()
{
    if (!m_connected)
        return;
    m_connected = false;
    // The port reads the end of its channel once it has read the rest.
    ::shutdown(m_relayEnd, SHUT_WR);
    if (m_onEnded)
        m_onEnded();
}

bool StdioCall::RelayEmpty() const
{
    int unread = 0;
    if (::ioctl(m_relayEnd, FIONREAD, &unread) != 0)
        unread = 0;
    return unread == 0 && (m_toStdout->Pending() == 0 || m_toStdout->Failed());
}

void StdioCall::Finish(int limitMs, std::function<void()> done)
{
    m_finished = std::move(done);
    m_finishBy = QDeadlineTimer(limitMs);
    m_finishTimer = std::make_unique<QTimer>();
    m_finishTimer->setInterval(kFinishPollMs);
    QObject::connect(m_finishTimer.get(), &QTimer::timeout, [this] { CheckFinished(); });
    m_finishTimer->start();
    CheckFinished();
}

void StdioCall::CheckFinished()
{
    if (!m_finished)
        return;
    if (m_toStdout && !RelayEmpty() && !m_finishBy.hasExpired())
        return;
    m_finishTimer->stop();
    auto done = std::move(m_finished);
    m_finished = nullptr;
    done();
}

} // namespace vh::cli
