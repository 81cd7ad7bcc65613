// vh-terminal: the program's entry. Options that need no window are answered
// first; then the application, the main window and the picture window are
// created and the event loop runs until the main window closes.
#include "app/CommandLine.h"
#include "app/Form1.h"
#include "app/FormTerminalEmulator.h"
#include "app/LineProviders.h"
#include "app/MessageBox.h"
#include "app/Settings.h"

#include "imaging/ClipboardGraphic.h"

#include <QApplication>
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

    QStringList problems;
    vh::InstallLineProviders(folder, problems);
    for (const QString& problem : problems)
        Print(stderr, QStringLiteral("vh-terminal: %1\n").arg(problem));

    vh::RegisterLineConfigDialogs();
    vh::InstallComponentMessageHandler();
    qv::RegisterClipboardGraphic();

    vh::TerminalWindowServices services;
    services.settingsFolder = folder;
    vh::TFormTerminalEmulator window(services);
    vh::TForm1 pictureWindow(&window);
    window.SetPictureWindow(&pictureWindow);
    if (!pictureWindow.LoadError().isEmpty())
        Print(stderr, QStringLiteral("vh-terminal: %1\n").arg(pictureWindow.LoadError()));
    if (window.TerminateRequested())
        return 1;

    window.show();
    QApplication::setQuitOnLastWindowClosed(true);
    return app.exec();
}
