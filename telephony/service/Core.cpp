#include "telephony/service/Core.h"

#include "common/Clock.h"

#include <QtGlobal>

#include <algorithm>
#include <exception>

namespace tapi::detail {

namespace {

constexpr std::uint32_t kDeliverMessage = qv::WM_USER + 1;

Core* g_core = nullptr;
// A core destroyed while one of its callbacks ran is parked here and freed
// once nothing of it is on the stack any more.
Core* g_zombie = nullptr;
int g_drainDepth = 0;

} // namespace

DWORD TickCount()
{
    return static_cast<DWORD>(qv::Clock::Instance().MonotonicMs());
}

QString DeviceClassW(LPCWSTR cls)
{
    return DecodeWide(cls, 256);
}

Core::Core()
    : m_window([this](qv::TMessage& message) {
          if (message.Msg == kDeliverMessage)
              Drain();
      })
{}

Core::~Core()
{
    for (auto& provider : m_providers)
        provider->Detach();
}

Core* Core::Get()
{
    return g_core;
}

Core& Core::Create()
{
    if (g_zombie != nullptr && g_drainDepth == 0) {
        delete g_zombie;
        g_zombie = nullptr;
    }
    if (g_core == nullptr)
        g_core = new Core();
    return *g_core;
}

void Core::Destroy()
{
    if (g_zombie != nullptr && g_drainDepth == 0) {
        delete g_zombie;
        g_zombie = nullptr;
    }
    Core* core = g_core;
    g_core = nullptr;
    if (core == nullptr)
        return;
    if (g_drainDepth > 0) {
        for (auto& provider : core->m_providers)
            provider->Detach();
        core->m_providers.clear();
        core->m_queue.clear();
        delete g_zombie;
        g_zombie = core;
        return;
    }
    delete core;
}

void Core::AddProvider(std::unique_ptr<Provider> provider)
{
    Provider* p = provider.get();
    m_providers.push_back(std::move(provider));
    p->Attach(this);
    for (int i = 0; i < p->LineCount(); ++i)
        m_lines.push_back({p, i});
    for (int i = 0; i < p->PhoneCount(); ++i)
        m_phones.push_back({p, i});
}

// Dialog handlers outlive installations: the GUI registers them once.
QHash<QString, Service::ConfigDialogHandler>& DialogHandlers()
{
    static QHash<QString, Service::ConfigDialogHandler> handlers;
    return handlers;
}

Service::ConfigDialogHandler Core::ConfigDialogHandlerFor(const QString& providerName)
{
    return DialogHandlers().value(providerName);
}

const Device* Core::Line(DWORD device) const
{
    return device < m_lines.size() ? &m_lines[device] : nullptr;
}

const Device* Core::Phone(DWORD device) const
{
    return device < m_phones.size() ? &m_phones[device] : nullptr;
}

std::optional<DWORD> Core::GlobalLineId(Provider* provider, int local) const
{
    for (std::size_t i = 0; i < m_lines.size(); ++i)
        if (m_lines[i].provider == provider && m_lines[i].local == local)
            return static_cast<DWORD>(i);
    return std::nullopt;
}

std::optional<DWORD> Core::GlobalPhoneId(Provider* provider, int local) const
{
    for (std::size_t i = 0; i < m_phones.size(); ++i)
        if (m_phones[i].provider == provider && m_phones[i].local == local)
            return static_cast<DWORD>(i);
    return std::nullopt;
}

// --- Applications ------------------------------------------------------------

HLINEAPP Core::AddApp(bool phone, LINECALLBACK callback, DWORD apiVersion)
{
    const DWORD handle = NewHandle();
    m_apps[handle] = App{handle, phone, callback, apiVersion};
    return handle;
}

App* Core::FindApp(DWORD handle, bool phone)
{
    auto it = m_apps.find(handle);
    if (it == m_apps.end() || it->second.phone != phone)
        return nullptr;
    return &it->second;
}

void Core::RemoveApp(DWORD handle)
{
    std::vector<HLINE> opens;
    for (auto& [h, open] : m_opens)
        if (open.app == handle)
            opens.push_back(h);
    for (HLINE h : opens)
        CloseLineOpen(h);
    std::vector<HPHONE> phoneOpens;
    for (auto& [h, open] : m_phoneOpens)
        if (open.app == handle)
            phoneOpens.push_back(h);
    for (HPHONE h : phoneOpens)
        ClosePhoneOpen(h);
    std::vector<CallId> waiting;
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (it->second.app == handle) {
            if (it->second.connectsCall != 0)
                waiting.push_back(it->second.connectsCall);
            it = m_pending.erase(it);
        } else {
            ++it;
        }
    }
    for (CallId id : waiting)
        if (!HasConnectingRequest(id))
            ReleaseHeldConnected(id);
    m_apps.erase(handle);
    for (const Message& m : m_queue)
        if (m.app == handle && m.closesOpen)
            m_closing.erase(m.open);
    m_queue.erase(
        std::remove_if(m_queue.begin(), m_queue.end(), [&](const Message& m) { return m.app == handle; }),
        m_queue.end());
}

