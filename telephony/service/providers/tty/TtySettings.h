// How a line's tty is opened: which device, how fast, with what flow
// control, and where the UUCP lock files live. Shared by the lines that run
// on a tty (a modem, a direct serial line); what each of them does on the
// tty is its own.
#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace qv::tty {

enum class FlowControl
{
    None,
    RtsCts,
    XonXoff
};

struct TtySettings
{
    QString device;     // e.g. /dev/ttyUSB0
    int speed = 115200; // bit/s
    FlowControl flow = FlowControl::RtsCts;
    QString lockDir = QStringLiteral("/var/lock"); // UUCP lock files; empty: none

    bool operator==(const TtySettings&) const = default;
};

// Reads the tty keys of a line's section of telephony.conf into `settings`:
//
//   device  = /dev/ttyUSB0      (the line decides what a missing one means)
//   speed   = 115200            (a speed the port supports)
//   flow    = rtscts            (rtscts | xonxoff | none)
//   lockdir = /var/lock         (where UUCP lock files live; empty: none)
//
// A missing key keeps what `settings` holds. A value that cannot be used is
// reported in `problems` (one English line each) and keeps it too.
void ReadTtySettings(const QVariantMap& values, TtySettings& settings, QStringList& problems);

// The keys that ReadTtySettings reads back as `settings`' device, speed and
// flow control, for a line's section of telephony.conf. The lock folder is
// not among them: it is the file's to say, never a dialog's.
QList<QPair<QString, QString>> TtySettingsKeys(const TtySettings& settings);

} // namespace qv::tty
