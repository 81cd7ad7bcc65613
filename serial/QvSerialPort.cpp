#include "serial/QvSerialPort.h"

#include "common/ErrorCodes.h"
#include "serial/ComMap.h"
#include "serial/CommDevice.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <optional>

namespace qv {

namespace {

// A write that ends before it starts: nothing to write (0), or arguments
// that cannot be written from.
std::optional<int> EndsBeforeWriting(const void* buffer, int count)
{
    if (count == 0)
        return 0;
    if (count < 0 || !buffer)
        return err::InvalidArgument;
    return std::nullopt;
}

// Posted to the port's own window when its device has data, so that the poll
// runs from the message loop and never inside the device's notifier.
constexpr std::uint32_t kMsgDeviceReady = WM_USER + 401;
// Posted when there is room to write again, for the same reason.
constexpr std::uint32_t kMsgDeviceWritable = WM_USER + 402;

constexpr int kTickMs = 50;
// A read that has seen nothing for this long counts as the first completed
// read of an opening, as a read with a 400 ms total time-out would.
constexpr int kFirstReadWindowMs = 400;
constexpr int kMaxBlockSize = 8192;

// Codes of the port.
constexpr int kCallDisconnected = 161;
constexpr int kLinkLost = 500;
constexpr int kSetupFailed = 501;
constexpr int kFlushFailed = 502;
constexpr int kCannotOpen = 503;
constexpr int kAbruptlyClosed = 504;
constexpr int kLineError = 505;
constexpr int kSendIncomplete = 506;
constexpr int kReadFailed = 507;
constexpr int kNotOpened = 508;
constexpr int kAlreadyOpened = 509;
constexpr int kSizeWhileOpen = 510;

std::int64_t SteadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::int64_t TickNow()
{
    return Clock::Instance().MonotonicMs();
}

// Resets the poll's re-entry flag on every way out, unless a handler has
// destroyed the port meanwhile.
class PollScope
{
public:
    PollScope(std::shared_ptr<bool> alive, bool& flag) : m_alive(std::move(alive)), m_flag(flag)
    {
        m_flag = true;
    }
    ~PollScope()
    {
        if (*m_alive)
            m_flag = false;
    }
    PollScope(const PollScope&) = delete;
    PollScope& operator=(const PollScope&) = delete;

private:
    std::shared_ptr<bool> m_alive;
    bool& m_flag;
};

} // namespace

QvSerialPort::QvSerialPort(TComponent* owner)
    : TQVT_ComponentVCL(owner), m_device(std::make_unique<CommDevice>()),
      m_internalTimer(std::make_unique<TInternalTimer>()), m_alive(std::make_shared<bool>(true))
{
    m_receiveBlock.reset(new (std::nothrow) char[static_cast<std::size_t>(m_maxReceiveSize) + 3]);
    m_internalTimer->SetInterval(kTickMs);
    m_internalTimer->SetCallback([this] { PollTick(false); });
    m_device->SetReadyHandler([this] { OnDeviceReady(); });
    m_device->SetWritableHandler([this] { OnDeviceWritable(); });
}

QvSerialPort::~QvSerialPort()
{
    Destroying();
    *m_alive = false;
    Close();
    m_openPending = false;
    m_internalTimer.reset();
    m_device.reset();
}

// ------------------------------------------------------------------ properties

void QvSerialPort::SetLinkedTo(TCallDataSource* phone)
{
    m_linkedTo.Set(phone, this);
}

void QvSerialPort::Notification(TComponent* component, TOperation operation)
{
    TQVT_ComponentVCL::Notification(component, operation);
    if (operation == opRemove)
        WatchPortState(component, nullptr);
    if (!m_linkedTo.IsRemovalOfTarget(this, component, operation))
        return;
    // The phone took its call's channel with it. A port still reading that
    // descriptor would read whatever is opened under the same number next,
    // so an open port on it closes, as if the call had been found gone.
    const bool wasOpen = m_isOpened && !m_ownsHandle;
    m_openPending = false;
    m_pendingHandle = -1;
    SetLinkedTo(nullptr);
    if (wasOpen)
        CloseWithError(kLinkLost);
}

void QvSerialPort::SetMaxReceiveSize(int size)
{
    if (m_isOpened) {
        FirePortState(psError, kSizeWhileOpen);
        return;
    }
    if (size == m_maxReceiveSize)
        return;
    if (size < 1 || size > kMaxBlockSize) {
        ShowMessage(QStringLiteral("Value must be between 0 and 8192."));
        return;
    }
    m_receiveBlock.reset();
    m_receiveBlock.reset(new (std::nothrow) char[static_cast<std::size_t>(size) + 3]);
    if (!m_receiveBlock) {
        m_maxReceiveSize = 0;
        FirePortState(psError, err::OutOfMemory);
        return;
    }
    m_maxReceiveSize = size;
}

void QvSerialPort::SetMaxSendSize(int size)
{
    if (m_isOpened) {
        FirePortState(psError, kSizeWhileOpen);
        return;
    }
    if (size == m_maxSendSize)
        return;
    if (size < 1 || size > kMaxBlockSize) {
        ShowMessage(QStringLiteral("Value must be between 1 and 8192."));
        return;
    }
    m_maxSendSize = size;
}

void QvSerialPort::SetMonitorReceiveData(bool monitor)
{
    m_monitorReceiveData = monitor;
    if (IsDesigning())
        return;
    UpdateTimerForMonitoring();
    UpdateReadyNotify();
}

void QvSerialPort::SetTimerEnabled(bool enabled)
{
    if (enabled == m_timerEnabled)
        return;
    m_timerEnabled = enabled;
    if (enabled)
        m_timerDeadline = TickNow() + m_timerInterval;
    if (!IsDesigning())
        UpdateTimerForTimerEvent();
}

void QvSerialPort::SetTimerInterval(int ms)
{
    m_timerInterval = ms;
    m_timerDeadline = TickNow() + ms;
    if (!IsDesigning())
        UpdateTimerForTimerEvent();
}

void QvSerialPort::SetOnTimer(TNotifyEvent handler)
{
    m_onTimer = std::move(handler);
    if (!IsDesigning())
        UpdateTimerForTimerEvent();
}

void QvSerialPort::SetOnReceiveData(TReceiveDataEvent handler)
{
    m_onReceiveData = std::move(handler);
    if (!IsDesigning())
        UpdateReadyNotify();
}

void QvSerialPort::RestartTimer()
{
    m_timerDeadline = TickNow() + m_timerInterval;
    SetTimerEnabled(true);
}

// --------------------------------------------------------------- the 50 ms tick

bool QvSerialPort::TimerEventNeeded() const
{
    return m_timerEnabled && m_timerInterval > 0 && m_onTimer && !IsDestroying();
}

bool QvSerialPort::MonitoringNeeded() const
{
    return m_monitorReceiveData && m_isOpened && !IsDestroying();
}

void QvSerialPort::UpdateTimerForTimerEvent()
{
    if (TimerEventNeeded()) {
        if (m_internalTimer->Start() != 0)
            m_timerEnabled = false;
    } else if (!MonitoringNeeded()) {
        m_internalTimer->Stop();
    }
}

void QvSerialPort::UpdateTimerForMonitoring()
{
    if (MonitoringNeeded()) {
        if (m_internalTimer->Start() != 0)
            m_monitorReceiveData = false;
    } else if (!TimerEventNeeded()) {
        m_internalTimer->Stop();
    }
}

bool QvSerialPort::StartMonitoringTimer()
{
    return m_internalTimer->Start() == 0;
}

bool QvSerialPort::ReadWanted() const
{
    return MonitoringNeeded() && !m_channelEnded && (m_onReceiveData || m_bufferIn.Enabled()) &&
           m_receiveBlock;
}

void QvSerialPort::UpdateReadyNotify()
{
    // Readiness stays off while a poll runs (a handler that processes messages
    // would otherwise be woken for data that the running poll will read) and
    // while nothing would read: with data waiting, the notifier would fire on
    // every turn of the loop. A consumer that appears later (BufferIn turned
    // on) is picked up by the next tick.
    if (!ReadWanted() || m_inPollTick || m_readyPosted) {
        m_device->SetReadyNotify(false);
        return;
    }
    // After a read that found data there is most likely more: the next poll
    // is queued at once, and the notifier is armed again only once a poll
    // has found the device empty.
    if (m_lastReadHadData) {
        m_device->SetReadyNotify(false);
        m_readyPosted = PostMessage(Handle(), kMsgDeviceReady, 0, 0);
        if (m_readyPosted)
            return;
    }
    m_device->SetReadyNotify(true);
}

void QvSerialPort::OnDeviceReady()
{
    m_device->SetReadyNotify(false);
    if (m_readyPosted)
        return;
    m_readyPosted = PostMessage(Handle(), kMsgDeviceReady, 0, 0);
}

// ------------------------------------------------------------ open and close

void QvSerialPort::WatchPortState(TComponent* watcher, TPortStateEvent handler)
{
    if (!watcher)
        return;
    auto it = std::find_if(m_watches.begin(), m_watches.end(),
                           [watcher](const auto& watch) { return watch.first == watcher; });
    if (it != m_watches.end())
        m_watches.erase(it);
    if (handler) {
        m_watches.emplace_back(watcher, std::move(handler));
        FreeNotification(watcher);
    }
}

void QvSerialPort::FirePortState(TPortState state, int param)
{
    if (IsDestroying())
        return;
    const std::shared_ptr<bool> alive = m_alive;
    if (m_onPortState) {
        const TPortStateEvent handler = m_onPortState; // it may replace itself
        handler(this, state, param);
        if (!*alive)
            return;
    }
    // A watcher may end its own watch or another's while it runs.
    const auto watches = m_watches;
    for (const auto& [watcher, handler] : watches) {
        const bool stillWatching = std::any_of(m_watches.begin(), m_watches.end(),
                                               [w = watcher](const auto& watch) { return watch.first == w; });
        if (!stillWatching)
            continue;
        handler(this, state, param);
        if (!*alive || IsDestroying())
            return;
    }
}

int QvSerialPort::Open(int Param)
{
    if (m_isOpened)
        return kAlreadyOpened;
    m_firstRead = true;

    if (TCallDataSource* phone = LinkedTo()) {
        m_ownsHandle = false;
        if (!phone->IsConnected())
            return kCallDisconnected;
        int handle = -1;
        if (const int code = phone->GetCommHandle(handle); code != 0)
            return code;
        m_linkedCall = phone->CurrentCallHandle();
        // Everything the completion needs is in place before the request: the
        // phone may answer before SendMessage returns.
        m_pendingHandle = handle;
        m_openParam = Param;
        m_openPending = true;
        const std::shared_ptr<bool> alive = m_alive;
        const int result = static_cast<int>(
            SendMessage(phone->Handle(), MSG_CALL_DATA_READY, 0, static_cast<LPARAM>(Handle())));
        if (!*alive || result == 0)
            return result;
        m_openPending = false;
        m_pendingHandle = -1;
        // A phone that answered and then refused leaves no open port behind.
        if (m_isOpened)
            Close();
        return result;
    }

    m_ownsHandle = true;
    const TManualSettings& s = m_manualSettings;
    const QString path = ComMap::DevicePath(static_cast<int>(s.Port()) + 1);
    if (path.isEmpty())
        return kCannotOpen;
    if (const int osError = m_device->Open(path); osError != 0) {
        m_lastOsError = osError;
        return kCannotOpen;
    }
    TCommSettings settings;
    settings.baudRate = BaudRateValue(s.BaudRate());
    settings.dataBits = static_cast<int>(s.DataBits()) + 5;
    settings.stopBits = static_cast<int>(s.StopBits());
    settings.parity = static_cast<int>(s.Parity());
    settings.hardwareFlow = static_cast<int>(s.HardwareFlow());
    settings.softwareFlow = static_cast<int>(s.SoftwareFlow());
    if (const int code = m_device->Configure(settings); code != 0) {
        m_device->Close();
        return code;
    }
    if (const int code = SetupDevice(); code != 0) {
        m_device->Close();
        return code;
    }
    m_isOpened = true;
    int result = 0;
    if (m_monitorReceiveData && !StartMonitoringTimer()) {
        m_monitorReceiveData = false;
        result = err::OutOfMemory;
    }
    UpdateReadyNotify();
    FirePortState(psOpened, Param);
    return result;
}

int QvSerialPort::SetupDevice()
{
    if (!m_device->IsOpen())
        return kSetupFailed;
    // The queues of a tty are the driver's own size; MaxReceiveSize bounds a
    // read and MaxSendSize is the queue OutQueueFree counts against.
    m_lineWatch = m_device->StartLineWatch();
    m_queueWakes = m_device->WakeWhenQueueBelow(std::max(1, m_maxSendSize / 2));
    m_firstReadSince = TickNow();
    m_channelEnded = false;
    m_readyPosted = false;
    m_lastReadHadData = false;
    return 0;
}

void QvSerialPort::RefuseLinkedOpen(int code)
{
    // The phone could not give the call's data channel after all: the open
    // that waited for it fails, once, and a later Open asks again.
    if (!m_openPending || m_isOpened)
        return;
    m_openPending = false;
    m_pendingHandle = -1;
    FirePortState(psError, code != 0 ? code : err::Failed);
}

void QvSerialPort::CompleteLinkedOpen()
{
    if (!m_openPending || m_isOpened)
        return;
    m_openPending = false;
    const int handle = m_pendingHandle;
    m_pendingHandle = -1;
    if (!LinkedTo())
        return;
    int code = m_device->Attach(handle);
    if (code != 0) {
        m_lastOsError = code;
        code = kSetupFailed;
    } else {
        code = SetupDevice();
    }
    if (code != 0) {
        m_device->Close();
        FirePortState(psError, code);
        return;
    }
    m_isOpened = true;
    const std::shared_ptr<bool> alive = m_alive;
    if (m_monitorReceiveData && !StartMonitoringTimer()) {
        m_monitorReceiveData = false;
        FirePortState(psError, err::OutOfMemory);
        if (!*alive || !m_isOpened)
            return;
    }
    UpdateReadyNotify();
    FirePortState(psOpened, m_openParam);
}

void QvSerialPort::Close()
{
    if (!m_isOpened)
        return;
    m_internalTimer->Stop();
    m_isOpened = false;
    m_onWritable = nullptr;
    m_keptBytes = 0;
    m_device->Close(); // a descriptor of the phone's call stays open
    m_channelEnded = false;
    FirePortState(psClosed, 0);
}

void QvSerialPort::CloseWithError(int code)
{
    const std::shared_ptr<bool> alive = m_alive;
    Close();
    if (*alive)
        FirePortState(psError, code);
}

int QvSerialPort::CheckLink()
{
    if (!m_isOpened)
        return kNotOpened;
    if (TCallDataSource* phone = LinkedTo(); phone && !phone->IsCallConnected(m_linkedCall)) {
        Close();
        return kLinkLost;
    }
    return 0;
}

// ------------------------------------------------------------------ receiving

void QvSerialPort::PollTick(bool forced)
{
    if (m_inPollTick)
        return;
    const std::shared_ptr<bool> alive = m_alive;
    {
        PollScope scope(alive, m_inPollTick);
        try {
            const std::int64_t now = TickNow();
            if (m_timerEnabled && m_timerInterval > 0 && now >= m_timerDeadline && m_onTimer &&
                !IsDestroying()) {
                m_timerDeadline = now + m_timerInterval;
                const TNotifyEvent handler = m_onTimer;
                handler(this);
                if (!*alive)
                    return;
            } else if ((m_monitorReceiveData || forced) && m_isOpened &&
                       (m_onReceiveData || m_bufferIn.Enabled()) && m_receiveBlock && !IsDestroying()) {
                int count = 0;
                const int code = ReadData(m_maxReceiveSize, count);
                if (!*alive)
                    return;
                if (code != 0) {
                    CloseWithError(code);
                    return;
                }
                if (count > 0) {
                    DeliverChunk(count);
                    if (!*alive)
                        return;
                }
            }
        } catch (...) {
            // A handler's exception ends here, at the boundary of the event
            // loop, and is reported the way any unexpected failure is.
            if (!*alive)
                return;
            m_inPollTick = false;
            CloseWithError(err::Failed);
            return;
        }
    }
    UpdateReadyNotify();
}

int QvSerialPort::ReadData(int maxCount, int& count)
{
    count = 0;
    if (const int code = CheckLink(); code != 0)
        return code;
    if (m_channelEnded)
        return 0;

    if (m_lineWatch) {
        const CommDevice::LineEvents events = m_device->TakeLineEvents();
        if (events.breaks || events.errors) {
            if (events.breaks || m_firstRead) {
                // Tolerated once per opening, and nothing is read in this
                // poll, so whatever has arrived waits for the next one.
                m_firstRead = false;
                m_lineWatch = false;
                return 0;
            }
            Close();
            return kLineError;
        }
    }

    int read = 0;
    int osError = 0;
    char* block = m_receiveBlock.get();
    m_lastReadHadData = false;
    // Whatever has arrived is taken at once, and a device with nothing to read
    // returns at once too: the next poll comes with the device's readiness or
    // the next tick, so there is nothing to gain by waiting here.
    switch (m_device->Read(block, maxCount, 0, read, osError)) {
    case CommDevice::ReadStatus::Data:
        m_lastReadHadData = true;
        m_firstRead = false;
        block[read] = 0;
        block[read + 1] = 0;
        count = read;
        return 0;
    case CommDevice::ReadStatus::Nothing:
        if (m_firstRead && TickNow() - m_firstReadSince >= kFirstReadWindowMs)
            m_firstRead = false;
        return 0;
    case CommDevice::ReadStatus::EndOfFile:
        if (!m_ownsHandle) {
            // The remote of the call has gone. The phone sees it too and ends
            // the call; the link check then closes the port with 500.
            m_channelEnded = true;
            return 0;
        }
        Close();
        return kAbruptlyClosed;
    case CommDevice::ReadStatus::Failed:
        break;
    }
    m_lastOsError = osError;
    if (osError == oserr::OperationAborted)
        return 0;
    if (!m_ownsHandle && (osError == 30 || osError == 64 || osError == oserr::BrokenPipe)) {
        m_channelEnded = true; // a hung-up line or a reset connection: the remote has gone
        return 0;
    }
    Close();
    return (osError == oserr::InvalidHandle || osError == oserr::DevNotExist) ? kAbruptlyClosed : kReadFailed;
}

void QvSerialPort::DeliverChunk(int count)
{
    char* data = m_receiveBlock.get();
    if (m_bufferIn.Enabled())
        m_bufferIn.Append(data, count);
    if (!m_onReceiveData)
        return;
    const std::shared_ptr<bool> alive = m_alive;
    WindowHandle display = 0;
    const TReceiveDataEvent handler = m_onReceiveData;
    handler(this, data, count, display);
    if (!*alive || display == 0)
        return;
    // The text is the block's, zero-terminated by the two bytes after the
    // chunk; a block replaced by the handler is not shown.
    if (m_receiveBlock.get() == data)
        SendMessage(display, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(data));
}

// -------------------------------------------------------------------- writing

int QvSerialPort::WriteFailed(int osError)
{
    m_lastOsError = osError;
    Close();
    return osError == oserr::InvalidHandle ? kAbruptlyClosed : err::Failed;
}

int QvSerialPort::SendData(const void* Buffer, int Count)
{
    if (const int code = CheckLink(); code != 0)
        return code;
    if (const std::optional<int> end = EndsBeforeWriting(Buffer, Count))
        return *end;
    const char* next = static_cast<const char*>(Buffer);
    int left = Count;
    const std::int64_t deadline = SteadyMs() + m_writeTimeoutMs;
    for (;;) {
        int written = 0;
        if (const int code = SendSome(next, left, written); code != 0)
            return code;
        next += written;
        left -= written;
        if (left == 0)
            return 0;
        if (written > 0)
            continue;
        // The system takes nothing now: wait until it does, within the
        // budget. A partial write is only a pause, never a failure.
        const std::int64_t remaining = deadline - SteadyMs();
        if (remaining <= 0)
            return kSendIncomplete;
        const int osError = m_device->WaitWritable(static_cast<int>(remaining < 250 ? remaining : 250));
        if (osError != 0 && osError != oserr::Timeout)
            return WriteFailed(osError);
    }
}

int QvSerialPort::SendSome(const void* Buffer, int Count, int& Written)
{
    Written = 0;
    if (const int code = CheckLink(); code != 0)
        return code;
    if (const std::optional<int> end = EndsBeforeWriting(Buffer, Count))
        return *end;
    if (m_channelEnded) {
        // The far end of the call has gone; nothing written would reach it.
        Close();
        return kLinkLost;
    }
    int osError = m_device->WriteSome(static_cast<const char*>(Buffer), Count, Written);
    // Nothing taken: a full queue, or a far end that hung up, which a
    // glance without waiting tells apart.
    if (osError == 0 && Written == 0)
        osError = m_device->WaitWritable(0);
    if (osError == oserr::Timeout)
        osError = 0;
    if (osError != 0)
        return WriteFailed(osError);
    if (m_keptBytes > 0)
        m_writtenSinceKept += Written;
    return 0;
}

int QvSerialPort::SendString(const QByteArray& Text)
{
    return SendData(Text.constData(), static_cast<int>(Text.size()));
}

int QvSerialPort::SendDataKept(const void* Buffer, int Count)
{
    const int code = SendData(Buffer, Count);
    if (code == 0 && Count > 0 && m_device->DiscardsOutput()) {
        m_keptBytes = Count;
        m_writtenSinceKept = 0;
    }
    return code;
}

void QvSerialPort::NotifyWritable(std::function<void()> handler)
{
    m_onWritable = std::move(handler);
    m_device->SetWritableNotify(m_onWritable && m_isOpened && !m_writablePosted);
}

void QvSerialPort::OnDeviceWritable()
{
    m_device->SetWritableNotify(false);
    if (m_writablePosted)
        return;
    m_writablePosted = PostMessage(Handle(), kMsgDeviceWritable, 0, 0);
}

bool QvSerialPort::OutQueueMeasured() const
{
    return m_isOpened && m_device->QueueMeasured();
}

bool QvSerialPort::OutQueueWakes() const
{
    return m_isOpened && m_queueWakes;
}

int QvSerialPort::LineBytesPerSecond() const
{
    return m_isOpened ? m_device->BytesPerSecond() : 0;
}

int QvSerialPort::Flush(bool Input, bool Output)
{
    if (const int code = CheckLink(); code != 0)
        return code;
    if (Output && m_keptBytes > 0) {
        // Bytes that must not be lost go out first; everything else that is
        // queued goes at once, without waiting for it to leave.
        const int rate = m_device->BytesPerSecond();
        const std::int64_t due = rate > 0 ? 20 + std::int64_t(m_keptBytes) * 2000 / rate : m_writeTimeoutMs;
        m_device->DrainTo(static_cast<int>(std::min<std::int64_t>(m_writtenSinceKept, INT32_MAX)),
                          static_cast<int>(std::min<std::int64_t>(due, m_writeTimeoutMs)));
        m_keptBytes = 0;
    }
    if (const int osError = m_device->Purge(Input, Output); osError != 0) {
        m_lastOsError = osError;
        return kFlushFailed;
    }
    if (Input)
        m_bufferIn.Clear();
    return 0;
}

int QvSerialPort::OutQueueFree()
{
    if (!m_isOpened)
        return 0;
    const int queued = m_device->OutQueueBytes();
    if (queued < 0)
        return m_maxSendSize; // the system cannot tell: nothing known to be waiting
    return queued < m_maxSendSize ? m_maxSendSize - queued : 0;
}

// ------------------------------------------------------------------- messages

void QvSerialPort::WndProc(TMessage& message)
{
    TQVT_ComponentVCL::WndProc(message);
    switch (message.Msg) {
    case MSG_CALL_DATA_READY:
        if (message.WParam == kCallDataRefused)
            RefuseLinkedOpen(static_cast<int>(message.LParam));
        else
            CompleteLinkedOpen();
        message.Result = 0;
        break;
    case MSG_RECEIVE_POLL:
        PollTick(true);
        message.Result = 0;
        break;
    case kMsgDeviceWritable: {
        m_writablePosted = false;
        message.Result = 0;
        std::function<void()> handler = std::move(m_onWritable);
        m_onWritable = nullptr;
        if (handler && m_isOpened)
            handler();
        break;
    }
    case kMsgDeviceReady: {
        m_readyPosted = false;
        const std::shared_ptr<bool> alive = m_alive;
        PollTick(false);
        if (*alive && !m_inPollTick)
            UpdateReadyNotify();
        message.Result = 0;
        break;
    }
    default:
        message.Result = DefWindowProc(Handle(), message.Msg, message.WParam, message.LParam);
        break;
    }
}

} // namespace qv