// --- Line opens ----------------------------------------------------------------

LONG Core::OpenLine(HLINEAPP app, DWORD device, DWORD version, DWORD_PTR instance, DWORD privileges,
                    DWORD mediaModes, HLINE& handle)
{
    const Device* dev = Line(device);
    const bool first = std::none_of(m_opens.begin(), m_opens.end(),
                                    [&](const auto& entry) { return entry.second.device == device; });
    if (first) {
        const LONG result = dev->provider->OpenLine(dev->local);
        if (result < 0)
            return result;
    }
    handle = NewHandle();
    LineOpen open;
    open.handle = handle;
    open.app = app;
    open.device = device;
    open.apiVersion = version;
    open.instance = instance;
    open.privileges = privileges;
    open.mediaModes = mediaModes;
    m_opens[handle] = open;
    return 0;
}

LineOpen* Core::FindOpen(HLINE handle)
{
    auto it = m_opens.find(handle);
    return it == m_opens.end() ? nullptr : &it->second;
}

void Core::CloseLineOpen(HLINE handle)
{
    auto it = m_opens.find(handle);
    if (it == m_opens.end())
        return;
    const LineOpen closing = it->second;
    m_opens.erase(it);

    // The application's call handles move to another of its opens of the same
    // line, or go away with this one.
    const LineOpen* sibling = nullptr;
    for (auto& [h, open] : m_opens)
        if (open.app == closing.app && open.device == closing.device &&
            (sibling == nullptr || (open.privileges & LINECALLPRIVILEGE_OWNER)))
            sibling = &open;
    std::vector<HCALL> orphaned;
    std::vector<CallId> affected;
    for (auto& [h, ch] : m_handles) {
        if (ch.open != closing.handle)
            continue;
        if (sibling != nullptr) {
            ch.open = sibling->handle;
        } else {
            orphaned.push_back(h);
            affected.push_back(ch.call);
        }
    }
    for (HCALL h : orphaned)
        RemoveHandle(h);

    // A call nobody owns any more is really dropped: the socket is closed, the
    // modem hangs up. Applications that only watched it lose their handles.
    for (CallId id : affected)
        if (Call* call = FindCall(id); call != nullptr && OwnerCount(*call) == 0)
            ForgetCall(*call, true);

    const Device* dev = Line(closing.device);
    const bool last = std::none_of(m_opens.begin(), m_opens.end(),
                                   [&](const auto& entry) { return entry.second.device == closing.device; });
    if (last) {
        // Whatever the provider still holds of the line goes with it.
        for (auto callIt = m_calls.begin(); callIt != m_calls.end();) {
            if (callIt->second.device == closing.device) {
                for (HCALL h : callIt->second.handles)
                    m_handles.erase(h);
                callIt = m_calls.erase(callIt);
            } else {
                ++callIt;
            }
        }
        if (dev != nullptr)
            dev->provider->CloseLine(dev->local);
    } else {
        UpdateStatusMessages(closing.device);
    }
}

void Core::UpdateStatusMessages(DWORD device)
{
    DWORD lineStates = 0;
    DWORD addressStates = 0;
    for (auto& [h, open] : m_opens) {
        if (open.device == device) {
            lineStates |= open.lineStates;
            addressStates |= open.addressStates;
        }
    }
    if (const Device* dev = Line(device))
        dev->provider->SetStatusMessages(dev->local, lineStates, addressStates);
}

// --- Phone opens ----------------------------------------------------------------

