// The line devices the program offers: the providers that telephony.conf in
// the settings folder names (a tcp internet line when it names none),
// installed in the telephony service before the phone opens a line.
#pragma once

#include <QString>
#include <QStringList>

namespace vh {

// Installs the providers; returns the number of line devices (-1 when the
// service refused). `problems` receives one English line per setting that
// could not be used.
int InstallLineProviders(const QString& settingsFolder, QStringList& problems);

// Declared before the components that use the lines, so that it goes after
// them: the telephony service is ended and its providers close their
// devices and give up their locks (a modem's exclusive tty, its lock file)
// instead of leaving that to the end of the process.
class LineProvidersRelease
{
public:
    LineProvidersRelease() = default;
    ~LineProvidersRelease();
    LineProvidersRelease(const LineProvidersRelease&) = delete;
    LineProvidersRelease& operator=(const LineProvidersRelease&) = delete;
};

} // namespace vh
