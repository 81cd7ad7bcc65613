// How a direct serial line is set up: which tty, how the port runs, whether
// the far end's DCD means anything, and how long a dial waits for it. Read
// from the line's section of telephony.conf.
#pragma once

#include "telephony/service/providers/tty/TtySettings.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace qv::serialline {

enum class CarrierMode
{
    Ignore, // the line is up whenever it is open (a console cable without DCD)
    Wait    // a call is up while the far end holds DCD up
};

struct SerialLineConfig
{
    QString name = QStringLiteral("Serial line");
    // A console cable rarely has RTS and CTS wired: flow control is off unless
    // asked for, so that a missing CTS never holds the output.
    tty::TtySettings port{{}, 115200, tty::FlowControl::None, QStringLiteral("/var/lock")};
    CarrierMode carrier = CarrierMode::Ignore;
    int dialTimeoutSeconds = 60; // carrier = wait: how long a dial waits for DCD

    bool operator==(const SerialLineConfig&) const = default;
};

constexpr int MinDialTimeoutSeconds = 5;
constexpr int MaxDialTimeoutSeconds = 300;

// Reads the keys of a serial line's section:
//
//   type    = serial            (read by the caller, not here)
//   name    = Serial line       (any text)
//   device  = /dev/ttyUSB0      (required)
//   speed   = 115200            (a speed the port supports)
//   flow    = none              (none | rtscts | xonxoff)
//   carrier = ignore            (ignore | wait)
//   timeout = 60                (carrier = wait: seconds a dial waits for DCD, 5..300)
//   lockdir = /var/lock         (where UUCP lock files live; empty: none)
//
// A missing key keeps its default. A value that cannot be used is reported in
// `problems` (one English line each) and keeps its default.
SerialLineConfig ReadSerialLineConfig(const QVariantMap& values, QStringList& problems);

// The keys that ReadSerialLineConfig reads back as `config`, but for the lock
// folder, which only the file sets: name, device, speed, flow, carrier and
// timeout, for the line's section of telephony.conf.
QList<QPair<QString, QString>> SerialLineConfigKeys(const SerialLineConfig& config);

} // namespace qv::serialline
