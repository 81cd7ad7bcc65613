// The standard input and output as the data channel of a call, for sending
// and receiving without a line (the way a ZMODEM program runs on a serial
// console, under a remote shell, or between two programs joined by a pipe).
//
// The port opens on it exactly as on the call of a phone: it is linked to
// this source, takes a descriptor from it and gets its MSG_CALL_DATA_READY
// answer. The descriptor is one end of a socketpair; a relay moves what
// arrives on standard input into the other end and what the port writes
// out to standard output. So the port, and the transfer over it, see one
// socket with its queue and its end, whatever the two standard streams are
// (the same terminal, two pipes, a socket, a file), and neither stream's
// flags change under the programs that share it.
//
// The call is connected until standard input ends (once what came has
// reached the port) or standard output can take nothing more.
#pragma once

#include "cli/Streams.h"

#include "common/CallDataSource.h"

#include <QDeadlineTimer>

#include <functional>
#include <memory>

class QTimer;

namespace vh::cli {

class StdioCall : public qv::TCallDataSource
{
public:
    // `in` and `out` are not owned (normally 0 and 1).
    StdioCall(int in, int out);
    ~StdioCall() override;

    // Makes the channel and starts the relay. 0, or the OS error that keeps
    // a stream from being used.
    int Start();

    bool IsConnected() const override { return m_connected; }
    bool IsCallConnected(int callHandle) const override { return m_connected && callHandle == kCall; }
    int CurrentCallHandle() const override { return kCall; }
    int GetCommHandle(int& handle) override;

    // Runs `done` once everything the port wrote has gone to standard
    // output, or after `limitMs` at the latest.
    void Finish(int limitMs, std::function<void()> done);

    // Called once, when the call ends by itself.
    void SetOnEnded(std::function<void()> handler) { m_onEnded = std::move(handler); }

protected:
    void WndProc(qv::TMessage& message) override;

private:
    static constexpr int kCall = 1;

    void End();
    void CheckFinished();
    bool RelayEmpty() const;

    int m_in;
    int m_out;
    int m_portEnd = -1;  // the port's descriptor
    int m_relayEnd = -1; // the relay's
    bool m_connected = false;
    std::unique_ptr<InputStream> m_fromStdin;
    std::unique_ptr<OutputStream> m_toPort;
    std::unique_ptr<InputStream> m_fromPort;
    std::unique_ptr<OutputStream> m_toStdout;
    std::function<void()> m_onEnded;
    std::function<void()> m_finished;
    std::unique_ptr<QTimer> m_finishTimer;
    QDeadlineTimer m_finishBy;
};

} // namespace vh::cli
