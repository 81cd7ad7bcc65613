// Helpers of the serial port tests: pseudo-terminals, socketpairs, a fake
// phone that hands out a call's data channel; waits come from Wait.h.
#pragma once

#include "common/CallDataSource.h"
#include "common/MessageWindow.h"
#include "serial/QvSerialPort.h"
#include "tests/support/Wait.h"

#include <QByteArray>
#include <QElapsedTimer>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

namespace qv::test {

// A pseudo-terminal: the port opens the slave by its path, the test plays the
// far end on the master.
struct Pty
{
    int master = -1;
    std::string slavePath;

    Pty()
    {
        int slave = -1;
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            slavePath = name;
            ::close(slave); // the port opens its own
            fcntl(master, F_SETFD, FD_CLOEXEC);
        }
    }
    ~Pty() { CloseMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    void CloseMaster()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    bool Write(const QByteArray& bytes) const
    {
        return ::write(master, bytes.constData(), bytes.size()) == bytes.size();
    }
    // What has arrived at the master within `boundMs`, until `count` bytes.
    QByteArray Read(int count, int boundMs = 2000) const
    {
        QByteArray got;
        QElapsedTimer timer;
        timer.start();
        while (got.size() < count && timer.elapsed() < boundMs) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                char buffer[4096];
                const ssize_t n = ::read(master, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                got.append(buffer, static_cast<int>(n));
            }
        }
        return got;
    }
};

struct SocketPair
{
    int ours = -1;   // the call's channel the phone hands out
    int remote = -1; // the far end the test plays
    SocketPair()
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            ours = fds[0];
            remote = fds[1];
        }
    }
    ~SocketPair()
    {
        if (ours >= 0)
            ::close(ours);
        CloseRemote();
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    void CloseRemote()
    {
        if (remote >= 0)
            ::close(remote);
        remote = -1;
    }
};

// A phone with one call whose data channel is a descriptor of the test.
class FakePhone : public TCallDataSource
{
public:
    enum class Answer
    {
        BeforeReturn,
        Posted,
        Never
    };

    using TCallDataSource::TCallDataSource;

    bool IsConnected() const override { return connected; }
    bool IsCallConnected(int call) const override { return connected && call == callHandle; }
    int CurrentCallHandle() const override { return callHandle; }
    int GetCommHandle(int& handle) override
    {
        handle = commHandle;
        return commHandleCode;
    }

    // Sends the phone's answer now, as a phone whose call turned to data.
    void AnswerNow() { SendMessage(requester, MSG_CALL_DATA_READY, 0, 0); }

    bool connected = true;
    int callHandle = 0x51;
    int commHandle = -1;
    int commHandleCode = 0;
    int requestResult = 0;
    Answer answer = Answer::Posted;
    WindowHandle requester = 0;
    int requests = 0;

protected:
    void WndProc(TMessage& message) override
    {
        TCallDataSource::WndProc(message);
        if (message.Msg != MSG_CALL_DATA_READY)
            return;
        ++requests;
        requester = static_cast<WindowHandle>(message.LParam);
        message.Result = requestResult;
        if (requestResult != 0)
            return;
        if (answer == Answer::BeforeReturn)
            SendMessage(requester, MSG_CALL_DATA_READY, 0, 0);
        else if (answer == Answer::Posted)
            PostMessage(requester, MSG_CALL_DATA_READY, 0, 0);
    }
};

// Every OnPortState, in order.
struct StateLog
{
    std::vector<std::pair<TPortState, int>> events;
    void Attach(QvSerialPort& port)
    {
        port.SetOnPortState([this](TComponent*, TPortState state, int param) {
            events.push_back({state, param});
        });
    }
};

inline QByteArray Pattern(int size, int seed = 0)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 31 + seed + i / 251) & 0xff);
    return bytes;
}

} // namespace qv::test
