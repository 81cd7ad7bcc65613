// QvSerialPort: a byte stream to a modem. It opens either a COM device with
// its own line settings (LinkedTo empty) or the data channel of the connected
// call of a linked phone, polls it for received data on the main thread every
// 50 ms and as soon as the device has data, and writes to it synchronously.
//
// Results are codes (0 = success; texts through GetErrorMessage). Errors found
// while polling arrive as OnPortState(psError, code), after the psClosed of
// the closing they caused. No event fires while the port is being destroyed.
// Every handler runs on the main thread and may call any method of the port,
// delete it included.
#pragma once

#include "common/CallDataSource.h"
#include "common/Component.h"
#include "serial/BufferIn.h"
#include "serial/InternalTimer.h"
#include "serial/ManualSettings.h"

#include <QByteArray>

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace qv {

class CommDevice;

// Sent synchronously to the port's window: one receive poll now, also when
// MonitorReceiveData is false. Result 0.
constexpr std::uint32_t MSG_RECEIVE_POLL = 0x628;

enum TPortState : int
{
    psOpened,
    psClosed,
    psError
};

using TNotifyEvent = std::function<void(TComponent* Sender)>;
using TPortStateEvent = std::function<void(TComponent* Sender, TPortState PortState, int Param1)>;
// DataPtr points to DataSize received bytes followed by two zero bytes, valid
// only during the call. DisplayHandle is 0 on entry; a handler that sets it to
// a window makes the port send that window EM_REPLACESEL (WParam 0, LParam the
// zero-terminated text as const char*) after the handler returns.
using TReceiveDataEvent =
    std::function<void(TComponent* Sender, char* DataPtr, int DataSize, WindowHandle& DisplayHandle)>;

class QvSerialPort : public TQVT_ComponentVCL
{
public:
    explicit QvSerialPort(TComponent* owner = nullptr);
    ~QvSerialPort() override;

    // ---- Properties

    // The phone whose call the port opens on; nullptr for manual settings.
    // Changing it neither opens nor closes the port. Cleared when the phone
    // is destroyed; a port open on that phone's call then closes (psClosed,
    // then psError 500), since the channel went with the phone.
    TCallDataSource* LinkedTo() const { return m_linkedTo.Get(); }
    void SetLinkedTo(TCallDataSource* phone);

    // Size 4000, Enabled false at first. Kept across Close and Open.
    TBufferIn& BufferIn() { return m_bufferIn; }
    const TBufferIn& BufferIn() const { return m_bufferIn; }

    // Used only when LinkedTo is empty.
    TManualSettings& ManualSettings() { return m_manualSettings; }
    const TManualSettings& ManualSettings() const { return m_manualSettings; }

    // Bytes per read, 1 to 8192 (1024 at first). Refused with a message box
    // outside that range; while the port is open, unchanged and
    // OnPortState(psError, 510).
    int MaxReceiveSize() const { return m_maxReceiveSize; }
    void SetMaxReceiveSize(int size);
    // Nominal size of the output queue, 1 to 8192 (1024 at first); the same
    // rules. OutQueueFree counts against it.
    int MaxSendSize() const { return m_maxSendSize; }
    void SetMaxSendSize(int size);

    // Poll for received data automatically while open; true at first.
    bool MonitorReceiveData() const { return m_monitorReceiveData; }
    void SetMonitorReceiveData(bool monitor);

    // OnTimer fires on the first tick at or after the deadline, which is set
    // to now + TimerInterval by enabling, by setting the interval and by
    // RestartTimer, and again after each OnTimer.
    bool TimerEnabled() const { return m_timerEnabled; }
    void SetTimerEnabled(bool enabled);
    int TimerInterval() const { return m_timerInterval; }
    void SetTimerInterval(int ms);

    bool IsOpened() const { return m_isOpened; }
    // A linked Open returned 0 and the phone has not answered yet.
    bool IsOpening() const { return m_openPending; }

    const TNotifyEvent& OnTimer() const { return m_onTimer; }
    void SetOnTimer(TNotifyEvent handler);
    const TPortStateEvent& OnPortState() const { return m_onPortState; }
    void SetOnPortState(TPortStateEvent handler) { m_onPortState = std::move(handler); }
    const TReceiveDataEvent& OnReceiveData() const { return m_onReceiveData; }
    void SetOnReceiveData(TReceiveDataEvent handler);

    // A component that runs its work over this port (the transfer component)
    // watches the port's state without taking OnPortState from the port's
    // client: `handler` sees every state change right after OnPortState has.
    // One watch per component; an empty handler ends it, and it ends by
    // itself when either of the two is destroyed.
    void WatchPortState(TComponent* watcher, TPortStateEvent handler);

    // ---- Methods

    // Opens the port. Manual: 0 after psOpened(Param); 509 when open, 503
    // when the device cannot be had (missing, or held by another program),
    // -10 for a speed or framing this system lacks, -1 when the line settings
    // are refused. Linked: 161 when the phone's call is not connected, a
    // phone code, or 0 while the port waits for the phone's answer, on which
    // psOpened(Param) fires (possibly before Open returns), or psError with
    // the phone's code when the call could not be switched to raw data.
    int Open(int Param);
    // Closes an open port (psClosed, 0); otherwise nothing. A linked port
    // leaves the call's channel open. A pending linked open is not cancelled.
    void Close();

    // Writes all Count bytes, blocking the caller until they are accepted by
    // the system or the write budget (10 s) runs out: 0, 508/500 (link check),
    // 506 (budget spent, port stays open), 504 (device gone) or -1 (write
    // failed, or the far end hung up); the last two close the port, and so
    // does 500 for a call's channel whose far end has gone. Count 0 returns 0
    // on an open port.
    int SendData(const void* Buffer, int Count);
    int SendString(const QByteArray& Text);
    // As SendData, for bytes that must reach the line whatever follows (a
    // transfer's cancel sequence, its closing "OO"): a later Flush of the
    // output lets them leave before it discards anything.
    int SendDataKept(const void* Buffer, int Count);
    // Writes what the system takes now of the Count bytes, never waiting:
    // `Written` of them (0 when its queue is full). The codes of SendData
    // but 506; a far end that has hung up fails at once.
    int SendSome(const void* Buffer, int Count, int& Written);
    // Calls `handler` once, from the event loop, when more can be written.
    // A new call replaces the handler; an empty one cancels; Close ends it.
    // A far end that hangs up meanwhile may not be announced: a writer that
    // waits also tries again now and then, and SendSome then says so.
    void NotifyWritable(std::function<void()> handler);
    // The line's rate in bytes per second where the port knows it (a serial
    // line's speed); 0 for a pty or a socket.
    int LineBytesPerSecond() const;
    // Discards pending input (and clears BufferIn) and/or output, at once:
    // only bytes written with SendDataKept that are still queued are let out
    // first, for as long as they take on the line. 0, 508/500, or 502 when
    // the device refuses.
    int Flush(bool Input, bool Output);
    // How many bytes fit into the output queue now: MaxSendSize less the
    // bytes not yet sent, at least 0. Only for an open port.
    int OutQueueFree();
    // Whether OutQueueFree measures a queue (a serial line's, a socket's). A
    // pty has none: what it has taken is already in the other end's input,
    // and only how much a write takes tells how full that is.
    bool OutQueueMeasured() const;
    // Whether the queue itself bounds writes and wakes writers (a TCP
    // socket): SendSome takes nothing while about half of MaxSendSize waits
    // unsent, and NotifyWritable's handler runs once most of that has left,
    // so that a writer whose queue was full needs no timer to look again.
    bool OutQueueWakes() const;
    // Deadline = now + TimerInterval, and TimerEnabled = true.
    void RestartTimer();

    // ---- Diagnosis and tests

    // The last OS error number seen (Win32 numbering).
    int LastSystemError() const { return m_lastOsError; }
    // The write budget of SendData and Flush, 10000 ms at first.
    int WriteTimeoutMs() const { return m_writeTimeoutMs; }
    void SetWriteTimeoutMs(int ms) { m_writeTimeoutMs = ms; }
    TInternalTimer& InternalTimer() { return *m_internalTimer; }

protected:
    void Notification(TComponent* component, TOperation operation) override;
    void WndProc(TMessage& message) override;

private:
    int SetupDevice();
    void CompleteLinkedOpen();
    void RefuseLinkedOpen(int code);
    void CloseWithError(int code); // closes (psClosed) if open, then psError
    int CheckLink();
    void PollTick(bool forced);
    int ReadData(int maxCount, int& count);
    void DeliverChunk(int count);
    bool StartMonitoringTimer();
    void UpdateTimerForTimerEvent();
    void UpdateTimerForMonitoring();
    bool TimerEventNeeded() const;
    bool MonitoringNeeded() const;
    bool ReadWanted() const;
    void UpdateReadyNotify();
    void OnDeviceReady();
    void OnDeviceWritable();
    int WriteFailed(int osError);
    void FirePortState(TPortState state, int param);

    ComponentLink<TCallDataSource> m_linkedTo;
    TBufferIn m_bufferIn;
    TManualSettings m_manualSettings;
    int m_maxReceiveSize = 1024;
    int m_maxSendSize = 1024;
    bool m_queueWakes = false; // the device wakes a writer when its queue has room
    bool m_monitorReceiveData = true;
    bool m_timerEnabled = false;
    int m_timerInterval = 0;
    bool m_isOpened = false;
    TNotifyEvent m_onTimer;
    TPortStateEvent m_onPortState;
    TReceiveDataEvent m_onReceiveData;
    std::vector<std::pair<TComponent*, TPortStateEvent>> m_watches;

    std::unique_ptr<CommDevice> m_device;
    std::unique_ptr<char[]> m_receiveBlock; // MaxReceiveSize + 3 bytes
    std::unique_ptr<TInternalTimer> m_internalTimer;
    bool m_ownsHandle = true;
    int m_linkedCall = 0;     // the call that was current when the port opened
    int m_pendingHandle = -1; // the call's channel while a linked open waits
    int m_openParam = 0;
    bool m_openPending = false;
    bool m_firstRead = false;
    std::int64_t m_firstReadSince = 0;
    bool m_lineWatch = false;    // line errors are reported during this opening
    bool m_channelEnded = false; // a call's channel reached its end
    bool m_inPollTick = false;
    bool m_readyPosted = false;     // a readiness poll is queued on the window
    bool m_lastReadHadData = false; // so the next poll follows at once
    std::int64_t m_timerDeadline = 0;
    std::function<void()> m_onWritable;
    bool m_writablePosted = false;
    // The last kept write, while it may still be queued: its size, and what
    // was written after it.
    int m_keptBytes = 0;
    std::int64_t m_writtenSinceKept = 0;
    int m_lastOsError = 0;
    int m_writeTimeoutMs = 10000;
    std::shared_ptr<bool> m_alive;
};

} // namespace qv
