// A QvFile on a port whose call is one end of a socketpair, in virtual time:
// the fuzz targets of the whole receive and send sessions play the remote on
// the other end. Everything is built per input and torn down after it, so one
// input never sees what another left behind.
#pragma once

#include "FuzzSupport.h"

#include "common/Clock.h"
#include "serial/QvSerialPort.h"
#include "tests/transfer/TransferTestSupport.h"
#include "transfer/QvFile.h"

#include <QByteArray>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qv::fuzz {

class ZmodemFuzzLine
{
public:
    ZmodemFuzzLine()
    {
        // Qt's own event loop rather than GLib's: the components see the same
        // messages and notifiers, and every step of a session turns the loop
        // several times, and a turn of GLib's costs more. The choice is made
        // when the application object is, before the first input only.
        if (!QCoreApplication::instance())
            qputenv("QT_NO_GLIB", "1");
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

    // Plays the remote from `input`: records of a length byte and that many
    // bytes, sent as one piece after which `runMs` pass in steps of `stepMs`;
    // a length of 0 lets 6.1 s pass instead, for a time-out. Only the first
    // few such records wait: one more than a session's retries is enough to
    // reach every time-out path, and each wait is a hundred poll ticks.
    void Play(FuzzInput& input, std::int64_t runMs, std::int64_t stepMs)
    {
        int waits = 0;
        while (!input.Empty()) {
            const std::size_t length = input.Byte();
            if (length == 0) {
                if (waits++ < kMaxWaits)
                    Advance(6100, 500);
                continue;
            }
            const std::uint8_t* piece = nullptr;
            const std::size_t n = input.Chunk(length, piece);
            Deliver(piece, n);
            if (runMs > 0)
                Advance(runMs, stepMs);
        }
    }

    // Lets time run out while the component is in `mode`, at most `limit`
    // time-outs long; true when it has left the mode.
    bool RunOut(TOperationMode mode, int limit = 12)
    {
        for (std::int64_t ms = 0; ms < limit * 6100 && file.OperationMode() == mode; ms += 500)
            Advance(500, 500);
        return file.OperationMode() != mode;
    }

    // Everything the component wrote (its first 64 KiB).
    const QByteArray& Written() const { return m_written; }

    ScopedVirtualClock m_clock;
    test::LinePhone phone;
    QvSerialPort port;
    QvFile file;

private:
    void Drain()
    {
        // Static: clearing a 64 KiB frame on every call costs more than the read.
        static char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(m_remote, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0)
                return;
            // Only the start is kept: a target looks at the first frames.
            if (m_written.size() < 65536)
                m_written.append(buffer, int(n));
        }
    }

    static constexpr int kMaxWaits = 4;

    int m_ours = -1;
    int m_remote = -1;
    QByteArray m_written;
};

} // namespace qv::fuzz
