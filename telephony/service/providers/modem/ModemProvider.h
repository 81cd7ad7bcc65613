// The modem line: line devices that are Hayes AT modems on ttys.
//
// Nothing here waits: every exchange with the modem is a step of the line's
// one step machine (Step()), started on the event loop and finished by the
// modem's answer or a time limit on qv::Clock.
//
// Opening. lineOpen takes the tty exclusively (see TtyDevice) and returns at
// once; a device that cannot be had fails it then, with its own reason in
// LineFailure(): LINEERR_ALLOCATED when another program holds it,
// LINEERR_NODEVICE when it does not exist, LINEERR_OPERATIONFAILED without
// permission. The modem is then brought up in steps: "AT" until it answers
// (ModemTimings::probeTries times), the init sequence (InitSequence: the init
// string, results in words without echo, extended results, DCD and DTR
// behaviour, caller ID in the first dialect the modem knows), and the speaker
// commands L and M of the configuration block. An optional command that the
// modem refuses is tolerated and logged; a caller-ID step that no dialect
// passes leaves the line without caller ID in its address capabilities. A
// modem that does not answer, or refuses a required command, closes the line
// again (LINE_CLOSE) with the reason in LineFailure(). A call placed while
// the modem is brought up is dialled once it is ready.
//
// A line closed with no call keeps its tty for ModemTimings::lingerMs: the
// phone component's capability probe opens and closes the line just before
// its real open, and the tty must not be closed (DTR dropped) and the modem
// brought up twice for it. An open within that time finds the modem as it
// was, brought up again only when the settings it was given have changed;
// a new speed or flow control opens the tty afresh, and the modem is brought
// up from "AT" as at a first open.
//
// Outgoing calls. The number is checked against the dial alphabet before
// anything is sent (LINEERR_INVALADDRESS otherwise); the request is replied to
// at once, the call reports DIALING and PROCEEDING while "ATDT"/"ATDP" runs,
// and CONNECTED on CONNECT. BUSY, NO DIALTONE, NO ANSWER, NO CARRIER, VOICE,
// ERROR and the line's own time limit end it DISCONNECTED with the matching
// disconnect mode. A call without a number (a pick-up) takes the line off
// hook with "ATH1" and reports DIALTONE; lineDial then dials on it. A call
// with bearer mode PASSTHROUGH (a fax session) is CONNECTED at once and
// hands the modem, still in its command phase, to the application; so does
// lineSetCallParams with PASSTHROUGH on an offered call, in place of an
// answer.
//
// Incoming calls. The first RING (in any of its forms, see AtParser.h)
// offers a call (OFFERING) and every RING reports LINEDEVSTATE_RINGING with
// the count in dwParam3; caller-ID lines become the call's caller party and
// LINE_CALLINFO (CALLERID). When no RING has come for ModemTimings::ringGapMs
// the caller gave up: the call goes IDLE. lineAnswer is replied to at once and
// "ATA" brings CONNECTED.
//
// The data phase. From CONNECT on the line reads nothing from the tty: the
// call's data channel ("comm/datamodem", the tty's descriptor; the service
// hands out dup()s) belongs to the application. The line watches the carrier
// (CarrierWatch); a lost carrier reports DISCONNECTED (NORMAL). A modem that
// only says "NO CARRIER" in the data stream (no DCD) is hung up by the
// application. A voice call (a call made with a media mode other than data)
// is dialled with a trailing ";": the modem answers OK, stays in its command
// phase and the call is CONNECTED at once; lineGenerateDigits sends tones on
// it.
//
// Hang-up (lineDrop, lineClose) is done only when it is verified: the carrier
// (DCD, where the modem showed one) has fallen, or the modem in its command
// phase has answered "ATH0" with OK. A modem online in a data call first has
// DTR dropped for ModemTimings::dtrDropMs, then is asked "ATH0"; if that is not
// answered, the escape sequence "+++" with its guard times, then "ATH0". A
// modem known to be in its command phase (a voice call, a call that ended, a
// dial broken off) is asked "ATH0" first and gets the rest only when it does
// not answer. When nothing confirms, the drop fails (LINEERR_OPERATIONFAILED)
// with the reason in LineFailure(), and the call stays: a later drop tries
// again, and a carrier that falls after all, or a NO CARRIER from the modem,
// ends it IDLE. A line closed during a hang-up finishes it before the tty is
// closed.
//
// All time limits run on qv::Clock, so tests drive them in virtual time.
#pragma once

#include "telephony/service/Provider.h"
#include "telephony/service/providers/modem/AtSequencer.h"
#include "telephony/service/providers/modem/ModemLineConfig.h"
#include "telephony/service/config/LineSettingsFile.h"
#include "telephony/service/providers/tty/TtyDevice.h"

