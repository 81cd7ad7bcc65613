// vh-terminal: the program's entry. Options that need no window are answered
// first; then the application, the main window and the picture window are
// created and the event loop runs until the main window closes, or until a
// signal asks the program to end, which closes the window the same way.
#include "app/CommandLine.h"
#include "app/Form1.h"
#include "app/FormTerminalEmulator.h"
#include "app/LineConfigDialogs.h"
#include "app/MessageBox.h"

#include "frontend/EventLogFile.h"
#include "frontend/LineProviders.h"
#include "frontend/Settings.h"
#include "frontend/SignalWatcher.h"

#include "imaging/ClipboardGraphic.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>

#include <cstdio>

namespace {

QStringList Arguments(int argc, char** argv, int first)
{
    QStringList arguments;
    for (int i = first; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

void Print(std::FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}

// Long enough for a modem without DTR: its guard times, the escape sequence
// and the reply to ATH.
constexpr int kHangUpLimitMs = 15000;

// A call still up when the window has closed is hung up while the event loop
// still runs, before the phone lets the line go: a modem whose DTR the
// system cannot drop needs the escape sequence and ATH, which take seconds,
// and must be on hook when the program has ended.
void HangUpRemainingCall(qv::QvPhone& phone)
{
    if (phone.NumberOfActiveCalls() == 0)
        return;
    phone.Hangup();
    const QDeadlineTimer deadline(kHangUpLimitMs);
    while (phone.NumberOfActiveCalls() > 0 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

} // namespace

int main(int argc, char** argv)
{
    // --help and --version work without a display.
    const QStringList early = Arguments(argc, argv, 1);
    if (vh::WantsHelpOrVersion(early)) {
        const vh::CommandLineOptions options = vh::ParseCommandLine(early);
        if (!options.error.isEmpty()) {
            Print(stderr, QStringLiteral("vh-terminal: %1\n").arg(options.error));
            return 2;
        }
        Print(stdout, options.help ? vh::HelpText(QStringLiteral("vh-terminal")) : vh::VersionText());
        return 0;
    }

    // Without a display the toolkit would abort; say so plainly instead.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !early.contains(QStringLiteral("-platform"))) {
        Print(stderr, QStringLiteral("vh-terminal: no display: neither DISPLAY nor WAYLAND_DISPLAY is set "
                                     "(or use -platform offscreen)\n"));
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vh-terminal"));
    // No display name: the toolkit would append it to every dialog's
    // caption, and the captions are the given texts.
    QApplication::setApplicationVersion(QStringLiteral(VH_TERMINAL_VERSION));
    // Message boxes of the start-up steps close before the main window is
    // shown; they must not end the program as "last window closed".
    QApplication::setQuitOnLastWindowClosed(false);

    // QApplication has taken its own options out of argv by now.
    const vh::CommandLineOptions options = vh::ParseCommandLine(Arguments(argc, argv, 1));
    if (!options.error.isEmpty()) {
        Print(stderr, QStringLiteral("vh-terminal: %1\nTry 'vh-terminal --help'.\n").arg(options.error));
        return 2;
    }

    const QString folder = vh::ResolveSettingsFolder(vh::ProcessSettingsFolderInputs(options.settingsDir));
    // A folder that cannot be made is reported by the window's write test.
    QDir().mkpath(folder);

    // From here on what the line providers and components report goes to the
    // log file too, from the lines' set-up on.
    vh::EventLogFile eventLog(folder + vh::EventLogFile::kFileName);
    if (!eventLog.IsOpen())
        Print(stderr, QStringLiteral("vh-terminal: %1\n").arg(eventLog.Error()));
    vh::KeepDiagnosticsIn(&eventLog);
    eventLog.Write(QStringLiteral("VH Terminal %1 started; settings in %2")
                       .arg(QStringLiteral(VH_TERMINAL_VERSION), QDir::toNativeSeparators(folder)));
    struct Ended
    {
        vh::EventLogFile& log;
        ~Ended() { log.Write(QStringLiteral("VH Terminal ended")); }
    } ended{eventLog};

    vh::LineProvidersRelease linesRelease;
    QStringList problems;
    vh::InstallLineProviders(folder, problems);
    for (const QString& problem : problems) {
        Print(stderr, QStringLiteral("vh-terminal: %1\n").arg(problem));
        eventLog.Write(problem);
    }

    vh::RegisterLineConfigDialogs();
    vh::InstallComponentMessageHandler();
    qv::RegisterClipboardGraphic();

    // SIGTERM, SIGINT and SIGHUP end the program as closing the window does:
    // the close-time choices are saved and the line is let go cleanly. The
    // signal is the operator's decision already, so the question asked before
    // closing during a call or a transfer is taken as answered yes, and a box
    // that would wait for an operator is printed instead. Taken over before
    // the window exists, so that no signal finds the program defenceless.
    vh::TFormTerminalEmulator* shownWindow = nullptr;
    bool signalled = false;
    vh::SignalWatcher terminationSignals([&](int signalNumber) {
        Print(stderr,
              QStringLiteral("vh-terminal: %1: closing\n").arg(vh::SignalWatcher::Name(signalNumber)));
        signalled = true;
        vh::SetQuestionHandler([](QWidget*, const QString&) { return true; });
        vh::SetMessageBoxHandler([](QWidget*, const QString& text) {
            Print(stderr, QStringLiteral("vh-terminal: %1\n").arg(text));
        });
        if (shownWindow)
            shownWindow->close();
        // Every event loop ends, that of a box the start-up steps show too,
        // and one opened after it returns at once; quit() would do nothing
        // before the main loop runs.
        QCoreApplication::exit(0);
    });

    vh::TerminalWindowServices services;
    services.settingsFolder = folder;
    services.eventLog = &eventLog;
    vh::TFormTerminalEmulator window(services);
    vh::TForm1 pictureWindow(&window);
    window.SetPictureWindow(&pictureWindow);
    if (!pictureWindow.LoadError().isEmpty())
        Print(stderr, QStringLiteral("vh-terminal: %1\n").arg(pictureWindow.LoadError()));
    if (window.TerminateRequested())
        return 1;

    shownWindow = &window;
    window.show();
    // A signal seen during the start-up steps closes the window as soon as
    // it has shown the stored choices, so that the close stores them again
    // rather than the controls' defaults.
    if (signalled) {
        window.close();
        HangUpRemainingCall(window.QvPhone1());
        return 0;
    }
    QApplication::setQuitOnLastWindowClosed(true);
    const int status = app.exec();
    HangUpRemainingCall(window.QvPhone1());
    return status;
}
