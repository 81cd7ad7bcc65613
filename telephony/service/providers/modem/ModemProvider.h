// The modem line: line devices that are Hayes AT modems on ttys.
//
// Opening. The first lineOpen of a line opens its tty exclusively (see
// ModemDevice) and has a short conversation with the modem before it returns:
// "AT" (twice, each waited for at most ModemTimings::probeMs), the init
// string, "ATE0V1Q0S0=0" and the speaker commands L and M from the line's
// configuration block. A modem that does not answer, or refuses the init
// string, fails the open (LINEERR_NODEVICE / LINEERR_OPERATIONFAILED) and the
// reason is kept in LastError(). A device held by another program fails it with
// LINEERR_ALLOCATED, a missing one with LINEERR_NODEVICE, one without
// permission with LINEERR_OPERATIONFAILED. This bounded wait is the only one;
// everything after the open runs on the event loop.
//
// Outgoing calls. The number is checked against the dial alphabet before
// anything is sent (LINEERR_INVALADDRESS otherwise); the request is replied to
// at once, the call reports DIALING and PROCEEDING while "ATDT"/"ATDP" runs,
// and CONNECTED on CONNECT. BUSY, NO DIALTONE, NO ANSWER, NO CARRIER, VOICE,
// ERROR and the line's own time limit end it DISCONNECTED with the matching
// disconnect mode.
//
// Incoming calls. The first RING offers a call (OFFERING) and every RING
// reports LINEDEVSTATE_RINGING with the count in dwParam3; caller-ID lines
// become the call's caller party and LINE_CALLINFO (CALLERID). When no RING has
// come for ModemTimings::ringGapMs the caller gave up: the call goes IDLE.
// lineAnswer is replied to at once and "ATA" brings CONNECTED.
//
// The data phase. From CONNECT on the line reads nothing from the tty: the
// call's data channel ("comm/datamodem", the tty's descriptor; the service
// hands out dup()s) belongs to the application. The line watches the carrier
// on DCD where the device has modem-control lines, otherwise the descriptor's
// hang-up; a lost carrier reports DISCONNECTED (NORMAL). A modem that only
// says "NO CARRIER" in the data stream (no DCD) is hung up by the application.
// A voice call (a call made with a media mode other than data) is dialled with
// a trailing ";": the modem answers OK, stays in its command phase and the
// call is CONNECTED at once; lineGenerateDigits sends tones on it.
//
// Hang-up (lineDrop, lineClose, lineShutdown). With modem-control lines DTR is
// dropped; if the carrier survives it, or the device has no such lines, the
// escape sequence "+++" with its guard times and then "ATH". The drop is
// replied to when the modem is on hook, then the call goes IDLE. A line closed
// during such a hang-up finishes it before the tty is closed.
//
// All time limits run on qv::Clock, so tests drive them in virtual time.
#pragma once

#include "telephony/service/Provider.h"
#include "telephony/service/providers/modem/AtSequencer.h"
#include "telephony/service/providers/modem/ModemDevice.h"
#include "telephony/service/providers/modem/ModemLineConfig.h"

#include <functional>
#include <memory>
#include <vector>

namespace qv::modem {

struct ModemTimings
{
    int probeMs = 1500;      // each "AT" at open
    int initMs = 5000;       // the init string (a reset takes a while)
    int commandMs = 3000;    // any other command
    int answerMs = 60000;    // "ATA" until CONNECT
    int guardMs = 1000;      // silence before and after "+++"
    int dtrDropMs = 600;     // how long DTR stays down
    int dtrSettleMs = 300;   // after DTR is back, before the carrier is looked at
    int carrierPollMs = 200; // how often the carrier is looked at
    int ringGapMs = 10000;   // no RING for this long: the caller gave up
    int dialMarginMs = 5000; // beyond the line's dial time limit, for the modem's own verdict
};

class ModemProvider final : public tapi::Provider
{
public:
    using DeviceFactory = std::function<std::unique_ptr<ModemDevice>(int line)>;

    // `factory` makes each line's device; empty: the real tty.
    explicit ModemProvider(std::vector<ModemLineConfig> lines, DeviceFactory factory = {});
    ~ModemProvider() override;
    ModemProvider(const ModemProvider&) = delete;
    ModemProvider& operator=(const ModemProvider&) = delete;

