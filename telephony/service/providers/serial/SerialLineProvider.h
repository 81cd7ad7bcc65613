// The direct serial line: line devices on a tty with nothing in between (a
// board's serial console, a null-modem cable to another computer, a modem
// that needs no commands). No AT command is ever sent; the line only opens
// the tty, works DTR and looks at DCD.
//
// Opening. lineOpen takes the tty exclusively, with the UUCP lock file, as the
// modem line does (see TtyDevice), and raises DTR. A device that cannot be
// had fails it at once with its own reason in LineFailure(): LINEERR_ALLOCATED
// when another program holds it, LINEERR_NODEVICE when it does not exist,
// LINEERR_OPERATIONFAILED without permission. A line that is to wait for the
// carrier on a device without modem-control lines (a pty, some USB adapters)
// is refused too, with the reason: it could never see the far end. A line
// closed with no call keeps its tty for SerialTimings::lingerMs, so that the
// phone component's capability probe, which opens and closes the line just
// before its real open, does not drop DTR in between.
//
// carrier = ignore. A call (any number, or none) is CONNECTED as soon as its
// request is replied to; DCD means nothing, and nothing comes in: the far end
// is simply there. The call ends only by a hang-up or the loss of the device.
//
// carrier = wait. A dialled call reports DIALING and PROCEEDING until the far
// end holds DCD up, then CONNECTED (at once when DCD is up already); when
// that takes longer than the line's time limit it ends DISCONNECTED
// (NOANSWER). While the line is idle, DCD coming up offers a call (OFFERING)
// that rings (LINEDEVSTATE_RINGING) at once and every SerialTimings::ringMs
// until it is answered (CONNECTED at once) or DCD falls (IDLE). A connected
// call whose DCD falls ends DISCONNECTED (NORMAL). Only a DCD that rises
// offers a call: after a call, or a caller turned away, the line waits for DCD
// to fall before it offers the next.
//
// The data phase. The call's data channel ("comm/datamodem") is the tty's
// descriptor, owned by the line; the service hands out dup()s. The line reads
// nothing from the tty at any time: what the far end sends before a call
// waits in the tty for the call.
//
// Hang-up (lineDrop, lineClose). DTR is dropped for SerialTimings::dtrDropMs,
// which a far end that watches it takes as the end of the session, then
// raised again for the next call; the drop is replied to, and the call goes
// IDLE, once DTR has been held down. Where DTR cannot be dropped (the system
// refuses it) the drop fails with LINEERR_OPERATIONFAILED and the reason in
// LineFailure(), and the call stays for a later drop. On a device without
// modem-control lines there is nothing to tell the far end: the call ends on
// this side at once.
//
// A device that goes away (an unplugged adapter, the far end of a pty
// closed) ends the call DISCONNECTED (NORMAL) and closes the line (LINE_CLOSE)
// with the reason in LineFailure().
//
// All time limits run on qv::Clock, so tests drive them in virtual time.
#pragma once

#include "telephony/service/Provider.h"
#include "telephony/service/providers/serial/SerialLineConfig.h"
#include "telephony/service/config/LineSettingsFile.h"
#include "telephony/service/providers/tty/TtyDevice.h"

#include <functional>
#include <memory>
#include <vector>

namespace qv::serialline {

struct SerialTimings
{
    int carrierPollMs = 200; // how often DCD and the device are looked at
    int dtrDropMs = 1000;    // how long DTR stays down for a hang-up
    int ringMs = 3000;       // between the rings of an offered call
    int lingerMs = 1500;     // a closed line keeps its tty this long for a reopen
};

class SerialLineProvider final : public tapi::Provider
{
public:
    using DeviceFactory = std::function<std::unique_ptr<tty::TtyDevice>(int line)>;

    // `factory` makes each line's device, and one to try a device on that
    // the line does not hold (CheckLineConfig); empty: the real tty. `file`
    // is where SetLineConfig keeps what it is given; empty: nowhere.
    explicit SerialLineProvider(std::vector<SerialLineConfig> lines, DeviceFactory factory = {},
                                tapi::LineSettingsFile file = {});
    ~SerialLineProvider() override;
    SerialLineProvider(const SerialLineProvider&) = delete;
    SerialLineProvider& operator=(const SerialLineProvider&) = delete;