LONG Core::OpenPhone(HPHONEAPP app, DWORD device, DWORD version, DWORD_PTR instance, DWORD privilege,
                     HPHONE& handle)
{
    const Device* dev = Phone(device);
    const bool first = std::none_of(m_phoneOpens.begin(), m_phoneOpens.end(),
                                    [&](const auto& entry) { return entry.second.device == device; });
    if (first) {
        const LONG result = dev->provider->OpenPhone(dev->local);
        if (result < 0)
            return result;
    }
    handle = NewHandle();
    m_phoneOpens[handle] = PhoneOpen{handle, app, device, version, instance, privilege, 0};
    return 0;
}

PhoneOpen* Core::FindPhoneOpen(HPHONE handle)
{
    auto it = m_phoneOpens.find(handle);
    return it == m_phoneOpens.end() ? nullptr : &it->second;
}

void Core::ClosePhoneOpen(HPHONE handle)
{
    auto it = m_phoneOpens.find(handle);
    if (it == m_phoneOpens.end())
        return;
    const DWORD device = it->second.device;
    m_phoneOpens.erase(it);
    const bool last = std::none_of(m_phoneOpens.begin(), m_phoneOpens.end(),
                                   [&](const auto& entry) { return entry.second.device == device; });
    if (const Device* dev = Phone(device)) {
        if (last)
            dev->provider->ClosePhone(dev->local);
        else
            UpdatePhoneStatusMessages(device);
    }
}

void Core::PhoneOpenCounts(DWORD device, DWORD& owners, DWORD& monitors) const
{
    owners = 0;
    monitors = 0;
    for (const auto& [h, open] : m_phoneOpens) {
        if (open.device != device)
            continue;
        if (open.privilege == PHONEPRIVILEGE_OWNER)
            ++owners;
        else
            ++monitors;
    }
}

void Core::UpdatePhoneStatusMessages(DWORD device)
{
    DWORD states = 0;
    for (auto& [h, open] : m_phoneOpens)
        if (open.device == device)
            states |= open.phoneStates;
    if (const Device* dev = Phone(device))
        dev->provider->SetPhoneStatusMessages(dev->local, states);
}

// --- Calls -------------------------------------------------------------------------

CallHandle* Core::FindHandle(HCALL handle)
{
    auto it = m_handles.find(handle);
    return it == m_handles.end() ? nullptr : &it->second;
}

Call* Core::FindCall(CallId id)
{
    auto it = m_calls.find(id);
    return it == m_calls.end() ? nullptr : &it->second;
}

CallId Core::NewCallRecord(DWORD device, DWORD addressId, RequestId creatingRequest)
{
    const CallId id = m_nextCall++;
    Call call;
    call.id = id;
    call.device = device;
    call.addressId = addressId;
    call.creatingRequest = creatingRequest;
    call.stateTime = qv::Clock::Instance().Now();
    m_calls[id] = std::move(call);
    return id;
}

HCALL Core::AddHandle(Call& call, const LineOpen& open, DWORD privilege)
{
    const HCALL h = NewHandle();
    m_handles[h] = CallHandle{h, call.id, open.handle, privilege, false};
    call.handles.push_back(h);
    return h;
}

void Core::RemoveHandle(HCALL handle)
{
    auto it = m_handles.find(handle);
    if (it == m_handles.end())
        return;
    if (Call* call = FindCall(it->second.call))
        call->handles.erase(std::remove(call->handles.begin(), call->handles.end(), handle),
                            call->handles.end());
    m_handles.erase(it);
}

DWORD Core::OwnerCount(const Call& call) const
{
    DWORD n = 0;
    for (HCALL h : call.handles) {
        auto it = m_handles.find(h);
        if (it != m_handles.end() && it->second.privilege == LINECALLPRIVILEGE_OWNER)
            ++n;
    }
    return n;
}

DWORD Core::MonitorCount(const Call& call) const
{
    return static_cast<DWORD>(call.handles.size()) - OwnerCount(call);
}

