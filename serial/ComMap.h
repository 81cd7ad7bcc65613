// Where COMn lives on this system. The port opens COM devices by name; this
// map turns a name into a device path:
//
//   1. a path set through SetDevicePath (tests, or a front end's option);
//   2. an entry of the [ports] section of "ports.conf" in the settings
//      folder, for example "COM3=/dev/ttyUSB0" (read at every lookup, so an
//      edit takes effect at the next Open);
//   3. otherwise /dev/ttyS<n-1>.
//
// The map lives on the main thread, like the ports that use it.
#pragma once

#include <QString>

namespace qv {

class ComMap
{
public:
    // The device path of COM`number` (1 to 16); empty for other numbers.
    static QString DevicePath(int number);

    // Points COM`number` at `path`; an empty path removes the override.
    static void SetDevicePath(int number, const QString& path);
    // Removes every override set with SetDevicePath.
    static void ClearDevicePaths();

    // The folder whose "ports.conf" is read. Until it is set, the folder
    // named by VH_TERMINAL_HOME is used, when that variable is set.
    static void SetSettingsFolder(const QString& folder);
    static QString ConfigFile();
};

} // namespace qv
