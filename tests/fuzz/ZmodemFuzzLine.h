// A QvFile on a port whose call is one end of a socketpair, in virtual time:
// the fuzz targets of the whole receive and send sessions play the remote on
// the other end. Everything is built per input and torn down after it, so one
// input never sees what another left behind.
#pragma once

#include "FuzzSupport.h"

#include "common/CallDataSource.h"
#include "common/Clock.h"
#include "common/MessageWindow.h"
#include "serial/QvSerialPort.h"
#include "transfer/QvFile.h"

#include <QByteArray>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qv::fuzz {

// A phone with one connected call whose data channel is `commHandle`.
class LinePhone : public TCallDataSource
{
public:
    using TCallDataSource::TCallDataSource;
    bool IsConnected() const override { return true; }
    bool IsCallConnected(int call) const override { return call == 1; }
    int CurrentCallHandle() const override { return 1; }
    int GetCommHandle(int& handle) override
    {
        handle = commHandle;
        return 0;
    }
    int commHandle = -1;

protected:
    void WndProc(TMessage& message) override
    {
        TCallDataSource::WndProc(message);
        if (message.Msg == MSG_CALL_DATA_READY) {
            PostMessage(static_cast<WindowHandle>(message.LParam), MSG_CALL_DATA_READY, 0, 0);
            message.Result = 0;
        }
    }
};

class ZmodemFuzzLine
{
public:
    ZmodemFuzzLine()
    {
        EnsureCoreApplication();
        int fds[2] = {-1, -1};
        Check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "a socketpair for the line");
        m_ours = fds[0];
        m_remote = fds[1];
        ::fcntl(m_remote, F_SETFL, ::fcntl(m_remote, F_GETFL) | O_NONBLOCK);
        phone.commHandle = m_ours;
        // Buffers large enough for a transfer, as the window sets them.
        port.SetMaxReceiveSize(8192);
        port.SetMaxSendSize(8192);
        port.SetLinkedTo(&phone);
        file.Transfer().SetLinkedTo(&port);
        // A few retries end a hopeless session in a few virtual seconds.
        file.Transfer().SetMaxRetries(3);
    }
    ~ZmodemFuzzLine()
    {
        file.Transfer().SetLinkedTo(nullptr);
        port.Close();
        ::close(m_ours);
        ::close(m_remote);
    }
    ZmodemFuzzLine(const ZmodemFuzzLine&) = delete;
    ZmodemFuzzLine& operator=(const ZmodemFuzzLine&) = delete;

    bool Open()
    {
        if (port.Open(0) != 0)
            return false;
        for (int i = 0; i < 50 && !port.IsOpened(); ++i)
            ProcessMessages();
        return port.IsOpened();
    }

    // The remote sends `n` bytes; the component gets to read them.
    void Deliver(const std::uint8_t* data, std::size_t n)
    {
        std::size_t done = 0;
        for (int stalls = 0; done < n && stalls < 100;) {
            const ssize_t sent = ::send(m_remote, data + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0) {
                done += std::size_t(sent);
                stalls = 0;
            } else {
                ++stalls;
                Settle();
            }
        }
        Settle();
    }

    // Virtual time passes; the component runs after every `step`. The port
    // polls every 50 ms; waiting out a time-out may take longer steps.
    void Advance(std::int64_t ms, std::int64_t step = 50)
    {
        while (ms > 0) {
            const std::int64_t now = ms < step ? ms : step;
            m_clock->Advance(now);
            Settle();
            ms -= now;
        }
    }

    // Lets the component run until it has read what the remote sent, and
    // takes away what it wrote so that its writes never wait.
    void Settle()
    {
        for (int i = 0; i < 64; ++i) {
            ProcessMessages();
            Drain();
            int unread = 0;
            if (::ioctl(m_ours, FIONREAD, &unread) != 0 || unread == 0) {
                ProcessMessages();
                Drain();
                return;
            }
        }
    }

    // Everything the component wrote, and the part not yet looked at.
    const QByteArray& Written() const { return m_written; }

    ScopedVirtualClock m_clock;
    LinePhone phone;
    QvSerialPort port;
    QvFile file;

private:
    void Drain()
    {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(m_remote, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0)
                return;
            // Only the start is kept: a target looks at the first frames.
            if (m_written.size() < 65536)
                m_written.append(buffer, int(n));
        }
    }

    int m_ours = -1;
    int m_remote = -1;
    QByteArray m_written;
};

} // namespace qv::fuzz
