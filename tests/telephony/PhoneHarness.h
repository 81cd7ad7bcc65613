// A phone component on the simulated exchange, in virtual time, with every
// event it raises written down in order.
#pragma once

#include "common/Clock.h"
#include "common/MessageWindow.h"
#include "telephony/QvPhone.h"
#include "telephony/service/Provider.h"
#include "telephony/service/Tapi.h"
#include "telephony/service/providers/sim/SimExchange.h"

#include <QString>

#include <memory>
#include <string>
#include <vector>

namespace tapi::sim {
class SimExchange;
}

namespace qv::test {

// How a simulated line is equipped.
struct LineSetup
{
    QString name = QStringLiteral("Sim line");
    tapi::DWORD stringFormat = tapi::STRINGFORMAT_UNICODE;
    tapi::DWORD mediaModes = tapi::LINEMEDIAMODE_DATAMODEM | tapi::LINEMEDIAMODE_INTERACTIVEVOICE;
    tapi::DWORD digitModes = 0;
    tapi::DWORD callerIdFlags = 0;
    bool dataModem = true;
    bool wave = false;
    bool phone = false; // a phone device with handset and speaker, 2 lamps, a 2 x 16 display
    tapi::sim::SimPhoneConfig phoneConfig = {}; // how that phone is equipped
};

// Events as text, so that a sequence compares and prints at once.
std::string LineEv(TLineState state, int param1);
std::string CallEv(TCallState state, int param1, int param2, int call);
std::string ConsultEv(TConsultCallState state, int param1, int consult, int primary);
std::string BeforeEv(int call);

class PhoneHarness
{
public:
    // No service at all: the machine has no telephony.
    PhoneHarness();
    explicit PhoneHarness(const std::vector<LineSetup>& lines);
    ~PhoneHarness();
    PhoneHarness(const PhoneHarness&) = delete;
    PhoneHarness& operator=(const PhoneHarness&) = delete;

    QvPhone& phone() { return *m_phone; }
    // Destroys the component (events stay recorded).
    void DestroyPhone() { m_phone.reset(); }
    tapi::sim::SimExchange& sim() { return *m_sim; }
    VirtualClock& clock() { return *m_clock; }

    // Delivers whatever the service has queued, until it is quiet.
    void Pump();
    // Moves virtual time on (firing the phone's timer) and pumps.
    void Advance(std::int64_t ms);

    // Events since the last Take, oldest first; Take empties the list.
    std::vector<std::string> Take();
    const std::vector<std::string>& Events() const { return m_events; }

    // Opens line `line` in `mode` and forgets the events that raised.
    void Open(int line = 0, TMediaMode mode = mmData);
    // An incoming call offered on `line` and reported; returns its handle as
    // the phone knows it.
    int Offer(int line = 0);
    // An outgoing call dialled through the phone and accepted by the
    // exchange; returns its handle.
    int Dial(const QByteArray& number = "5551234", int tag = 0);
    // Drives the call through LINECALLSTATE_CONNECTED (answering it first
    // when it is offered).
    int Connect(int call);

    // Exchange behaviour, one function at a time ("lineOpen", "lineAnswer"):
    // refuse its next request at once; accept its requests but answer them
    // with `error`; or accept them and keep them unanswered until released.
    void Refuse(const char* function, tapi::LONG error);
    void FailReplies(const char* function, tapi::LONG error);
    void HoldReplies(const char* function);
    void ReleaseReplies(const char* function, tapi::LONG result = 0);

    // The exchange reports a state of `call`, rings `line`, or closes it.
    void State(int call, tapi::DWORD state, tapi::DWORD detail = 0);
    void Ring(int line = 0);
    void CloseLineFromService(int line = 0);
    // The exchange's end of the call's data channel.
    int PeerFd(int call);
    // The line's stored "comm/datamodem" configuration.
    QByteArray DevConfig(int line);
    void SetDevConfig(int line, const QByteArray& config);

    // The exchange's call behind a handle of the phone.
    tapi::CallId SimCall(int call) const;
    // A consultation of `primary` with its consultation call and, unless 0,
    // its conference call, as the supplementary services would leave it.
    void AddConsultation(int primary, int consult, int conference);
    // Hands the phone a phone-device message directly, as the service would
    // for the open phone device (one the phone did not ask for included).
    void DeliverPhoneMessage(tapi::DWORD message, tapi::DWORD param1, tapi::DWORD param2 = 0);
    // The exchange's calls that lineDrop was asked for, in order.
    std::vector<tapi::CallId> DroppedCalls() const;

    // Requests of `function` the phone made, in order (sim's record).
    int Count(const char* function) const;
    std::vector<tapi::DWORD> LastArgs(const char* function) const;
    QString LastText(const char* function) const;

private:
    void Attach();

    ScopedVirtualClock m_clock;
    tapi::sim::SimExchange* m_sim = nullptr;
    std::unique_ptr<QvPhone> m_phone;
    std::vector<std::string> m_events;
};

} // namespace qv::test
