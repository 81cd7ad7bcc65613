// vh-term: VH Terminal on the command line. The same components as the
// window, driven by a session from the command line's words; the components'
// information boxes and the window's log lines are printed on standard
// error, and the exit status says how it went.
#include "cli/CliOptions.h"
#include "cli/ExitStatus.h"
#include "cli/Report.h"
#include "cli/Session.h"
#include "cli/TransferJob.h"

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

    // A file the command line names for sending that cannot be sent is
    // refused before any call is made.
    for (const QString& name : options.files) {
        if (const QString problem = vh::cli::SendableProblem(name); !problem.isEmpty()) {
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
    // A chat receives what the far side sends as well; only a folder the
    // command line names is the command line's mistake.
    const bool chatting = onLine && options.work == vh::cli::Work::Chat;
    if (options.work == vh::cli::Work::Receive || chatting) {
        const bool named = !options.folder.isEmpty();
        const QString folder = named ? options.folder : QDir::currentPath();
        QString refusal;
        if (!QFileInfo(folder).isDir())
            refusal = QStringLiteral("the folder '%1' does not exist").arg(folder);
        else // never into the settings folder, whose files a sender could replace
            refusal = vh::ReceiveFolderRefusal(folder, settingsFolder);
        if (!refusal.isEmpty() && (named || !chatting)) {
            Print(stderr, QStringLiteral("vh-term: %1\n").arg(refusal));
            return vh::cli::exitstatus::Usage;
        }
        if (!refusal.isEmpty())
            Print(stderr, QStringLiteral("vh-term: files the far side sends are not received: %1; --folder "
                                         "names another folder\n")
                              .arg(refusal));
        options.folder = refusal.isEmpty() ? QFileInfo(folder).absoluteFilePath() : QString();
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
