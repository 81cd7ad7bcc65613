// Our own device-specific codes: what a line tells its applications about the
// far side of a call, and what an application tells a line about its
// terminal. Both travel the service's device-specific channels, so the
// standard messages keep their meaning.
//
// Line -> application: LINE_DEVSPECIFIC on a call handle with
//   dwParam1 = LineTraitsCode, dwParam2 = the Trait* bits, dwParam3 = 0.
// Sent whenever the traits of the call change; a call starts with none set
// (no remote echo, CR LF newline, an unknown far side).
//
// Application -> line: lineDevSpecific on the line (no call) with a block
// from EncodeTerminalInfo. The line keeps it for every later call and applies
// it to the call in progress. Lines without a use for it refuse it with
// LINEERR_OPERATIONUNAVAIL.
#pragma once

#include "telephony/service/TapiTypes.h"

#include <QByteArray>
#include <QList>

#include <optional>

namespace tapi::devspecific {

constexpr DWORD LineTraitsCode = 0x56480001;
constexpr DWORD TerminalInfoCode = 0x56480002;

// The far side echoes what it receives.
constexpr DWORD TraitRemoteEcho = 0x1;
// One Enter is CR alone for the far side (otherwise CR LF).
constexpr DWORD TraitNewlineCr = 0x2;
// The far side is another copy of this program.
constexpr DWORD TraitPeerIsVhTerminal = 0x4;
constexpr DWORD AllTraits = TraitRemoteEcho | TraitNewlineCr | TraitPeerIsVhTerminal;

struct TerminalInfo
{
    // In order of preference; each 1..MaxTypeLength printable ASCII bytes.
    QList<QByteArray> types;
    int columns = 80; // 1..MaxSize
    int rows = 24;    // 1..MaxSize

    bool operator==(const TerminalInfo&) const = default;
};

constexpr int MaxTypes = 16;
constexpr int MaxTypeLength = 40;
constexpr int MaxSize = 999;

// Whether every field is within the limits above.
bool IsValid(const TerminalInfo& info);
// Layout (little-endian DWORDs): code, columns, rows, number of types, then
// each type as its bytes and a NUL.
QByteArray EncodeTerminalInfo(const TerminalInfo& info);
// Nothing for a block of another code, one that does not hold what its
// header says, or one outside the limits.
std::optional<TerminalInfo> DecodeTerminalInfo(const QByteArray& block);

} // namespace tapi::devspecific