LONG Core::DeallocateHandle(HCALL handle)
{
    CallHandle* ch = FindHandle(handle);
    if (ch == nullptr)
        return LINEERR_INVALCALLHANDLE;
    Call* call = FindCall(ch->call);
    if (call != nullptr && !call->released && call->state != LINECALLSTATE_IDLE &&
        ch->privilege == LINECALLPRIVILEGE_OWNER && OwnerCount(*call) == 1)
        return LINEERR_INVALCALLSTATE; // the sole owner must drop the call first
    const CallId id = ch->call;
    RemoveHandle(handle);
    call = FindCall(id);
    if (call != nullptr && call->handles.empty())
        ForgetCall(*call, true);
    return 0;
}

// The service lets go of a call: the provider drops and frees it, every handle
// goes away, events still waiting for a reply are thrown out.
void Core::ForgetCall(Call& call, bool tellProvider)
{
    const CallId id = call.id;
    const DWORD device = call.device;
    const bool released = call.released;
    for (HCALL h : call.handles)
        m_handles.erase(h);
    m_calls.erase(id);
    if (tellProvider && !released)
        if (const Device* dev = Line(device))
            dev->provider->ReleaseCall(id);
}

bool Core::HasConnectingRequest(CallId call) const
{
    return std::any_of(m_pending.begin(), m_pending.end(),
                       [&](const auto& entry) { return entry.second.connectsCall == call; });
}

void Core::ReleaseHeldConnected(CallId id)
{
    Call* call = FindCall(id);
    if (call == nullptr || call->heldConnected.empty())
        return;
    auto held = std::move(call->heldConnected);
    call->heldConnected.clear();
    // Replayed as if reported now: nothing waits for a reply any more.
    call->releasing = true;
    for (auto& replay : held)
        replay();
    if ((call = FindCall(id)) != nullptr)
        call->releasing = false;
}

void Core::DropCallRecord(CallId id)
{
    if (Call* call = FindCall(id))
        ForgetCall(*call, true);
}

// --- Requests ------------------------------------------------------------------------

RequestId Core::NextRequestId()
{
    const RequestId id = m_nextRequest;
    m_nextRequest = m_nextRequest >= 0x7FFFFFFF ? 1 : m_nextRequest + 1;
    return id;
}

void Core::AddPending(PendingRequest request)
{
    m_pending[request.id] = std::move(request);
}

void Core::CompleteRequestSilently(RequestId request)
{
    auto it = m_pending.find(request);
    const CallId connects = it != m_pending.end() ? it->second.connectsCall : 0;
    m_pending.erase(request);
    if (connects != 0 && !HasConnectingRequest(connects))
        ReleaseHeldConnected(connects);
    m_queue.erase(std::remove_if(m_queue.begin(), m_queue.end(),
                                 [&](const Message& m) {
                                     return (m.message == LINE_REPLY || m.message == PHONE_REPLY) &&
                                            m.param1 == request;
                                 }),
                  m_queue.end());
}

void Core::CompleteRequest(RequestId request, LONG result)
{
    auto it = m_pending.find(request);
    if (it == m_pending.end())
        return; // unknown, already completed, or its application went away
    PendingRequest pending = std::move(it->second);
    m_pending.erase(it);

    // The cells receive the new handles at delivery, right before the reply,
    // and only while the open that asked is still there to read them.
    std::vector<std::pair<HCALL*, HCALL>> cells;
    std::vector<CallId> created;
    for (const auto& nc : pending.newCalls) {
        Call* call = FindCall(nc.call);
        if (call == nullptr)
            continue;
        call->creatingRequest = 0;
        if (result != 0) {
            ForgetCall(*call, true);
            continue;
        }
        const LineOpen* open = FindOpen(pending.open);
        if (open == nullptr) {
            ForgetCall(*call, true);
            continue;
        }
        const HCALL h = AddHandle(*call, *open, LINECALLPRIVILEGE_OWNER);
        cells.push_back({nc.cell, h});
        created.push_back(nc.call);
    }

    Message reply;
    reply.phone = pending.phone;
    reply.app = pending.app;
    reply.open = pending.open;
    reply.device = 0;
    reply.message = pending.phone ? PHONE_REPLY : LINE_REPLY;
    reply.instance = pending.instance;
    reply.param1 = request;
    reply.param2 = static_cast<DWORD>(result);
    if (!cells.empty())
        reply.beforeDelivery = [cells] {
            for (auto [cell, h] : cells)
                if (cell != nullptr)
                    *cell = h;
        };
    Post(std::move(reply));

    if (pending.connectsCall != 0 && !HasConnectingRequest(pending.connectsCall))
        ReleaseHeldConnected(pending.connectsCall);

    // What the provider reported about the new calls before the reply follows it.
    for (CallId id : created) {
        Call* call = FindCall(id);
        if (call == nullptr)
            continue;
        auto held = std::move(call->held);
        call->held.clear();
        for (auto& replay : held)
            replay();
    }
}

