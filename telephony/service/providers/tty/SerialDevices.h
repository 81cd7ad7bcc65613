// The serial devices present on this computer, for an operator who picks a
// line's tty from a list rather than typing its name.
#pragma once

#include <QString>
#include <QStringList>

namespace qv::tty {

// The serial ports in `devFolder` by their kernel names (ttyS0, ttyUSB0,
// ttyACM0, ttyAMA0 and the like), in the order of their numbers, followed by
// the stable names udev gives USB adapters in serial/by-id/. Each entry is a
// path in `devFolder` ("/dev/ttyUSB0"). A ttyS port whose entry in
// `sysTtyFolder` says no UART is behind it (type 0) is left out: a PC has a
// few dozen of those and at most one or two real ones. Names are looked at,
// not opened, so listing disturbs no device.
QStringList ListSerialDevices(const QString& devFolder = QStringLiteral("/dev"),
                              const QString& sysTtyFolder = QStringLiteral("/sys/class/tty"));

} // namespace qv::tty
