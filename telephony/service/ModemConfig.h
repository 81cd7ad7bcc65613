// Our modem configuration block: what lineGetDevConfig/lineSetDevConfig carry
// for the device class "comm/datamodem" of a modem line. All words are
// little-endian. The phone component edits the options word, the speaker
// volume and the speaker mode; the modem provider turns them into AT
// commands, together with its own fields.
//
//   offset size  content
//        0    4  block size in bytes (kModemConfigSize)
//        4    4  block version (1)
//        8    2  options: kOptionShowIcon (8) shows the modem's icon
//       12    4  port speed in bits per second
//       48    4  provider subtype: kProviderSubtypeModem (6) for a modem
//       76    4  call set-up time limit in seconds
//       80    4  inactivity time-out in seconds (0: none)
//       84    4  speaker volume: 0 low, 1 medium, 2 high
//       88    4  speaker mode: 0 off, 1 on while dialling, 2 always on,
//                3 during call set-up
//       92    4  dial options: kDialPulse, kDialBlind
#pragma once

#include "telephony/service/TapiTypes.h"

#include <QByteArray>

namespace tapi::modemcfg {

constexpr int kSizeOffset = 0;
constexpr int kVersionOffset = 4;
constexpr int kOptionsOffset = 8;
constexpr int kPortSpeedOffset = 12;
constexpr int kProviderSubtypeOffset = 48;
constexpr int kCallSetupTimeOffset = 76;
constexpr int kInactivityOffset = 80;
constexpr int kSpeakerVolumeOffset = 84;
constexpr int kSpeakerModeOffset = 88;
constexpr int kDialOptionsOffset = 92;
constexpr int kModemConfigSize = 96;

constexpr WORD kOptionShowIcon = 8;
constexpr DWORD kProviderSubtypeModem = 6;
constexpr DWORD kDialPulse = 0x1;
constexpr DWORD kDialBlind = 0x2;

// A word of the block, or `fallback` when the block is too short for it.
inline DWORD ReadDword(const QByteArray& block, int offset, DWORD fallback = 0)
{
    if (offset < 0 || offset + 4 > block.size())
        return fallback;
    DWORD v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(block[offset + i]);
    return v;
}

inline WORD ReadWord(const QByteArray& block, int offset, WORD fallback = 0)
{
    if (offset < 0 || offset + 2 > block.size())
        return fallback;
    return static_cast<WORD>(static_cast<unsigned char>(block[offset]) |
                             (static_cast<unsigned char>(block[offset + 1]) << 8));
}

// Writes inside the block only; false when it is too short.
inline bool WriteDword(QByteArray& block, int offset, DWORD value)
{
    if (offset < 0 || offset + 4 > block.size())
        return false;
    for (int i = 0; i < 4; ++i)
        block[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return true;
}

inline bool WriteWord(QByteArray& block, int offset, WORD value)
{
    if (offset < 0 || offset + 2 > block.size())
        return false;
    block[offset] = static_cast<char>(value & 0xFF);
    block[offset + 1] = static_cast<char>(value >> 8);
    return true;
}

// The block of a freshly installed modem: 57600 bit/s, 60 s to set a call
// up, speaker low and on during call set-up, tone dialling, no icon.
inline QByteArray DefaultBlock()
{
    QByteArray block(kModemConfigSize, '\0');
    WriteDword(block, kSizeOffset, kModemConfigSize);
    WriteDword(block, kVersionOffset, 1);
    WriteDword(block, kPortSpeedOffset, 57600);
    WriteDword(block, kProviderSubtypeOffset, kProviderSubtypeModem);
    WriteDword(block, kCallSetupTimeOffset, 60);
    WriteDword(block, kSpeakerVolumeOffset, 0);
    WriteDword(block, kSpeakerModeOffset, 3);
    return block;
}

// A block the modem provider can use: long enough, sized as it says, a modem's.
inline bool IsValidBlock(const QByteArray& block)
{
    return block.size() >= kModemConfigSize &&
           ReadDword(block, kSizeOffset) == static_cast<DWORD>(block.size()) &&
           ReadDword(block, kProviderSubtypeOffset) == kProviderSubtypeModem;
}

} // namespace tapi::modemcfg
