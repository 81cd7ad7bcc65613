// How a modem line is set up: which tty, how the port runs, what the modem is
// told when the line opens, and how it dials. Read from the line's section of
// telephony.conf, and carried in the line's configuration block
// (lineGetDevConfig / lineSetDevConfig with class "comm/datamodem"), where the
// phone component edits the speaker words.
#pragma once

#include "telephony/service/providers/tty/TtySettings.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <cstdint>
#include <vector>

namespace qv::modem {

using tty::FlowControl;

enum class DialMode
{
    Tone,
    Pulse
};

// The speaker words of the configuration block hold these numbers.
enum class SpeakerVolume : std::uint32_t
{
    Low = 0,
    Medium = 1,
    High = 2
};
enum class SpeakerMode : std::uint32_t
{
    Off = 0,      // never
    Dial = 1,     // until the carrier is heard
    On = 2,       // always
    CallSetup = 3 // after dialling, until the carrier is heard
};

struct ModemLineConfig
{
    QString name = QStringLiteral("Modem");
    QString device;     // the modem's tty, e.g. /dev/ttyUSB0
    int speed = 115200; // bit/s between the computer and the modem
    FlowControl flow = FlowControl::RtsCts;
    QByteArray init = "ATZ"; // sent after the modem has answered "AT"; empty: none
    // The whole init sequence in place of the default one (see
    // InitSequence); empty: the default. Not in the configuration block.
    QByteArray initSequence;
    DialMode dialMode = DialMode::Tone;
    SpeakerVolume volume = SpeakerVolume::Medium;
    SpeakerMode speaker = SpeakerMode::Dial;
    int dialTimeoutSeconds = 60;                   // how long a dialled number may take to connect
    QString lockDir = QStringLiteral("/var/lock"); // UUCP lock files; empty: none

    bool operator==(const ModemLineConfig&) const = default;
};

// Reads the keys of a modem line's section:
//
//   type    = modem             (read by the caller, not here)
//   name    = Modem             (any text)
//   device  = /dev/ttyUSB0      (required)
//   speed   = 115200            (a speed the port supports)
//   flow    = rtscts            (rtscts | xonxoff | none)
//   init    = ATZ               (one AT command line; empty for none)
//   init_sequence = ATZ | ATE0V1Q0S0=0 | ?AT+VCID=1
//                               (replaces the whole init, see InitSequence)
//   dial    = tone              (tone | pulse)
//   volume  = medium            (low | medium | high)
//   speaker = dial              (off | dial | on | setup)
//   timeout = 60                (seconds a dialled call may take, 5..300)
//   lockdir = /var/lock         (where UUCP lock files live; empty: none)
//
// A missing key keeps its default. A value that cannot be used is reported in
// `problems` (one English line each) and keeps its default. An init string
// must be one command line starting with "AT", without CR or LF.
ModemLineConfig ReadModemLineConfig(const QVariantMap& values, QStringList& problems);

// The keys that ReadModemLineConfig reads back as `config`, but for the lock
// folder and the init sequence, which only the file sets: name, device,
// speed, flow, init, dial, volume, speaker and timeout, for the line's section
// of telephony.conf.
QList<QPair<QString, QString>> ModemLineConfigKeys(const ModemLineConfig& config);

// The tty part of the settings, as the line's device opens it.
tty::TtySettings PortSettings(const ModemLineConfig& config);

// Whether `init` may be sent as the init string.
bool IsValidInitString(const QByteArray& init);

// One step of bringing a modem to what the line advertises: the first of its
// alternatives that the modem answers OK is used. A step that is not
// optional fails the open when none is; an optional one is tolerated and
// recorded.
struct InitStep
{
    std::vector<QByteArray> alternatives;
    bool optional = false;
    bool callerId = false; // turns caller ID on
    bool operator==(const InitStep&) const = default;
};

// What the line sends after the modem has answered "AT". By default: the
// init string, then "ATE0V1Q0S0=0" (no echo, results in words, no answering
// on its own: the line counts the rings), then "ATX4" (extended results:
// BUSY, NO DIALTONE), "AT&C1" (DCD follows the carrier) and "AT&D2" (dropping
// DTR hangs up) each on its own and optional, then caller ID on in the first
// dialect the modem takes: "AT+VCID=1", "AT#CID=1", "AT%CCID=1",
// "AT+CLIP=1". The speaker commands are not part of it (see SpeakerCommands).
//
// `init_sequence` replaces all of it: commands separated by "|", each one AT
// command line; a command written "?AT..." is optional. A command that
// switches caller ID on in one of the four dialects counts as the caller-ID
// step; without one the line says it has no caller ID.
std::vector<InitStep> InitSequence(const ModemLineConfig& config);
// Reads an `init_sequence` value; false with `problem` set when a command is
// not one AT command line or there are more than MaxInitSteps.
bool ParseInitSequence(const QByteArray& text, std::vector<InitStep>& steps, QString& problem);
constexpr int MaxInitSteps = 16;

// The line's configuration block. Layout (little-endian):
//   0   total size of the block (ConfigBlockSize), DWORD
//   4   version (ConfigBlockVersion), DWORD
//   8   options word (WORD), kept for the phone component
//   48  provider subtype: 6, a modem, DWORD
//   84  speaker volume (SpeakerVolume), DWORD
//   88  speaker mode (SpeakerMode), DWORD
//   96  speed in bit/s, DWORD
//   100 flow control (FlowControl), DWORD
//   104 dial mode (DialMode), DWORD
//   108 dial time limit in seconds, DWORD
//   128 init string, ASCII, NUL-terminated (64 bytes)
//   192 line name, UTF-8, NUL-terminated (64 bytes)
constexpr int ConfigBlockSize = 256;
constexpr std::uint32_t ConfigBlockVersion = 0x00010000;
constexpr std::uint32_t ConfigBlockSubtype = 6;
constexpr int OffOptions = 8;
constexpr int OffSubtype = 48;
constexpr int OffSpeakerVolume = 84;
constexpr int OffSpeakerMode = 88;
constexpr int MaxInitLength = 63;
constexpr int MaxNameBytes = 63;

// `keptFrom`, when given, supplies the words the line does not interpret
// (the options word) so that a round trip keeps them.
QByteArray EncodeConfigBlock(const ModemLineConfig& config, const QByteArray& keptFrom = {});
// False, and `config` untouched, for a block that is too short, of another
// version or subtype, or holds a value the line cannot use. The device path,
// lock folder and init sequence are not in the block and stay as they were.
bool DecodeConfigBlock(const QByteArray& block, ModemLineConfig& config);

// The commands that set the speaker: "L1".."L3" and "M0".."M3".
QByteArray SpeakerCommands(const ModemLineConfig& config);

} // namespace qv::modem