// --- Messages ----------------------------------------------------------------------

void Core::Post(Message message)
{
    m_queue.push_back(std::move(message));
    if (!m_postPending) {
        m_postPending = true;
        qv::PostMessage(m_window.Handle(), kDeliverMessage, 0, 0);
    }
}

void Core::Drain()
{
    m_postPending = false;
    ++g_drainDepth;
    while (g_core == this && !m_queue.empty()) {
        Message m = std::move(m_queue.front());
        m_queue.pop_front();
        auto appIt = m_apps.find(m.app);
        if (appIt == m_apps.end() || appIt->second.callback == nullptr)
            continue;
        if (m.open != 0) {
            const bool alive = (m.phone ? m_phoneOpens.count(m.open) != 0 : m_opens.count(m.open) != 0) ||
                               m_closing.count(m.open) != 0;
            if (!alive)
                continue;
        }
        if (m.closesOpen)
            m_closing.erase(m.open);
        const LINECALLBACK callback = appIt->second.callback;
        if (m.beforeDelivery)
            m.beforeDelivery();
        // The callback is the application's code: whatever it throws stops at
        // this boundary, so the queue and the delivery depth stay sound and
        // the next message is still delivered.
        try {
            callback(m.device, m.message, m.instance, m.param1, m.param2, m.param3);
        } catch (const std::exception& e) {
            qWarning("telephony service: a callback failed with \"%s\" on message %u", e.what(), m.message);
        } catch (...) {
            qWarning("telephony service: a callback failed on message %u", m.message);
        }
    }
    --g_drainDepth;
}

void Core::PostToCallHandles(Call& call, DWORD message, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3)
{
    for (HCALL h : call.handles) {
        CallHandle* ch = FindHandle(h);
        const LineOpen* open = ch ? FindOpen(ch->open) : nullptr;
        if (open == nullptr)
            continue;
        Message m;
        m.app = open->app;
        m.open = open->handle;
        m.device = h;
        m.message = message;
        m.instance = open->instance;
        m.param1 = p1;
        m.param2 = p2;
        m.param3 = p3;
        if (message == LINE_CALLSTATE && !ch->announced) {
            m.param3 = ch->privilege;
            ch->announced = true;
        }
        Post(std::move(m));
    }
}

// --- Provider events -------------------------------------------------------------------

CallId Core::NewIncomingCall(Provider* provider, int line, DWORD addressId)
{
    const auto device = GlobalLineId(provider, line);
    if (!device)
        return 0;
    // One handle per application that watches the line: owners take the call
    // as owners, the others as monitors. Opens without privileges see nothing.
    std::map<HLINEAPP, const LineOpen*> chosen;
    for (auto& [h, open] : m_opens) {
        if (open.device != *device ||
            !(open.privileges & (LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR)))
            continue;
        const LineOpen*& pick = chosen[open.app];
        if (pick == nullptr ||
            ((open.privileges & LINECALLPRIVILEGE_OWNER) && !(pick->privileges & LINECALLPRIVILEGE_OWNER)))
            pick = &open;
    }
    if (chosen.empty())
        return 0;
    const CallId id = NewCallRecord(*device, addressId, 0);
    Call& call = m_calls[id];
    for (auto& [app, open] : chosen)
        AddHandle(call, *open,
                  (open->privileges & LINECALLPRIVILEGE_OWNER) ? LINECALLPRIVILEGE_OWNER
                                                               : LINECALLPRIVILEGE_MONITOR);
    return id;
}

