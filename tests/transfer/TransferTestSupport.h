// Helpers of the transfer tests: a QvFile on a port whose line is a
// descriptor of the test (a socketpair end or a pty master), the events it
// reported, bounded waits, and files to send.
#pragma once

#include "common/CallDataSource.h"
#include "common/MessageWindow.h"
#include "serial/QvSerialPort.h"
#include "tests/support/Wait.h"
#include "transfer/QvFile.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace qv::test {

// Runs the event loop until `done` holds or `boundMs` of real time pass.
inline bool WaitFor(const std::function<bool()>& done, int boundMs)
{
    return WaitUntil(done, boundMs);
}

inline void SetNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

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

struct StateEvent
{
    TTransferState state;
    QString name;
    int param;
};

struct ProgressEvent
{
    TTransferOperation op;
    QString name;
    int fileIndex, fileBytes, filePerc, totalBytes, totalPerc;
};

// One side of a line: QvFile on a port on `fd` (which the side owns).
class Side
{
public:
    explicit Side(int fd, int bufferSizes = 8192) : m_fd(fd)
    {
        phone.commHandle = fd;
        port.SetMaxReceiveSize(bufferSizes);
        port.SetMaxSendSize(bufferSizes);
        port.SetLinkedTo(&phone);
        port.SetOnReceiveData(
            [this](TComponent*, char* data, int size, WindowHandle&) { terminal.append(data, size); });
        file.Transfer().SetLinkedTo(&port);
        file.SetOnTransferStateEvent([this](TComponent*, TTransferState s, const QString& name, int param) {
            states.push_back({s, name, param});
        });
        file.SetOnTransferProgress([this](TComponent*, TTransferOperation op, const QString& name, int index,
                                          int bytes, int perc, int total, int totalPerc) {
            progress.push_back({op, name, index, bytes, perc, total, totalPerc});
            maxFileBytes = std::max(maxFileBytes, bytes);
        });
    }
    ~Side()
    {
        file.Transfer().SetLinkedTo(nullptr);
        port.Close();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Side(const Side&) = delete;
    Side& operator=(const Side&) = delete;

    bool Open()
    {
        if (port.Open(0) != 0)
            return false;
        return WaitFor([this] { return port.IsOpened(); }, 2000);
    }

    int Count(TTransferState s) const
    {
        int n = 0;
        for (const auto& e : states)
            n += e.state == s;
        return n;
    }
    bool Has(TTransferState s) const { return Count(s) > 0; }
    // Param1 of the last event of that state; -12345 when none.
    int LastParam(TTransferState s) const
    {
        for (auto it = states.rbegin(); it != states.rend(); ++it)
            if (it->state == s)
                return it->param;
        return -12345;
    }
    // The reported states, for failure messages.
    std::string Trace() const
    {
        std::string out;
        for (const auto& e : states)
            out += std::to_string(int(e.state)) + "(" + std::to_string(e.param) + ") ";
        return out;
    }
    // An operation has ended (either way).
    bool Ended() const { return Has(tsSendModeEnd) || Has(tsReceiveModeEnd); }

    LinePhone phone;
    QvSerialPort port;
    QvFile file;
    std::vector<StateEvent> states;
    std::vector<ProgressEvent> progress;
    QByteArray terminal;
    int maxFileBytes = 0;

private:
    int m_fd;
};

// Two descriptors joined by a socketpair: `a` for one side, `b` for the other.
struct Line
{
    int a = -1;
    int b = -1;
    Line()
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            a = fds[0];
            b = fds[1];
        }
    }
};

inline QByteArray RandomBytes(int size, unsigned seed)
{
    std::mt19937 rng(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(rng());
    return bytes;
}

inline bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(bytes) == bytes.size();
}

inline QByteArray ReadFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return f.readAll();
}

inline QStringList FolderEntries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

// Under the sanitizers everything runs several times slower.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

} // namespace qv::test