    void SetTimings(const ModemTimings& timings) { m_timings = timings; }
    const ModemLineConfig& LineConfig(int line) const;
    // Replaces a line's settings (the configuration dialog); the device path
    // stays. Used from the next opening of the line.
    void SetLineConfig(int line, const ModemLineConfig& config);
    // Why the line's last open failed, in English; empty after a good open.
    QString LastError(int line) const;

    QString Name() const override { return QStringLiteral("modem"); }
    void Attach(tapi::ProviderEvents* events) override;
    void Detach() override;

    int LineCount() const override;
    tapi::LineDeviceInfo LineInfo(int line) const override;
    tapi::LONG GetAddressInfo(int line, tapi::DWORD addressId, tapi::AddressInfo& info) const override;
    tapi::LONG OpenLine(int line) override;
    void CloseLine(int line) override;
    void SetStatusMessages(int line, tapi::DWORD lineStates, tapi::DWORD addressStates) override;
    tapi::LONG GetID(int line, tapi::DWORD addressId, tapi::CallId call, tapi::DWORD select,
                     const QString& deviceClass, tapi::DeviceIdData& out) override;
    tapi::LONG GetDevConfig(int line, const QString& deviceClass, QByteArray& config) override;
    tapi::LONG SetDevConfig(int line, const QString& deviceClass, const QByteArray& config) override;

    tapi::LONG MakeCall(tapi::RequestId request, int line, tapi::CallId newCall, const QString& number,
                        tapi::DWORD countryCode, const tapi::CallParamsData& params) override;
    tapi::LONG Dial(tapi::RequestId request, tapi::CallId call, const QString& number,
                    tapi::DWORD countryCode) override;
    tapi::LONG Answer(tapi::RequestId request, tapi::CallId call, const QByteArray& userUserInfo) override;
    tapi::LONG Drop(tapi::RequestId request, tapi::CallId call, const QByteArray& userUserInfo) override;
    tapi::LONG SetCallParams(tapi::RequestId request, tapi::CallId call, tapi::DWORD bearerMode,
                             tapi::DWORD minRate, tapi::DWORD maxRate,
                             const tapi::LINEDIALPARAMS* dialParams) override;
    tapi::LONG GetCallInfo(tapi::CallId call, tapi::CallInfoData& info) override;
    // DTMF on a connected voice call ("ATDT<digits>;" while the modem stays
    // in its command phase). The digits are checked before anything is sent:
    // LINEERR_INVALDIGITS for anything but 0-9 * # A-D.
    tapi::LONG GenerateDigits(tapi::CallId call, tapi::DWORD digitMode, const QString& digits,
                              tapi::DWORD duration) override;
    tapi::LONG MonitorDigits(tapi::CallId call, tapi::DWORD digitModes) override;
    tapi::LONG MonitorMedia(tapi::CallId call, tapi::DWORD mediaModes) override;
    void ReleaseCall(tapi::CallId call) override;

private:
    struct Line;
    enum class CallStep;

    Line* LineOf(tapi::CallId call) const;
    bool Exchange(Line& line, const QByteArray& command, int timeoutMs, QString& failure);
    void OnReadable(Line& line);
    void OnUnsolicited(Line& line, const AtLine& at);
    void OnRing(Line& line);
    void OnCallerId(Line& line, const AtLine& at);
    void RingGapPassed(Line& line);
    void DeviceLost(Line& line);

    // Dialling, answering and hanging up move through steps; each starts one
    // asynchronous action and returns, and its completion calls Step() again.
    void Step(Line& line);
    void GoTo(Line& line, CallStep step, int afterMs = -1);
    void CommandDone(Line& line, const AtReply& reply);
    void EnterData(Line& line);
    void EndCall(Line& line, tapi::DWORD disconnectMode);
    void StartHangup(Line& line, tapi::RequestId request);
    void FinishHangup(Line& line);
    void WatchCarrier(Line& line);
    void StopTimer(Line& line);
    void ReportState(Line& line, tapi::DWORD state, tapi::DWORD detail = 0);
    void ForgetCall(Line& line);
    void CloseDevice(Line& line);
    void CloseDeviceLater(Line& line);

    tapi::ProviderEvents* m_events = nullptr;
    DeviceFactory m_factory;
    ModemTimings m_timings;
    std::vector<std::unique_ptr<Line>> m_lines;
};

// The provider for the `type = modem` sections of telephony.conf: one line per
// section, in the order given (see ReadModemLineConfig for the keys).
std::unique_ptr<tapi::Provider> MakeModemProvider(std::vector<ModemLineConfig> lines);

} // namespace qv::modem
