// The program's command-line options. Qt's own options (-platform, ...) are
// taken by the application object before these are parsed.
#pragma once

#include <QString>
#include <QStringList>

namespace vh {

struct CommandLineOptions
{
    bool help = false;
    bool version = false;
    QString settingsDir; // empty: not given
    QString error;       // not empty: the arguments are wrong
};

// Parses the arguments after the program name.
CommandLineOptions ParseCommandLine(const QStringList& arguments);

// Whether the arguments ask for --help or --version, which are answered
// before any window system is needed.
bool WantsHelpOrVersion(const QStringList& arguments);

QString HelpText(const QString& programName);
QString VersionText();

} // namespace vh
