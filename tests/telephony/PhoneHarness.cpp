#include "PhoneHarness.h"

#include "telephony/service/Service.h"
#include "telephony/service/providers/sim/SimExchange.h"

#include <gtest/gtest.h>

#include <utility>

namespace qv {

// The consultation list is built by the supplementary services; until they
// can, tests place an entry there directly.
class QvPhoneTestPeer
{
public:
    static void AddConsultation(QvPhone& phone, CallHandle primary, CallHandle consult, CallHandle conference)
    {
        TConsultEntry entry;
        entry.primary = primary;
        entry.consultCell = std::make_unique<CallHandle>(consult);
        if (conference != 0)
            entry.conferenceCell = std::make_unique<CallHandle>(conference);
        entry.transfer = conference == 0;
        entry.state = ccsConnected;
        phone.m_consults.push_back(std::move(entry));
    }

    // A phone message as the service would deliver it for the open phone,
    // whether or not the phone asked for it.
    static void DeliverPhoneMessage(QvPhone& phone, std::uint32_t message, std::uintptr_t param1,
                                    std::uintptr_t param2)
    {
        phone.m_phoneRecord.device = phone.m_phone;
        phone.m_phoneRecord.message = message;
        phone.m_phoneRecord.param1 = param1;
        phone.m_phoneRecord.param2 = param2;
        phone.m_phoneRecord.param3 = 0;
        SendMessage(phone.Handle(), MSG_PHONE_EVENT, 0, 0);
    }
};

} // namespace qv

