// vh-term: VH Terminal on the command line. The same components as the
// window, driven by a session from the command line's words; the components'
// information boxes and the window's log lines are printed on standard
// error, and the exit status says how it went.
#include "cli/CliOptions.h"
#include "cli/ExitStatus.h"
#include "cli/Report.h"
#include "cli/Session.h"

#include "common/Component.h"
#include "frontend/LineProviders.h"
#include "frontend/Settings.h"
#include "frontend/SignalWatcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <csignal>
#include <cstdio>

namespace {

void Print(std::FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

// A file the command line names for sending that cannot be sent is refused
// before any call is made.
QString SendableProblem(const QString& name)
{
    const QFileInfo info(name);
    if (!info.exists())
        return QStringLiteral("cannot send '%1': no such file").arg(name);
    if (!info.isFile())
        return QStringLiteral("cannot send '%1': not a file").arg(name);
    if (!info.isReadable())
        return QStringLiteral("cannot send '%1': permission denied").arg(name);
    return QString();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vh-term"));
    // A far side that goes away shows as a failed write, never as death by
    // SIGPIPE with nothing said and the line left up.
    std::signal(SIGPIPE, SIG_IGN);

    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    vh::cli::Options options = vh::cli::ParseOptions(arguments);
    if (!options.error.isEmpty()) {
        Print(stderr, QStringLiteral("vh-term: %1\nTry 'vh-term --help'.\n").arg(options.error));
        return vh::cli::exitstatus::Usage;
    }
    if (options.help || options.version) {
        Print(stdout, options.help ? vh::cli::HelpText() : vh::cli::VersionText());
        return vh::cli::exitstatus::Success;
    }

    for (const QString& name : options.files) {
        if (const QString problem = SendableProblem(name); !problem.isEmpty()) {
            Print(stderr, QStringLiteral("vh-term: %1\n").arg(problem));
            return vh::cli::exitstatus::Usage;
        }
    }
    for (QString& name : options.files)
        name = QFileInfo(name).absoluteFilePath();
    const bool onLine =
        options.command == vh::cli::Command::Dial || options.command == vh::cli::Command::Answer;
    const QString settingsFolder =
        vh::ResolveSettingsFolder(vh::ProcessSettingsFolderInputs(onLine ? options.settingsDir : QString()));
    if (options.work == vh::cli::Work::Receive) {
        const QString folder = options.folder.isEmpty() ? QDir::currentPath() : options.folder;
        if (!QFileInfo(folder).isDir()) {
            Print(stderr, QStringLiteral("vh-term: the folder '%1' does not exist\n").arg(folder));
            return vh::cli::exitstatus::Usage;
        }
        // Never into the settings folder, whose files a sender could replace.
        if (const QString refusal = vh::ReceiveFolderRefusal(folder, settingsFolder); !refusal.isEmpty()) {
            Print(stderr, QStringLiteral("vh-term: %1\n").arg(refusal));
            return vh::cli::exitstatus::Usage;
        }
        options.folder = QFileInfo(folder).absoluteFilePath();
    }

    vh::cli::Report report;
    qv::SetShowMessageHandler([&report](const QString& text) { report.Message(text); });

    vh::LineProvidersRelease linesRelease;
    if (onLine) {
        QDir().mkpath(settingsFolder);
        QStringList problems;
        vh::InstallLineProviders(settingsFolder, problems);
        for (const QString& problem : problems)
            report.Message(problem);
    }

    vh::cli::Session session(options, report, settingsFolder);
    vh::SignalWatcher terminationSignals([&session](int signalNumber) { session.Interrupt(signalNumber); });
    QTimer::singleShot(0, &session,
                       [&session] { session.Start([](int status) { QCoreApplication::exit(status); }); });
    return app.exec();
}