void Core::CallStateChanged(CallId id, DWORD state, DWORD detail, DWORD mediaMode)
{
    Call* call = FindCall(id);
    if (call == nullptr || call->released)
        return;
    if (state == 0 || (state & (state - 1)) != 0 || state > LINECALLSTATE_UNKNOWN)
        return; // exactly one known state, or nothing
    if (call->creatingRequest != 0) {
        call->held.push_back(
            [this, id, state, detail, mediaMode] { CallStateChanged(id, state, detail, mediaMode); });
        return;
    }
    // What a request causes is reported after its reply: a CONNECTED that
    // comes while an answer, dial or switch is unreplied waits for that reply,
    // or for the next other state, whichever comes first.
    if (state == LINECALLSTATE_CONNECTED && !call->releasing && HasConnectingRequest(id)) {
        call->heldConnected.push_back(
            [this, id, state, detail, mediaMode] { CallStateChanged(id, state, detail, mediaMode); });
        return;
    }
    if (!call->heldConnected.empty() && !call->releasing) {
        ReleaseHeldConnected(id);
        call = FindCall(id);
        if (call == nullptr || call->released)
            return;
    }
    call->state = state;
    call->stateMode = detail;
    if (mediaMode != 0)
        call->mediaMode = mediaMode;
    call->stateTime = qv::Clock::Instance().Now();
    if (state == LINECALLSTATE_CONFERENCED && detail != 0) {
        // dwParam2 names the conference call, as each application knows it.
        Call* conf = FindCall(detail);
        for (HCALL h : call->handles) {
            CallHandle* ch = FindHandle(h);
            const LineOpen* open = ch ? FindOpen(ch->open) : nullptr;
            if (open == nullptr)
                continue;
            DWORD_PTR confHandle = 0;
            if (conf != nullptr)
                for (HCALL ch2 : conf->handles)
                    if (const CallHandle* c2 = FindHandle(ch2);
                        c2 && FindOpen(c2->open) && FindOpen(c2->open)->app == open->app)
                        confHandle = ch2;
            Message m;
            m.app = open->app;
            m.open = open->handle;
            m.device = h;
            m.message = LINE_CALLSTATE;
            m.instance = open->instance;
            m.param1 = state;
            m.param2 = confHandle;
            m.param3 = ch->announced ? 0 : ch->privilege;
            ch->announced = true;
            Post(std::move(m));
        }
        return;
    }
    PostToCallHandles(*call, LINE_CALLSTATE, state, detail, 0);
}

void Core::CallInfoChanged(CallId id, DWORD infoStates)
{
    Call* call = FindCall(id);
    if (call == nullptr || call->released || infoStates == 0)
        return;
    if (call->creatingRequest != 0) {
        call->held.push_back([this, id, infoStates] { CallInfoChanged(id, infoStates); });
        return;
    }
    PostToCallHandles(*call, LINE_CALLINFO, infoStates, 0, 0);
}

void Core::CallDevSpecific(CallId id, DWORD param1, DWORD param2, DWORD param3)
{
    Call* call = FindCall(id);
    if (call == nullptr || call->released)
        return;
    if (call->creatingRequest != 0) {
        call->held.push_back(
            [this, id, param1, param2, param3] { CallDevSpecific(id, param1, param2, param3); });
        return;
    }
    PostToCallHandles(*call, LINE_DEVSPECIFIC, param1, param2, param3);
}

void Core::LineDevStateChanged(Provider* provider, int line, DWORD state, DWORD param2, DWORD param3)
{
    const auto device = GlobalLineId(provider, line);
    if (!device || state == 0)
        return;
    for (auto& [h, open] : m_opens) {
        if (open.device != *device)
            continue;
        // Only what the open asked for with lineSetStatusMessages; a REINIT
        // always goes out.
        const DWORD wanted = state & (open.lineStates | LINEDEVSTATE_REINIT);
        if (wanted == 0)
            continue;
        Message m;
        m.app = open.app;
        m.open = open.handle;
        m.device = open.handle;
        m.message = LINE_LINEDEVSTATE;
        m.instance = open.instance;
        m.param1 = wanted;
        m.param2 = param2;
        m.param3 = param3;
        Post(std::move(m));
    }
}

