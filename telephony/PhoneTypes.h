// Enumerations and event types of the phone component. The ordinals are part
// of the published interface: the window and stored settings rely on them.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>

namespace qv {

class QvPhone;

enum TMediaMode : int
{
    mmVoice,
    mmData,
    mmFax
};
enum TLinePrivilege : int
{
    lpOwner,
    lpMonitor
};
enum TLineState : int
{
    lsActivated,
    lsDeactivated,
    lsError
};

enum TCallState : int
{
    csDisconnected = 0,
    csConnected = 1,
    csProceeding = 2,
    csDialing = 3,
    csRemotePartyDisconnected = 4,
    csBusy = 5,
    csOffering = 6,
    csRing = 7,
    csError = 8,
    csOfferedCallDropped = 9,
    csWaitingDisconnection = 10,
    csNoDialTone = 11,
    csDialTone = 12,
    csRingBack = 13,
    csOnHold = 14,
    csUnhold = 15,
    csInConference = 16,
    csRemovedFromConference = 17,
    csWaitingForFaxCommand = 18
};

enum TConsultCallState : int
{
    ccsStarted = 0,
    ccsProceeding = 1,
    ccsDialing = 2,
    ccsConnected = 3,
    ccsRemotePartyDisconnected = 4,
    ccsBusy = 5,
    ccsError = 6,
    ccsWaitingDisconnection = 7,
    ccsDisconnected = 8,
    ccsNoDialTone = 9,
    ccsDialTone = 10,
    ccsRingBack = 11
};

enum TTypeOfInfo : int
{
    tiDisplayInfo,
    tiUserInfo,
    tiOrigin,
    tiReason
};
enum TExtPhoneState : int
{
    tpsDisplay,
    tpsLamp,
    tpsRingMode,
    tpsRingVolume
};
enum TModemSpeakerVolume : int
{
    svLow,
    svMedium,
    svHigh,
    svDefault
};
enum TModemSpeakerMode : int
{
    smOff,
    smDial,
    smOn,
    smCallSetup,
    smDefault
};

// What a line knows of its far side during a call. The line tells, the
// window decides: nothing here changes the data stream, which ZMODEM shares.
struct TLineTraits
{
    // The far side echoes what it receives (a telnet server that took ECHO),
    // so typed text must not also be shown locally.
    bool RemoteEcho = false;
    // What one Enter must be for the far side: CR LF (the NVT newline, and
    // what another copy of this program expects) or CR alone (a telnet server
    // whose input direction is binary).
    QByteArray Newline = QByteArrayLiteral("\r\n");
    // The far side is another copy of this program.
    bool PeerIsVhTerminal = false;

    friend bool operator==(const TLineTraits&, const TLineTraits&) = default;
};

// Events: Sender first, every parameter by value. An event is raised only when
// assigned (non-empty).
using TLineStateEvent = std::function<void(QvPhone* Sender, TLineState LineState, int Param1)>;
using TCallStateEvent =
    std::function<void(QvPhone* Sender, TCallState CallState, int Param1, int Param2, int CallHandle)>;
using TConsultCallStateEvent = std::function<void(QvPhone* Sender, TConsultCallState CallState, int Param1,
                                                  int ConsultCallHandle, int PrimaryCallHandle)>;
using TCallEvent = std::function<void(QvPhone* Sender, int CallHandle)>;
using TDigitDetectedEvent = std::function<void(QvPhone* Sender, char Digit, int CallHandle)>;
using TOnToneDetectedEvent = std::function<void(QvPhone* Sender, int RefNum, int CallHandle)>;
using TCallerIDEvent =
    std::function<void(QvPhone* Sender, int Error, QString Number, QString Name, int CallHandle)>;
using TCallInfoEvent = std::function<void(QvPhone* Sender, TTypeOfInfo TypeOfInfo, QString StrInfo,
                                          int NumInfo, int CallHandle)>;
using THookStateEvent = std::function<void(QvPhone* Sender, bool OnHook)>;
using TPhoneNotifyEvent = std::function<void(QvPhone* Sender)>;
using TExtPhoneEvent = std::function<void(QvPhone* Sender, TExtPhoneState ExtPhoneState)>;
// Raised when what the line knows of a call's far side changes.
using TLineTraitsEvent = std::function<void(QvPhone* Sender, TLineTraits Traits, int CallHandle)>;

// Messages of the phone's hidden window (WM_USER + 0x190 ..).
constexpr std::uint32_t MSG_LINE_EVENT = 0x590;
constexpr std::uint32_t MSG_PHONE_EVENT = 0x591;
constexpr std::uint32_t MSG_HANGUP_CALL = 0x592;
// MSG_CALL_DATA_READY (0x594) is declared with TCallDataSource.

// Capability bits of GetLineCaps.
namespace caps {
constexpr int Wave = 0x1;
constexpr int DataModem = 0x2;
constexpr int CallerID = 0x4;
constexpr int CalledID = 0x8;
constexpr int PulseDigits = 0x10;
constexpr int DtmfDigits = 0x20;
constexpr int AuxDevice = 0x40;
constexpr int AuxOnHook = 0x80;
constexpr int AuxMic = 0x100;
constexpr int AuxSpeaker = 0x200;
constexpr int AuxMicSpeaker = 0x400;
constexpr int AuxGain = 0x800;
constexpr int AuxVolume = 0x1000;
constexpr int HandsetDevice = 0x2000;
constexpr int HandsetOnHook = 0x4000;
constexpr int HandsetMic = 0x8000;
constexpr int HandsetSpeaker = 0x10000;
constexpr int HandsetMicSpeaker = 0x20000;
constexpr int HandsetGain = 0x40000;
constexpr int HandsetVolume = 0x80000;
} // namespace caps

} // namespace qv
