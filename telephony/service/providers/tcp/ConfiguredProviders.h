// The providers telephony.conf names, built and installed in the service,
// and the default line when it names none: with no file, or a file without
// any usable line, there is one tcp line (line device 0) listening on
// 127.0.0.1 port 2323 in telnet mode.
//
// Starting the service (the GUI, once, before the phone component opens a
// line):
//
//     QStringList problems;
//     const int lines = tapi::InstallConfiguredProviders(settingsFolder, {}, &problems);
//     for (const QString& p : problems) log(p);
//
// Types other than tcp come from factories passed in by the caller, so the
// service never links a provider it is not given; the modem provider adds
// itself as {{"modem", &CreateModemProvider}}.
#pragma once

#include "telephony/service/config/TelephonyConfig.h"

#include <QStringList>

#include <memory>
#include <vector>

namespace tapi {

// The providers for `config`, one per type, in the order in which each type
// first appears among the lines; the service numbers lines in that order. A
// type without a factory is reported and its lines left out. When no line
// results, the default tcp line is made.
std::vector<std::unique_ptr<Provider>> BuildConfiguredProviders(TelephonyConfig& config,
                                                                const LineTypeFactories& others = {});

// Loads the settings folder's telephony.conf, builds its providers and
// installs them in the service. Returns the number of line devices installed
// (-1 when the service refused, because an application is initialised);
// `problems` receives the configuration problems.
int InstallConfiguredProviders(const QString& settingsFolder, const LineTypeFactories& others = {},
                               QStringList* problems = nullptr);

} // namespace tapi
