// Renders the program's windows into PNG files for a look by eye: the main
// window idle, both dialogs and the picture window.
//
//   vh-screenshots OUTPUT_DIR
#include "app/Form1.h"
#include "app/FormDlgLineSelection.h"
#include "app/FormReceiveOptions.h"
#include "app/FormTerminalEmulator.h"
#include "app/MessageBox.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTemporaryDir>

#include <cstdio>

namespace {

bool Save(QWidget& widget, const QString& folder, const QString& name)
{
    widget.show();
    QApplication::processEvents();
    const QString path = QDir(folder).filePath(name + QStringLiteral(".png"));
    if (!widget.grab().save(path)) {
        std::fprintf(stderr, "vh-screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

class DemoLines : public vh::LineDevices
{
public:
    int NumberOfLines() override { return 2; }
    int GetLineName(int lineId, QString& name) override
    {
        name = lineId == 0 ? QStringLiteral("Internet line (TCP)") : QStringLiteral("Modem on /dev/ttyS0");
        return 0;
    }
    int GetLineCaps(int lineId, int& caps) override
    {
        caps = lineId == 0 ? 0x2 | 0x4 : 0x2 | 0x4 | 0x10 | 0x20 | 0x40 | 0x1F00;
        return 0;
    }
    int LineActive(int, bool) override { return 0; }
    int LineID() const override { return 0; }
    QString GetErrorMessage(int) const override { return QString(); }
};

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: vh-screenshots OUTPUT_DIR\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    QTemporaryDir settingsDir;
    vh::SetMessageBoxHandler(
        [](QWidget*, const QString& text) { std::fprintf(stderr, "message box: %s\n", qPrintable(text)); });

    bool ok = true;
    vh::TerminalWindowServices services;
    services.settingsFolder = settingsDir.path();
    vh::TFormTerminalEmulator window(services);
    ok &= Save(window, out, QStringLiteral("main-idle"));

    vh::SettingsStore store(settingsDir.path());
    vh::TFormReceiveOptions options(store, nullptr);
    options.SetReceiveDirectory(settingsDir.path() + QStringLiteral("/"));
    ok &= Save(options, out, QStringLiteral("receive-options"));

    DemoLines lines;
    vh::TFormDlgLineSelection selection;
    selection.SetPhone(&lines);
    selection.Fill();
    ok &= Save(selection, out, QStringLiteral("line-selection"));

    vh::TForm1 picture;
    ok &= Save(picture, out, QStringLiteral("picture"));
    return ok ? 0 : 1;
}