void Core::LineClosed(Provider* provider, int line)
{
    const auto device = GlobalLineId(provider, line);
    if (!device)
        return;
    std::vector<HLINE> closing;
    for (auto& [h, open] : m_opens) {
        if (open.device != *device)
            continue;
        closing.push_back(h);
        Message m;
        m.app = open.app;
        m.open = open.handle;
        m.closesOpen = true;
        m.device = open.handle;
        m.message = LINE_CLOSE;
        m.instance = open.instance;
        Post(std::move(m));
    }
    for (HLINE h : closing) {
        m_opens.erase(h);
        m_closing.insert(h);
    }
    // The provider has already let go of the line and its calls.
    for (auto it = m_calls.begin(); it != m_calls.end();) {
        if (it->second.device == *device) {
            for (HCALL h : it->second.handles)
                m_handles.erase(h);
            it = m_calls.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = m_pending.begin(); it != m_pending.end();)
        it =
            (!it->second.phone && std::find(closing.begin(), closing.end(), it->second.open) != closing.end())
                ? m_pending.erase(it)
                : std::next(it);
}

void Core::DigitDetected(CallId id, DWORD digit, DWORD digitMode)
{
    if (Call* call = FindCall(id); call && !call->released && call->creatingRequest == 0)
        PostToCallHandles(*call, LINE_MONITORDIGITS, digit & 0xFF, digitMode, TickCount());
}

void Core::MediaDetected(CallId id, DWORD mediaMode)
{
    if (Call* call = FindCall(id); call && !call->released && call->creatingRequest == 0)
        PostToCallHandles(*call, LINE_MONITORMEDIA, mediaMode, 0, TickCount());
}

void Core::ToneDetected(CallId id, DWORD appSpecific)
{
    if (Call* call = FindCall(id); call && !call->released && call->creatingRequest == 0)
        PostToCallHandles(*call, LINE_MONITORTONE, appSpecific, 0, TickCount());
}

void Core::PhoneStateChanged(Provider* provider, int phone, DWORD state, DWORD detail)
{
    const auto device = GlobalPhoneId(provider, phone);
    if (!device || state == 0)
        return;
    for (auto& [h, open] : m_phoneOpens) {
        if (open.device != *device)
            continue;
        const DWORD wanted = state & (open.phoneStates | PHONESTATE_REINIT);
        if (wanted == 0)
            continue;
        Message m;
        m.phone = true;
        m.app = open.app;
        m.open = open.handle;
        m.device = open.handle;
        m.message = PHONE_STATE;
        m.instance = open.instance;
        m.param1 = wanted;
        m.param2 = detail;
        Post(std::move(m));
    }
}

void Core::PhoneClosed(Provider* provider, int phone)
{
    const auto device = GlobalPhoneId(provider, phone);
    if (!device)
        return;
    std::vector<HPHONE> closing;
    for (auto& [h, open] : m_phoneOpens) {
        if (open.device != *device)
            continue;
        closing.push_back(h);
        Message m;
        m.phone = true;
        m.app = open.app;
        m.open = open.handle;
        m.closesOpen = true;
        m.device = open.handle;
        m.message = PHONE_CLOSE;
        m.instance = open.instance;
        Post(std::move(m));
    }
    for (HPHONE h : closing) {
        m_phoneOpens.erase(h);
        m_closing.insert(h);
    }
}

} // namespace tapi::detail

namespace tapi {

bool Service::Install(std::unique_ptr<Provider> provider)
{
    detail::Core& core = detail::Core::Create();
    if (core.HasApps() || !provider)
        return false;
    core.AddProvider(std::move(provider));
    return true;
}

void Service::Uninstall()
{
    detail::Core::Destroy();
}

bool Service::IsInstalled()
{
    return detail::Core::Get() != nullptr;
}

void Service::SetConfigDialogHandler(const QString& providerName, ConfigDialogHandler handler)
{
    if (handler)
        detail::DialogHandlers().insert(providerName, std::move(handler));
    else
        detail::DialogHandlers().remove(providerName);
}

int Service::PendingMessages()
{
    detail::Core* core = detail::Core::Get();
    return core ? core->Pending() : 0;
}

QString Service::LineFailure(DWORD deviceId)
{
    const detail::Core* core = detail::Core::Get();
    const detail::Device* dev = core ? core->Line(deviceId) : nullptr;
    return dev ? dev->provider->LineFailure(dev->local) : QString();
}

CallId Service::CallOfHandle(HCALL handle)
{
    detail::Core* core = detail::Core::Get();
    const detail::CallHandle* ch = core ? core->FindHandle(handle) : nullptr;
    return ch ? ch->call : 0;
}

void Service::DeliverPending()
{
    if (detail::Core* core = detail::Core::Get())
        core->Drain();
}

} // namespace tapi
