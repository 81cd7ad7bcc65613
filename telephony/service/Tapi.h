// The telephony service API: line and phone functions with their documented
// names, parameter lists and results.
//
// The service is one process-wide instance that lives on the thread that calls
// it first (the GUI thread). Which providers it offers is set up through
// telephony/service/Service.h before the first lineInitializeExW.
//
// Contract with callers:
// - Synchronous functions return 0 or a negative ...ERR_ value.
// - Asynchronous functions (lineMakeCall, lineDial, lineAnswer, lineDrop,
//   lineSetCallParams, lineHold, lineUnhold, lineBlindTransfer,
//   lineSetupTransfer, lineCompleteTransfer, lineSetupConference,
//   lineAddToConference, phoneSetHookSwitch, phoneSetRing, phoneSetLamp,
//   phoneSetDisplay, phoneSetVolume, phoneSetGain) return a positive request ID
//   at once, or a negative error. They complete later with LINE_REPLY or
//   PHONE_REPLY (dwParam1 = request ID, dwParam2 = 0 or the error). Request
//   IDs are unique across line and phone requests.
// - A call handle cell (LPHCALL) passed to an asynchronous function is written
//   when the request completes successfully, just before its reply is
//   delivered; it must stay valid until then.
// - Every message reaches the callback later, from the event loop of the
//   initialising thread, never from inside the call that caused it. A request's
//   reply is delivered before any call-state message its completion causes: a
//   new call's states wait for the reply that creates it, and a CONNECTED
//   waits for the reply of an unreplied lineAnswer, lineDial,
//   lineSetCallParams or lineUnhold on the call (or for the call's next state).
// - Variable-size structures: the caller sets dwTotalSize. Smaller than the
//   fixed part of the negotiated version: ...ERR_STRUCTURETOOSMALL. Otherwise
//   the call succeeds, fills the fixed part, and adds the variable part only
//   when it fits; dwNeededSize then tells how much would have been needed and
//   dwUsedSize how much was written.
// - Strings inside returned structures are in the device's own format
//   (dwStringFormat of its capabilities), for the plain and the W functions
//   alike, so that all structures of a device decode the same way. Strings
//   the caller passes are 8-bit for the plain functions and UTF-16 for W.
// - lineGetIDW(..., "comm/datamodem") on a call returns a VARSTRING in
//   STRINGFORMAT_BINARY holding a DWORD file descriptor (a fresh dup() that the
//   caller must close) followed by the NUL-terminated device name; on a line or
//   address it returns the DWORD device ID of the modem. "wave/in", "wave/out"
//   and "tapi/phone" return a DWORD device ID. A class the device lacks is
//   refused with LINEERR_INVALDEVICECLASS.
// - lineClose and lineShutdown really drop the calls of the lines they close.
#pragma once

#include "telephony/service/TapiConstants.h"
#include "telephony/service/TapiTypes.h"

namespace tapi {

using LINECALLBACK = void (*)(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                              DWORD_PTR dwParam2, DWORD_PTR dwParam3);
using PHONECALLBACK = LINECALLBACK;

// --- Line: start and end -------------------------------------------------
LONG lineInitializeExW(LPHLINEAPP lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback,
                       LPCWSTR lpszFriendlyAppName, LPDWORD lpdwNumDevs, LPDWORD lpdwAPIVersion,
                       LPLINEINITIALIZEEXPARAMS lpLineInitializeExParams);
LONG lineInitialize(LPHLINEAPP lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback, LPCSTR lpszAppName,
                    LPDWORD lpdwNumDevs);
LONG lineShutdown(HLINEAPP hLineApp);
LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion,
                             DWORD dwAPIHighVersion, LPDWORD lpdwAPIVersion, LPLINEEXTENSIONID lpExtensionID);

// --- Line: capabilities, identifiers, configuration ----------------------
LONG lineGetDevCapsW(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                     LPLINEDEVCAPS lpLineDevCaps);
LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                    LPLINEDEVCAPS lpLineDevCaps);
LONG lineGetAddressCapsW(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAddressID, DWORD dwAPIVersion,
                         DWORD dwExtVersion, LPLINEADDRESSCAPS lpAddressCaps);
LONG lineGetAddressCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAddressID, DWORD dwAPIVersion,
                        DWORD dwExtVersion, LPLINEADDRESSCAPS lpAddressCaps);
