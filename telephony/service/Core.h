// The inside of the telephony service: applications, opens, call handles,
// pending requests and the message queue. The API functions in LineApi.cpp
// and PhoneApi.cpp check their arguments and work through this object.
#pragma once

#include "common/MessageWindow.h"
#include "telephony/service/Provider.h"
#include "telephony/service/Service.h"
#include "telephony/service/VarStruct.h"

#include <QDateTime>
#include <QHash>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace tapi::detail {

struct Device
{
    Provider* provider = nullptr;
    int local = 0;
};

struct App
{
    DWORD handle = 0;
    bool phone = false;
    LINECALLBACK callback = nullptr;
    DWORD apiVersion = TAPI_CURRENT_VERSION;
};

struct LineOpen
{
    HLINE handle = 0;
    HLINEAPP app = 0;
    DWORD device = 0;
    DWORD apiVersion = TAPI_CURRENT_VERSION;
    DWORD_PTR instance = 0;
    DWORD privileges = 0;
    DWORD mediaModes = 0;
    DWORD lineStates = 0;
    DWORD addressStates = 0;
};

struct PhoneOpen
{
    HPHONE handle = 0;
    HPHONEAPP app = 0;
    DWORD device = 0;
    DWORD apiVersion = TAPI_CURRENT_VERSION;
    DWORD_PTR instance = 0;
    DWORD privilege = 0;
    DWORD phoneStates = 0;
};

// An application's handle on a call, bound to one of its opens of the line.
struct CallHandle
{
    HCALL handle = 0;
    CallId call = 0;
    HLINE open = 0;
    DWORD privilege = LINECALLPRIVILEGE_MONITOR;
    bool announced = false; // the privilege went out with a LINE_CALLSTATE
};

struct Call
{
    CallId id = 0;
    DWORD device = 0;
    DWORD addressId = 0;
    DWORD state = 0; // no state reported yet
    DWORD stateMode = 0;
    DWORD mediaMode = 0;
    QDateTime stateTime;
    bool released = false;         // the provider no longer has it
    RequestId creatingRequest = 0; // its events wait for this reply
    std::vector<std::function<void()>> held;
    // A CONNECTED reported while a request that may cause it is unreplied.
    std::vector<std::function<void()>> heldConnected;
    bool releasing = false;
    std::vector<HCALL> handles;
    std::optional<CallInfoData> lastInfo;
};

// A message waiting in the queue. It is dropped at delivery when its
// application or (if it names one) its open is gone.
struct Message
{
    bool phone = false;
    DWORD app = 0;
    DWORD open = 0; // HLINE/HPHONE that must still exist, or 0
    DWORD device = 0;
    DWORD message = 0;
    DWORD_PTR instance = 0;
    DWORD_PTR param1 = 0;
    DWORD_PTR param2 = 0;
    DWORD_PTR param3 = 0;
    std::function<void()> beforeDelivery;
    bool closesOpen = false; // LINE_CLOSE/PHONE_CLOSE: the open is gone after it
};

struct PendingRequest
{
    RequestId id = 0;
    bool phone = false;
    DWORD app = 0;
    DWORD open = 0;
    DWORD_PTR instance = 0;
    // Calls created by the request and the caller's cells that receive their
    // handles when it succeeds.
    struct NewCall
    {
        CallId call = 0;
        HCALL* cell = nullptr;
    };
    std::vector<NewCall> newCalls;
    // A request that may connect this call; its CONNECTED waits for the reply.
    CallId connectsCall = 0;
};

class Core final : public ProviderEvents
{
public:
    Core();
    ~Core() override;
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    // The one instance while something is installed; nullptr otherwise.
    static Core* Get();
    static Core& Create();
    static void Destroy();

    void AddProvider(std::unique_ptr<Provider> provider);
    bool HasApps() const { return !m_apps.empty(); }
    static Service::ConfigDialogHandler ConfigDialogHandlerFor(const QString& providerName);

    // Devices
    DWORD LineCount() const { return static_cast<DWORD>(m_lines.size()); }
    DWORD PhoneCount() const { return static_cast<DWORD>(m_phones.size()); }
    const Device* Line(DWORD device) const;
    const Device* Phone(DWORD device) const;
    std::optional<DWORD> GlobalPhoneId(Provider* provider, int local) const;