    void SetTimings(const SerialTimings& timings) { m_timings = timings; }
    // The line's settings: the last ones given to SetLineConfig, else those
    // of telephony.conf.
    const SerialLineConfig& LineConfig(int line) const;
    // Gives the line other settings (the configuration dialog); the lock
    // folder stays as telephony.conf has it. The settings are written to the
    // line's section of the file first: when the file cannot take them, the
    // line stays as it was, LineFailure() says why, and the result is
    // LINEERR_OPERATIONFAILED. While the line holds its tty, the line goes on
    // as it was opened, and the next opening of the line opens the tty
    // afresh with them (a reopen within the linger time too; one while a
    // hang-up is still under way keeps the tty until it closes).
    tapi::LONG SetLineConfig(int line, const SerialLineConfig& config);
    // Whether the line could open with `config`: empty when it could, else
    // why not, in the words of LineFailure. A device the line holds open is
    // taken as it is; any other is opened and closed again, which raises and
    // drops its DTR as the line's own open and close would.
    QString CheckLineConfig(int line, const SerialLineConfig& config);
    QString LineFailure(int line) const override;

    QString Name() const override { return QStringLiteral("serial"); }
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
    // No configuration block: the settings come from telephony.conf and the
    // configuration dialog (SetLineConfig).
    tapi::LONG GetDevConfig(int line, const QString& deviceClass, QByteArray& config) override;
    tapi::LONG SetDevConfig(int line, const QString& deviceClass, const QByteArray& config) override;

    tapi::LONG MakeCall(tapi::RequestId request, int line, tapi::CallId newCall, const QString& number,
                        tapi::DWORD countryCode, const tapi::CallParamsData& params) override;
    // Nothing is dialled on a direct line: a number given later (a pick-up's)
    // is taken and changes nothing.
    tapi::LONG Dial(tapi::RequestId request, tapi::CallId call, const QString& number,
                    tapi::DWORD countryCode) override;
    tapi::LONG Answer(tapi::RequestId request, tapi::CallId call, const QByteArray& userUserInfo) override;
    tapi::LONG Drop(tapi::RequestId request, tapi::CallId call, const QByteArray& userUserInfo) override;
    tapi::LONG SetCallParams(tapi::RequestId request, tapi::CallId call, tapi::DWORD bearerMode,
                             tapi::DWORD minRate, tapi::DWORD maxRate,
                             const tapi::LINEDIALPARAMS* dialParams) override;
    tapi::LONG GetCallInfo(tapi::CallId call, tapi::CallInfoData& info) override;
    tapi::LONG MonitorDigits(tapi::CallId call, tapi::DWORD digitModes) override;
    tapi::LONG MonitorMedia(tapi::CallId call, tapi::DWORD mediaModes) override;
    void ReleaseCall(tapi::CallId call) override;

private:
    struct Line;
    enum class LineStep;

    Line* LineOf(tapi::CallId call) const;

    // A call moves through steps; Step() starts what the line's step does or
    // waits for (a DCD, a time limit, DTR held down) and returns, and what
    // ends the wait moves the line on.
    void Step(Line& line);
    void GoTo(Line& line, LineStep step, int afterMs = -1);
    void StartStepTimer(Line& line, int ms, std::function<void(Line&)> then);
    void StopStepTimer(Line& line);
    // What the line looks for while it has no call: the device going away,
    // and with carrier = wait a DCD that rises (or first falls, see Line).
    void WatchIdle(Line& line);
    // A call's own watch: the device, and with carrier = wait its DCD.
    void WatchCall(Line& line);
    void OfferCall(Line& line);
    void Ring(Line& line);
    void EndCall(Line& line, tapi::DWORD disconnectMode);
    void DeviceGone(Line& line);
    void StartHangup(Line& line, tapi::RequestId request);
    void FinishHangup(Line& line);
    void FailHangup(Line& line, const QString& reason);
    void ReportState(Line& line, tapi::DWORD state, tapi::DWORD detail = 0);
    void ForgetCall(Line& line);
    tapi::LONG OpenDevice(Line& line);
    void CloseDevice(Line& line);
    void TakeWaitingSettings(Line& line);
    void CloseDeviceLater(Line& line, int afterMs);

    tapi::ProviderEvents* m_events = nullptr;
    DeviceFactory m_factory;
    tapi::LineSettingsFile m_file;
    SerialTimings m_timings;
    std::vector<std::unique_ptr<Line>> m_lines;
};

} // namespace qv::serialline
