// What a line provider told the service, one line of text per event, for
// tests that drive a provider directly.
#pragma once

#include "telephony/service/Provider.h"

#include <algorithm>
#include <string>
#include <vector>

namespace qv::test {

class RecordingEvents final : public tapi::ProviderEvents
{
public:
    std::vector<std::string> log;
    tapi::CallId nextCall = 100;
    bool acceptCalls = true;

    void CompleteRequest(tapi::RequestId request, tapi::LONG result) override
    {
        log.push_back("reply " + std::to_string(request) + " " + std::to_string(result));
    }
    tapi::CallId NewIncomingCall(tapi::Provider*, int line, tapi::DWORD) override
    {
        log.push_back("incoming " + std::to_string(line));
        return acceptCalls ? nextCall++ : 0;
    }
    void CallStateChanged(tapi::CallId call, tapi::DWORD state, tapi::DWORD detail, tapi::DWORD) override
    {
        log.push_back("state " + std::to_string(call) + " " + Name(state) +
                      (detail ? " " + std::to_string(detail) : std::string()));
    }
    void CallInfoChanged(tapi::CallId call, tapi::DWORD states) override
    {
        log.push_back("info " + std::to_string(call) + " " + std::to_string(states));
    }
    void LineDevStateChanged(tapi::Provider*, int line, tapi::DWORD state, tapi::DWORD,
                             tapi::DWORD p3) override
    {
        log.push_back("linedev " + std::to_string(line) + " " + std::to_string(state) + " " +
                      std::to_string(p3));
    }
    void LineClosed(tapi::Provider*, int line) override { log.push_back("closed " + std::to_string(line)); }
    void DigitDetected(tapi::CallId, tapi::DWORD, tapi::DWORD) override {}
    void MediaDetected(tapi::CallId, tapi::DWORD) override {}
    void ToneDetected(tapi::CallId, tapi::DWORD) override {}
    void PhoneStateChanged(tapi::Provider*, int, tapi::DWORD, tapi::DWORD) override {}
    void PhoneClosed(tapi::Provider*, int) override {}

    static std::string Name(tapi::DWORD state)
    {
        switch (state) {
        case tapi::LINECALLSTATE_IDLE:
            return "IDLE";
        case tapi::LINECALLSTATE_OFFERING:
            return "OFFERING";
        case tapi::LINECALLSTATE_DIALING:
            return "DIALING";
        case tapi::LINECALLSTATE_PROCEEDING:
            return "PROCEEDING";
        case tapi::LINECALLSTATE_CONNECTED:
            return "CONNECTED";
        case tapi::LINECALLSTATE_DISCONNECTED:
            return "DISCONNECTED";
        case tapi::LINECALLSTATE_DIALTONE:
            return "DIALTONE";
        default:
            return std::to_string(state);
        }
    }
    bool Has(const std::string& entry) const { return std::find(log.begin(), log.end(), entry) != log.end(); }
    int IndexOf(const std::string& entry) const
    {
        auto it = std::find(log.begin(), log.end(), entry);
        return it == log.end() ? -1 : int(it - log.begin());
    }
};

} // namespace qv::test
