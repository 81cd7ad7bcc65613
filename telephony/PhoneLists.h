// The phone's bookkeeping: the calls it knows, the asynchronous requests it
// waits for, the consultations it runs and what it learnt of a line device.
// Internal to QvPhone; kept apart so that its header stays readable.
//
// Entries are addressed by call handle or request ID, never by position or
// pointer across an event: a handler may add or remove entries while the
// phone is walking a list, so every walk takes a snapshot of keys first.
#pragma once

#include "common/MessageWindow.h"
#include "telephony/PhoneTypes.h"

#include <QByteArray>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace qv {

using CallHandle = std::uint32_t;
// The copy of a service callback that the callback hands to the component's
// window: the window, then the device handle, the message and its parameters.
struct TCallbackRecord
{
    WindowHandle window = 0;
    std::uintptr_t device = 0, message = 0, param1 = 0, param2 = 0, param3 = 0;
};

// A cell the service writes a new call handle into when a request completes.
using CallCell = std::unique_ptr<CallHandle>;

struct TCallEntry
{
    CallHandle handle = 0;
    TCallState state = csDisconnected;
    int ringCount = 1;
    int tag = 0;
    bool disconnectHandled = false;
    // While a hang-up of ours waits for the call to go: the state and flag
    // it started from, given back when the drop fails.
    TCallState stateBeforeHangup = csDisconnected;
    bool handledBeforeHangup = false;
};

// Calls in order of first appearance.
class TCallList
{
public:
    int Count() const { return static_cast<int>(m_calls.size()); }
    const TCallEntry& At(int index) const { return m_calls[static_cast<std::size_t>(index)]; }
    TCallEntry* Find(CallHandle handle);
    const TCallEntry* Find(CallHandle handle) const;
    // The entry of `handle`, created (state csDisconnected, ring count
    // `initialRing`, tag 0) when the handle is new.
    TCallEntry& Ensure(CallHandle handle, int initialRing);
    void Remove(CallHandle handle);
    std::vector<CallHandle> Handles() const;
    void Clear() { m_calls.clear(); }

private:
    std::vector<TCallEntry> m_calls;
};

// Kinds of asynchronous request.
namespace req {
constexpr int MakeCall = 1;
constexpr int ConsultDial = 2;
constexpr int BlindTransfer = 3;
constexpr int ConsultComplete = 4;
constexpr int ConsultSetup = 5;
constexpr int PickUpCall = 6;
constexpr int PickUpDial = 7;
constexpr int Answer = 8;
constexpr int Drop = 10;
constexpr int HookSwitch = 11;
constexpr int DataSwitch = 12;
constexpr int Hold = 13;
constexpr int ConferenceComplete = 14;
constexpr int TransferAToB = 15;
constexpr int PhoneSetting = 16;
} // namespace req

struct TPendingRequest
{
    std::uint32_t requestId = 0;
    std::int64_t deadlineMs = 0; // on the Clock's monotonic scale
    CallHandle call = 0;
    int kind = 0;
    std::intptr_t value = 0;
    CallCell cell;           // new call handle, or none
    WindowHandle window = 0; // window to notify, or none
    bool timeoutReported = false;
    std::int64_t forgetAtMs = 0; // once reported: when a reply is no longer awaited
};

// Requests in order of issue. Take() hands an entry out of the table, so that
// whatever its processing raises sees the table without it.
class TPendingTable
{
public:
    bool Empty() const { return m_entries.empty(); }
    int Count() const { return static_cast<int>(m_entries.size()); }
    void Add(TPendingRequest entry) { m_entries.push_back(std::move(entry)); }
    TPendingRequest* Find(std::uint32_t requestId);
    std::optional<TPendingRequest> Take(std::uint32_t requestId);
    bool HasCall(CallHandle call) const;
    // Request IDs in table order (a snapshot for a walk).
    std::vector<std::uint32_t> RequestIds() const;
    // Every entry, handed out; the table is empty afterwards.
    std::vector<TPendingRequest> TakeAll();

private:
    std::vector<TPendingRequest> m_entries;
};

// A consultation started from a primary call; the service fills the cells.
struct TConsultEntry
{
    CallHandle primary = 0;
    CallCell consultCell;    // consultation call, 0 once gone
    CallCell conferenceCell; // conference call (conference set-up only)
    QByteArray number;
    bool conferenced = false;
    bool completed = false;
    TConsultCallState state = ccsStarted;
    bool transfer = true;
    // As in TCallEntry, for a hang-up of the consultation call.
    TConsultCallState stateBeforeHangup = ccsStarted;
    bool completedBeforeHangup = false;

    CallHandle Consult() const { return consultCell ? *consultCell : 0; }
    CallHandle Conference() const { return conferenceCell ? *conferenceCell : 0; }
};

// What the capability probe learnt of one line device.
struct TDeviceRecord
{
    std::uint32_t lineId = 0;
    bool valid = false;
    int caps = 0;
    int waveIn = -2;
    int waveOut = -2;
    int commId = -2;
    int phoneId = -2;
    bool wideStrings = false;
    int rings = 0;
    int lamps = 0;
    int displayRows = 0;
    int displayCols = 0;
    std::uint32_t lineApiVersion = 0;
    std::uint32_t phoneApiVersion = 0;
    std::uint32_t mediaModes = 0;
    std::uint32_t faxMediaModes = 0;
    std::uint32_t digitModes = 0;
};

} // namespace qv