LONG lineGetIDW(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, LPVARSTRING lpDeviceID,
                LPCWSTR lpszDeviceClass);
LONG lineGetID(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, LPVARSTRING lpDeviceID,
               LPCSTR lpszDeviceClass);
LONG lineGetDevConfigW(DWORD dwDeviceID, LPVARSTRING lpDeviceConfig, LPCWSTR lpszDeviceClass);
LONG lineGetDevConfig(DWORD dwDeviceID, LPVARSTRING lpDeviceConfig, LPCSTR lpszDeviceClass);
LONG lineSetDevConfigW(DWORD dwDeviceID, const void* lpDeviceConfig, DWORD dwSize, LPCWSTR lpszDeviceClass);
LONG lineSetDevConfig(DWORD dwDeviceID, const void* lpDeviceConfig, DWORD dwSize, LPCSTR lpszDeviceClass);
// Runs the provider's own dialog for the device's configuration (modal).
LONG lineConfigDialogW(DWORD dwDeviceID, HWND hwndOwner, LPCWSTR lpszDeviceClass);
LONG lineConfigDialog(DWORD dwDeviceID, HWND hwndOwner, LPCSTR lpszDeviceClass);

// --- Line: open and close ----------------------------------------------------
LONG lineOpenW(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
               DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes,
               const LINECALLPARAMS* lpCallParams);
LONG lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
              DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes,
              const LINECALLPARAMS* lpCallParams);
LONG lineClose(HLINE hLine);
LONG lineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates);

// --- Calls -------------------------------------------------------------------
LONG lineMakeCallW(HLINE hLine, LPHCALL lphCall, LPCWSTR lpszDestAddress, DWORD dwCountryCode,
                   const LINECALLPARAMS* lpCallParams);
LONG lineMakeCall(HLINE hLine, LPHCALL lphCall, LPCSTR lpszDestAddress, DWORD dwCountryCode,
                  const LINECALLPARAMS* lpCallParams);
LONG lineDialW(HCALL hCall, LPCWSTR lpszDestAddress, DWORD dwCountryCode);
LONG lineDial(HCALL hCall, LPCSTR lpszDestAddress, DWORD dwCountryCode);
LONG lineAnswer(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize);
LONG lineDrop(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize);
LONG lineDeallocateCall(HCALL hCall);
LONG lineSetCallParams(HCALL hCall, DWORD dwBearerMode, DWORD dwMinRate, DWORD dwMaxRate,
                       const LINEDIALPARAMS* lpDialParams);
LONG lineGetCallInfoW(HCALL hCall, LPLINECALLINFO lpCallInfo);
LONG lineGetCallInfo(HCALL hCall, LPLINECALLINFO lpCallInfo);
LONG lineGetCallStatus(HCALL hCall, LPLINECALLSTATUS lpCallStatus);

// --- Monitoring and digits ---------------------------------------------------
LONG lineMonitorDigits(HCALL hCall, DWORD dwDigitModes);
LONG lineMonitorMedia(HCALL hCall, DWORD dwMediaModes);
// dwNumEntries 0 (with any list) stops tone monitoring on the call.
LONG lineMonitorTones(HCALL hCall, const LINEMONITORTONE* lpToneList, DWORD dwNumEntries);
LONG lineGenerateDigitsW(HCALL hCall, DWORD dwDigitMode, LPCWSTR lpszDigits, DWORD dwDuration);
LONG lineGenerateDigits(HCALL hCall, DWORD dwDigitMode, LPCSTR lpszDigits, DWORD dwDuration);

// --- Supplementary services ----------------------------------------------------
LONG lineHold(HCALL hCall);
LONG lineUnhold(HCALL hCall);
LONG lineBlindTransferW(HCALL hCall, LPCWSTR lpszDestAddress, DWORD dwCountryCode);
LONG lineBlindTransfer(HCALL hCall, LPCSTR lpszDestAddress, DWORD dwCountryCode);
LONG lineSetupTransferW(HCALL hCall, LPHCALL lphConsultCall, const LINECALLPARAMS* lpCallParams);
LONG lineSetupTransfer(HCALL hCall, LPHCALL lphConsultCall, const LINECALLPARAMS* lpCallParams);
LONG lineCompleteTransfer(HCALL hCall, HCALL hConsultCall, LPHCALL lphConfCall, DWORD dwTransferMode);
LONG lineSetupConferenceW(HCALL hCall, HLINE hLine, LPHCALL lphConfCall, LPHCALL lphConsultCall,
                          DWORD dwNumParties, const LINECALLPARAMS* lpCallParams);
