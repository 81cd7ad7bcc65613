// The far side of a call, run in this process for tests and tools: a serial
// port and a transfer component on a descriptor that carries the call's data
// (the simulated exchange's peer end, for instance).
#pragma once

#include "common/CallDataSource.h"
#include "serial/QvSerialPort.h"
#include "transfer/QvFile.h"

#include <vector>

namespace vh::test {

// A stand-in for a phone whose one call is always connected and whose data
// channel is the given descriptor (not owned).
class PeerChannel : public qv::TCallDataSource
{
public:
    explicit PeerChannel(int fd) : m_fd(fd) {}
    ~PeerChannel() override { Destroying(); }
    bool IsConnected() const override { return m_fd >= 0; }
    bool IsCallConnected(int callHandle) const override { return callHandle == 1 && m_fd >= 0; }
    int CurrentCallHandle() const override { return 1; }
    int GetCommHandle(int& handle) override
    {
        handle = m_fd;
        return 0;
    }

protected:
    void WndProc(qv::TMessage& message) override
    {
        TCallDataSource::WndProc(message);
        if (message.Msg == qv::MSG_CALL_DATA_READY && message.LParam != 0) {
            qv::PostMessage(static_cast<qv::WindowHandle>(message.LParam), qv::MSG_CALL_DATA_READY, 0, 0);
            message.Result = 0;
        }
    }

private:
    int m_fd;
};

// A serial port linked to a PeerChannel, with a transfer component on it
// that records its state events.
class PeerSide
{
public:
    explicit PeerSide(int fd) : m_channel(fd)
    {
        m_port.SetLinkedTo(&m_channel);
        m_port.SetMaxReceiveSize(4096);
        m_port.SetMaxSendSize(4096);
        m_file.Transfer().SetLinkedTo(&m_port);
        m_file.SetOnTransferStateEvent(
            [this](qv::TComponent*, qv::TTransferState state, const QString& name, int p) {
                m_states.push_back({state, name, p});
            });
    }
    ~PeerSide()
    {
        m_file.Transfer().SetLinkedTo(nullptr);
        m_port.Close();
    }
    struct State
    {
        qv::TTransferState state;
        QString name;
        int param1;
    };
    qv::QvSerialPort& Port() { return m_port; }
    qv::QvFile& File() { return m_file; }
    const std::vector<State>& States() const { return m_states; }
    bool Saw(qv::TTransferState state, int param1 = -1) const
    {
        for (const State& s : m_states)
            if (s.state == state && (param1 < 0 || s.param1 == param1))
                return true;
        return false;
    }

private:
    PeerChannel m_channel;
    qv::QvSerialPort m_port;
    qv::QvFile m_file;
    std::vector<State> m_states;
};

} // namespace vh::test
