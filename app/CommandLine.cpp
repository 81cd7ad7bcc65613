#include "app/CommandLine.h"

namespace vh {

namespace {
const QString kSettingsDir = QStringLiteral("--settings-dir");
} // namespace

CommandLineOptions ParseCommandLine(const QStringList& arguments)
{
    CommandLineOptions options;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            options.help = true;
        } else if (argument == QLatin1String("--version") || argument == QLatin1String("-v")) {
            options.version = true;
        } else if (argument == kSettingsDir) {
            if (i + 1 >= arguments.size() || arguments.at(i + 1).isEmpty()) {
                options.error = QStringLiteral("option --settings-dir needs a folder");
                return options;
            }
            options.settingsDir = arguments.at(++i);
        } else if (argument.startsWith(kSettingsDir + QLatin1Char('='))) {
            options.settingsDir = argument.mid(kSettingsDir.size() + 1);
            if (options.settingsDir.isEmpty()) {
                options.error = QStringLiteral("option --settings-dir needs a folder");
                return options;
            }
        } else {
            options.error = QStringLiteral("unknown argument '%1'").arg(argument);
            return options;
        }
    }
    return options;
}

bool WantsHelpOrVersion(const QStringList& arguments)
{
    for (const QString& argument : arguments) {
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h") ||
            argument == QLatin1String("--version") || argument == QLatin1String("-v"))
            return true;
    }
    return false;
}

QString HelpText(const QString& programName)
{
    return QStringLiteral("Usage: %1 [options]\n"
                          "VH Terminal: place and answer data calls, exchange typed text and send and\n"
                          "receive files with ZMODEM.\n"
                          "\n"
                          "Options:\n"
                          "  --settings-dir DIR  keep the settings files and telephony.conf in DIR\n"
                          "  -h, --help          show this help and exit\n"
                          "  -v, --version       show the version and exit\n"
                          "\n"
                          "Without --settings-dir the settings folder is $VH_TERMINAL_HOME when set, else\n"
                          "the program's own folder when it is writable, else $XDG_CONFIG_HOME/vh-terminal\n"
                          "(~/.config/vh-terminal).\n"
                          "Qt's own options (-platform NAME, -display DISPLAY, ...) are accepted too.\n")
        .arg(programName);
}

QString VersionText()
{
    return QStringLiteral("vh-terminal %1\n").arg(QStringLiteral(VH_TERMINAL_VERSION));
}

} // namespace vh