#include <functional>
#include <memory>
#include <vector>

namespace qv::modem {

struct ModemTimings
{
    int probeMs = 1000;       // each "AT" at open
    int probeTries = 3;       // "AT"s before the modem counts as silent
    int initMs = 5000;        // each command of the init sequence (a reset takes a while)
    int commandMs = 3000;     // any other command
    int answerMs = 60000;     // "ATA" until CONNECT
    int guardMs = 1000;       // silence before and after "+++"
    int dtrDropMs = 1000;     // how long DTR stays down
    int dtrSettleMs = 300;    // after DTR is back, before the carrier is looked at
    int hangupCheckMs = 1500; // "ATH0" to a modem that may still be online
    int carrierPollMs = 200;  // how often the carrier is looked at
    int ringGapMs = 10000;    // no RING for this long: the caller gave up
    int dialMarginMs = 5000;  // beyond the line's dial time limit, for the modem's own verdict
    int lingerMs = 1500;      // a closed line keeps its tty this long for a reopen
};

class ModemProvider final : public tapi::Provider
{
public:
    using DeviceFactory = std::function<std::unique_ptr<tty::TtyDevice>(int line)>;

    // `factory` makes each line's device; empty: the real tty. `file` is
    // where SetLineConfig keeps what it is given; empty: nowhere.
    explicit ModemProvider(std::vector<ModemLineConfig> lines, DeviceFactory factory = {},
                           tapi::LineSettingsFile file = {});
    ~ModemProvider() override;
    ModemProvider(const ModemProvider&) = delete;
    ModemProvider& operator=(const ModemProvider&) = delete;

    void SetTimings(const ModemTimings& timings) { m_timings = timings; }
    const ModemLineConfig& LineConfig(int line) const;
    // Replaces a line's settings (the configuration dialog); the device path,
    // the lock folder and the init sequence stay as telephony.conf has them.
    // The settings are written to the line's section of the file first: when
    // the file cannot take them, the line stays as it was, LineFailure() says
    // why, and the result is LINEERR_OPERATIONFAILED. Used from the next
    // opening of the line, a reopen within the linger time too.
    tapi::LONG SetLineConfig(int line, const ModemLineConfig& config);
    // Why the line's last open, bringing up or hang-up failed, in English;
    // empty when the last one went well.
    QString LineFailure(int line) const override;

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
    enum class LineStep;

    Line* LineOf(tapi::CallId call) const;
    void OnReadable(Line& line);
    void OnUnsolicited(Line& line, const AtLine& at);
    void OnRing(Line& line);
    void OnCallerId(Line& line, const AtLine& at);
    void RingGapPassed(Line& line);
    // The line cannot be used any more (the tty went away, or the modem would
    // not come up): its call ends, then the line closes.
    void LineUnusable(Line& line, const QString& reason);

    // Opening, dialling, answering and hanging up move through steps; each
    // starts one asynchronous action and returns, and its completion calls
    // Step() again.
    void Step(Line& line);
    void GoTo(Line& line, LineStep step, int afterMs = -1);
    void CommandDone(Line& line, const AtReply& reply);
    // Brings the modem to what the line advertises: from "AT" when `probe`,
    // else from the init sequence.
    void BringUp(Line& line, bool probe);
    void InitCommandDone(Line& line, const AtReply& reply);
    void InitDone(Line& line);
    void StartCall(Line& line);
    void EnterData(Line& line);
    void EnterPassthrough(Line& line);
    void EndCall(Line& line, tapi::DWORD disconnectMode);
    void StartHangup(Line& line, tapi::RequestId request);
    void NextHangupMethod(Line& line);
    void HangupCommandDone(Line& line, const AtReply& reply);
    void FinishHangup(Line& line);
    void FailHangup(Line& line);
    void WatchCarrier(Line& line);
    void StopTimer(Line& line);
    void ReportState(Line& line, tapi::DWORD state, tapi::DWORD detail = 0);
    void ForgetCall(Line& line);
    tapi::LONG OpenDevice(Line& line);
    void CloseDevice(Line& line);
    void TakeWaitingSettings(Line& line);
    void CloseDeviceLater(Line& line, int afterMs = 0);

    tapi::ProviderEvents* m_events = nullptr;
    DeviceFactory m_factory;
    tapi::LineSettingsFile m_file;
    ModemTimings m_timings;
    std::vector<std::unique_ptr<Line>> m_lines;
};

// The provider for the `type = modem` sections of telephony.conf: one line per
// section, in the order given (see ReadModemLineConfig for the keys), kept in
// `file`.
std::unique_ptr<tapi::Provider> MakeModemProvider(std::vector<ModemLineConfig> lines,
                                                  tapi::LineSettingsFile file = {});

} // namespace qv::modem