    // Applications
    HLINEAPP AddApp(bool phone, LINECALLBACK callback, DWORD apiVersion);
    App* FindApp(DWORD handle, bool phone);
    void RemoveApp(DWORD handle);

    // Opens
    LONG OpenLine(HLINEAPP app, DWORD device, DWORD version, DWORD_PTR instance, DWORD privileges,
                  DWORD mediaModes, HLINE& handle);
    LineOpen* FindOpen(HLINE handle);
    void CloseLineOpen(HLINE handle);
    void UpdateStatusMessages(DWORD device);
    LONG OpenPhone(HPHONEAPP app, DWORD device, DWORD version, DWORD_PTR instance, DWORD privilege,
                   HPHONE& handle);
    PhoneOpen* FindPhoneOpen(HPHONE handle);
    void ClosePhoneOpen(HPHONE handle);
    void UpdatePhoneStatusMessages(DWORD device);
    void PhoneOpenCounts(DWORD device, DWORD& owners, DWORD& monitors) const;

    // Calls
    CallHandle* FindHandle(HCALL handle);
    Call* FindCall(CallId id);
    CallId NewCallRecord(DWORD device, DWORD addressId, RequestId creatingRequest);
    LONG DeallocateHandle(HCALL handle);
    DWORD OwnerCount(const Call& call) const;
    DWORD MonitorCount(const Call& call) const;

    // Requests
    RequestId NextRequestId();
    void AddPending(PendingRequest request);
    // Forgets a request the provider refused; a reply it may have sent anyway
    // is taken back out of the queue.
    void CompleteRequestSilently(RequestId request);
    void DropCallRecord(CallId id);

    // Messages
    void Post(Message message);
    int Pending() const { return static_cast<int>(m_queue.size()); }
    void Drain();

    // ProviderEvents
    void CompleteRequest(RequestId request, LONG result) override;
    CallId NewIncomingCall(Provider* provider, int line, DWORD addressId) override;
    void CallStateChanged(CallId call, DWORD state, DWORD detail, DWORD mediaMode) override;
    void CallInfoChanged(CallId call, DWORD infoStates) override;
    void LineDevStateChanged(Provider* provider, int line, DWORD state, DWORD param2, DWORD param3) override;
    void LineClosed(Provider* provider, int line) override;
    void CallDevSpecific(CallId call, DWORD param1, DWORD param2, DWORD param3) override;
    void DigitDetected(CallId call, DWORD digit, DWORD digitMode) override;
    void MediaDetected(CallId call, DWORD mediaMode) override;
    void ToneDetected(CallId call, DWORD appSpecific) override;
    void PhoneStateChanged(Provider* provider, int phone, DWORD state, DWORD detail) override;
    void PhoneClosed(Provider* provider, int phone) override;

private:
    std::optional<DWORD> GlobalLineId(Provider* provider, int local) const;
    DWORD NewHandle() { return m_nextHandle++; }
    HCALL AddHandle(Call& call, const LineOpen& open, DWORD privilege);
    void PostToCallHandles(Call& call, DWORD message, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3);
    void ForgetCall(Call& call, bool tellProvider);
    bool HasConnectingRequest(CallId call) const;
    void ReleaseHeldConnected(CallId call);
    void RemoveHandle(HCALL handle);

    std::vector<std::unique_ptr<Provider>> m_providers;
    std::vector<Device> m_lines;
    std::vector<Device> m_phones;
    std::map<DWORD, App> m_apps;
    std::map<HLINE, LineOpen> m_opens;
    std::map<HPHONE, PhoneOpen> m_phoneOpens;
    // Opens the device closed: gone for the API, but what was queued for them
    // before their LINE_CLOSE/PHONE_CLOSE is still delivered.
    std::set<DWORD> m_closing;
    std::map<HCALL, CallHandle> m_handles;
    std::map<CallId, Call> m_calls;
    std::map<RequestId, PendingRequest> m_pending;
    std::deque<Message> m_queue;
    bool m_postPending = false;
    DWORD m_nextHandle = 0x10000;
    CallId m_nextCall = 1;
    RequestId m_nextRequest = 1;
    qv::MessageWindow m_window;
};

QHash<QString, Service::ConfigDialogHandler>& DialogHandlers();

// Helpers shared by the API files.
QString DeviceClassW(LPCWSTR cls);
DWORD TickCount();

} // namespace tapi::detail