namespace qv::test {

namespace {

const char* LineStateName(TLineState s)
{
    static const char* names[] = {"lsActivated", "lsDeactivated", "lsError"};
    return names[s];
}

const char* CallStateName(TCallState s)
{
    static const char* names[] = {"csDisconnected",
                                  "csConnected",
                                  "csProceeding",
                                  "csDialing",
                                  "csRemotePartyDisconnected",
                                  "csBusy",
                                  "csOffering",
                                  "csRing",
                                  "csError",
                                  "csOfferedCallDropped",
                                  "csWaitingDisconnection",
                                  "csNoDialTone",
                                  "csDialTone",
                                  "csRingBack",
                                  "csOnHold",
                                  "csUnhold",
                                  "csInConference",
                                  "csRemovedFromConference",
                                  "csWaitingForFaxCommand"};
    return names[s];
}

} // namespace

std::string LineEv(TLineState state, int param1)
{
    return std::string("line ") + LineStateName(state) + " " + std::to_string(param1);
}

std::string CallEv(TCallState state, int param1, int param2, int call)
{
    return std::string("call ") + CallStateName(state) + " " + std::to_string(param1) + " " +
           std::to_string(param2) + " #" + std::to_string(call);
}

std::string ConsultEv(TConsultCallState state, int param1, int consult, int primary)
{
    return "consult " + std::to_string(state) + " " + std::to_string(param1) + " #" +
           std::to_string(consult) + " of #" + std::to_string(primary);
}

std::string BeforeEv(int call)
{
    return "before disconnect #" + std::to_string(call);
}

PhoneHarness::PhoneHarness()
{
    tapi::Service::Uninstall();
    Attach();
}

PhoneHarness::PhoneHarness(const std::vector<LineSetup>& lines)
{
    tapi::Service::Uninstall();
    auto owned = std::make_unique<tapi::sim::SimExchange>();
    m_sim = owned.get();
    int waveId = 0;
    for (const LineSetup& setup : lines) {
        tapi::sim::SimLineConfig config;
        config.name = setup.name;
        config.stringFormat = setup.stringFormat;
        config.mediaModes = setup.mediaModes;
        config.monitorDigitModes = setup.digitModes;
        config.callerIDFlags = setup.callerIdFlags;
        config.calledIDFlags = 0;
        config.dataModem = setup.dataModem;
        if (setup.wave) {
            config.waveIn = waveId++;
            config.waveOut = waveId++;
        }
        if (setup.phone)
            config.phone = m_sim->AddPhone(setup.phoneConfig);
        m_sim->AddLine(config);
    }
    EXPECT_TRUE(tapi::Service::Install(std::move(owned)));
    Attach();
}

PhoneHarness::~PhoneHarness()
{
    m_phone.reset();
    tapi::Service::Uninstall();
}

void PhoneHarness::Attach()
{
    m_phone = std::make_unique<QvPhone>();
    QvPhone& phone = *m_phone;
    phone.SetOnLineState(
        [this](QvPhone*, TLineState state, int p1) { m_events.push_back(LineEv(state, p1)); });
    phone.SetOnCallState([this](QvPhone*, TCallState state, int p1, int p2, int call) {
        m_events.push_back(CallEv(state, p1, p2, call));
    });
    phone.SetOnConsultCallState([this](QvPhone*, TConsultCallState state, int p1, int consult, int primary) {
        m_events.push_back(ConsultEv(state, p1, consult, primary));
    });
    phone.SetOnBeforeDisconnect([this](QvPhone*, int call) { m_events.push_back(BeforeEv(call)); });
}

void PhoneHarness::Pump()
{
    for (int i = 0; i < 1000; ++i) {
        tapi::Service::DeliverPending();
        ProcessMessages();
        if (tapi::Service::PendingMessages() == 0)
            break;
    }
}

void PhoneHarness::Advance(std::int64_t ms)
{
    // In small steps, so that what the service queues on the way is delivered
    // at about the virtual time it was due.
    constexpr std::int64_t kStep = 50;
    Pump();
    while (ms > 0) {
        const std::int64_t step = ms < kStep ? ms : kStep;
        m_clock->Advance(step);
        Pump();
        ms -= step;
    }
}

std::vector<std::string> PhoneHarness::Take()
{
    return std::exchange(m_events, {});
}

void PhoneHarness::Open(int line, TMediaMode mode)
{
    m_phone->SetMediaMode(mode);
    EXPECT_EQ(m_phone->LineActive(line, true), 0);
    EXPECT_TRUE(m_phone->IsActive());
    Pump();
    m_events.clear();
}

int PhoneHarness::Offer(int line)
{
    const tapi::CallId call = m_sim->OfferCall(line);
    EXPECT_NE(call, 0u);
    Pump();
    return m_phone->CurrentCallHandle();
}

int PhoneHarness::Dial(const QByteArray& number, int tag)
{
    const int before = m_phone->NumberOfActiveCalls();
    EXPECT_EQ(m_phone->DialNumber(number, tag), 0);
    Pump();
    EXPECT_EQ(m_phone->NumberOfActiveCalls(), before + 1);
    int handle = 0;
    m_phone->GetCallHandle(m_phone->NumberOfActiveCalls() - 1, handle);
    return handle;
}

int PhoneHarness::Connect(int call)
{
    const tapi::CallId id = SimCall(call);
    if (m_sim->State(id) == tapi::LINECALLSTATE_OFFERING) {
        // Answered the way the application does it, on the current call.
        if (m_phone->CurrentCallHandle() != call) {
            m_sim->SetCallState(id, tapi::LINECALLSTATE_OFFERING);
            Pump();
        }
        EXPECT_EQ(m_phone->Answer(0), 0);
    } else {
        m_sim->SetCallState(id, tapi::LINECALLSTATE_CONNECTED);
    }
    Pump();
    EXPECT_TRUE(m_phone->IsCallConnected(call));
    return call;
}

tapi::CallId PhoneHarness::SimCall(int call) const
{
    return tapi::Service::CallOfHandle(static_cast<tapi::HCALL>(call));
}

void PhoneHarness::DeliverPhoneMessage(tapi::DWORD message, tapi::DWORD param1, tapi::DWORD param2)
{
    QvPhoneTestPeer::DeliverPhoneMessage(*m_phone, message, param1, param2);
}

void PhoneHarness::AddConsultation(int primary, int consult, int conference)
{
    QvPhoneTestPeer::AddConsultation(*m_phone, static_cast<CallHandle>(primary),
                                     static_cast<CallHandle>(consult), static_cast<CallHandle>(conference));
}

void PhoneHarness::Refuse(const char* function, tapi::LONG error)
{
    m_sim->FailNext(QString::fromLatin1(function), error);
}

void PhoneHarness::FailReplies(const char* function, tapi::LONG error)
{
    m_sim->SetReply(QString::fromLatin1(function), tapi::sim::Reply::Error(error));
}

void PhoneHarness::HoldReplies(const char* function)
{
    m_sim->SetReply(QString::fromLatin1(function), tapi::sim::Reply::Held());
}

void PhoneHarness::ReleaseReplies(const char* function, tapi::LONG result)
{
    const std::vector<tapi::RequestId> held = m_sim->HeldRequests();
    for (const tapi::sim::SimRequest& request : m_sim->RequestsOf(QString::fromLatin1(function))) {
        if (std::find(held.begin(), held.end(), request.request) != held.end())
            m_sim->Complete(request.request, result);
    }
    Pump();
}

void PhoneHarness::State(int call, tapi::DWORD state, tapi::DWORD detail)
{
    m_sim->SetCallState(SimCall(call), state, detail);
}

void PhoneHarness::Ring(int line)
{
    m_sim->Ring(line);
    Pump();
}

void PhoneHarness::CloseLineFromService(int line)
{
    m_sim->ForceCloseLine(line);
    Pump();
}

int PhoneHarness::PeerFd(int call)
{
    return m_sim->PeerFd(SimCall(call));
}

QByteArray PhoneHarness::DevConfig(int line)
{
    return m_sim->DevConfig(line);
}

void PhoneHarness::SetDevConfig(int line, const QByteArray& config)
{
    m_sim->SetDevConfig(line, config);
}

int PhoneHarness::Count(const char* function) const
{
    return m_sim ? m_sim->CountOf(QString::fromLatin1(function)) : 0;
}

std::vector<tapi::DWORD> PhoneHarness::LastArgs(const char* function) const
{
    const auto requests = m_sim->RequestsOf(QString::fromLatin1(function));
    return requests.empty() ? std::vector<tapi::DWORD>() : requests.back().args;
}

QString PhoneHarness::LastText(const char* function) const
{
    const auto requests = m_sim->RequestsOf(QString::fromLatin1(function));
    return requests.empty() ? QString() : requests.back().text;
}

std::vector<tapi::CallId> PhoneHarness::DroppedCalls() const
{
    std::vector<tapi::CallId> calls;
    for (const tapi::sim::SimRequest& request : m_sim->RequestsOf(QStringLiteral("lineDrop")))
        calls.push_back(request.call);
    return calls;
}

} // namespace qv::test