LONG lineSetupConference(HCALL hCall, HLINE hLine, LPHCALL lphConfCall, LPHCALL lphConsultCall,
                         DWORD dwNumParties, const LINECALLPARAMS* lpCallParams);
LONG lineAddToConference(HCALL hConfCall, HCALL hConsultCall);

// A block of the line's own (hCall 0) or for one of its calls; the blocks and
// codes this program uses are in LineExtensions.h. Asynchronous: LINE_REPLY.
LONG lineDevSpecific(HLINE hLine, DWORD dwAddressID, HCALL hCall, const void* lpParams, DWORD dwSize);

// --- Phone devices -------------------------------------------------------------
LONG phoneInitializeExW(LPHPHONEAPP lphPhoneApp, HINSTANCE hInstance, PHONECALLBACK lpfnCallback,
                        LPCWSTR lpszFriendlyAppName, LPDWORD lpdwNumDevs, LPDWORD lpdwAPIVersion,
                        LPPHONEINITIALIZEEXPARAMS lpPhoneInitializeExParams);
LONG phoneInitialize(LPHPHONEAPP lphPhoneApp, HINSTANCE hInstance, PHONECALLBACK lpfnCallback,
                     LPCSTR lpszAppName, LPDWORD lpdwNumDevs);
LONG phoneShutdown(HPHONEAPP hPhoneApp);
LONG phoneNegotiateAPIVersion(HPHONEAPP hPhoneApp, DWORD dwDeviceID, DWORD dwAPILowVersion,
                              DWORD dwAPIHighVersion, LPDWORD lpdwAPIVersion,
                              LPPHONEEXTENSIONID lpExtensionID);
LONG phoneGetDevCapsW(HPHONEAPP hPhoneApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                      LPPHONECAPS lpPhoneCaps);
LONG phoneGetDevCaps(HPHONEAPP hPhoneApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                     LPPHONECAPS lpPhoneCaps);
LONG phoneOpen(HPHONEAPP hPhoneApp, DWORD dwDeviceID, LPHPHONE lphPhone, DWORD dwAPIVersion,
               DWORD dwExtVersion, DWORD_PTR dwCallbackInstance, DWORD dwPrivilege);
LONG phoneClose(HPHONE hPhone);
LONG phoneSetStatusMessages(HPHONE hPhone, DWORD dwPhoneStates, DWORD dwButtonModes, DWORD dwButtonStates);
LONG phoneGetStatusW(HPHONE hPhone, LPPHONESTATUS lpPhoneStatus);
LONG phoneGetStatus(HPHONE hPhone, LPPHONESTATUS lpPhoneStatus);
LONG phoneGetDisplay(HPHONE hPhone, LPVARSTRING lpDisplay);
LONG phoneSetDisplay(HPHONE hPhone, DWORD dwRow, DWORD dwColumn, LPCSTR lpsDisplay, DWORD dwSize);
LONG phoneGetHookSwitch(HPHONE hPhone, LPDWORD lpdwHookSwitchDevs);
LONG phoneSetHookSwitch(HPHONE hPhone, DWORD dwHookSwitchDevs, DWORD dwHookSwitchMode);
LONG phoneGetRing(HPHONE hPhone, LPDWORD lpdwRingMode, LPDWORD lpdwVolume);
LONG phoneSetRing(HPHONE hPhone, DWORD dwRingMode, DWORD dwVolume);
LONG phoneGetLamp(HPHONE hPhone, DWORD dwButtonLampID, LPDWORD lpdwLampMode);
LONG phoneSetLamp(HPHONE hPhone, DWORD dwButtonLampID, DWORD dwLampMode);
LONG phoneGetVolume(HPHONE hPhone, DWORD dwHookSwitchDev, LPDWORD lpdwVolume);
LONG phoneSetVolume(HPHONE hPhone, DWORD dwHookSwitchDev, DWORD dwVolume);
LONG phoneGetGain(HPHONE hPhone, DWORD dwHookSwitchDev, LPDWORD lpdwGain);
LONG phoneSetGain(HPHONE hPhone, DWORD dwHookSwitchDev, DWORD dwGain);

} // namespace tapi
