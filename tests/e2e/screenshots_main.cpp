// Renders the program's windows into PNG files for a look by eye: the main
// window idle and during a connected call in mid-transfer, both dialogs and
// the picture window. The call runs on the simulated exchange with a far side
// in this process; the transfer is real.
//
//   vh-screenshots OUTPUT_DIR
#include "app/Form1.h"
#include "app/FormDlgLineSelection.h"
#include "app/FormReceiveOptions.h"
#include "app/FormTerminalEmulator.h"
#include "app/MessageBox.h"
#include "tests/app/TransferPeer.h"

#include "telephony/service/Service.h"
#include "telephony/service/providers/sim/SimExchange.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <functional>

namespace {

bool WaitFor(const std::function<bool()>& done, int limitMs = 20000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        tapi::Service::DeliverPending();
    }
    return true;
}

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
        name = lineId == 0 ? QStringLiteral("Internet line") : QStringLiteral("Modem on /dev/ttyUSB0");
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
    QTemporaryDir files;
    vh::SetMessageBoxHandler(
        [](QWidget*, const QString& text) { std::fprintf(stderr, "message box: %s\n", qPrintable(text)); });

    auto owned = std::make_unique<tapi::sim::SimExchange>();
    tapi::sim::SimExchange& sim = *owned;
    tapi::sim::SimLineConfig line;
    line.name = QStringLiteral("Internet line");
    sim.AddLine(line);
    tapi::Service::Install(std::move(owned));

    bool ok = true;
    {
        QString big = QDir(files.path()).filePath(QStringLiteral(u"گزارش-ماهانه.bin"));
        QFile file(big);
        file.open(QIODevice::WriteOnly);
        file.write(QByteArray(48 * 1024 * 1024, 'v'));
        file.close();

        vh::TerminalWindowServices services;
        services.settingsFolder = settingsDir.path();
        services.chooseFiles = [big](QWidget*) { return std::optional<QStringList>(QStringList{big}); };
        vh::TFormTerminalEmulator window(services);
        window.show();
        WaitFor([&] { return window.QvPhone1().IsActive(); }, 5000);
        ok &= Save(window, out, QStringLiteral("main-idle"));
        QTest::mouseClick(window.findChild<QAbstractButton*>(QStringLiteral("SpeedButton2")), Qt::LeftButton);
        ok &= Save(window, out, QStringLiteral("main-settings-panel"));
        QTest::mouseClick(window.findChild<QAbstractButton*>(QStringLiteral("SpeedButton3")), Qt::LeftButton);

        // A call comes in and is answered on the first ring.
        window.findChild<QLineEdit*>(QStringLiteral("EditRingNumber"))->setText(QStringLiteral("1"));
        window.findChild<QLineEdit*>(QStringLiteral("EditTelephoneNumber"))
            ->setText(QStringLiteral("1270000000012323"));
        const tapi::CallId call = sim.OfferCall(0);
        WaitFor([] { return false; }, 100);
        sim.Ring(0);
        ok &= WaitFor([&] { return window.QvSerialPort1().IsOpened(); });
        vh::test::PeerSide peer(sim.PeerFd(call));
        peer.Port().Open(0);
        ok &= WaitFor([&] { return peer.Port().IsOpened(); });
        peer.Port().SendString(
            QStringLiteral(u"Welcome to the far side.\r\nسلام! Send me the report.\r\n").toUtf8());
        auto* terminal = window.findChild<QPlainTextEdit*>(QStringLiteral("MemoTerminal"));
        WaitFor([&] { return terminal->toPlainText().contains(QStringLiteral("report")); });
        terminal->setFocus();
        QTest::keyClicks(terminal, QStringLiteral("Sending it now."));
        QTest::keyClick(terminal, Qt::Key_Return);

        peer.File().Transfer().SetReceiveFolder(files.path() + QStringLiteral("/in"));
        QDir().mkpath(files.path() + QStringLiteral("/in"));
        peer.File().ListenMode(true);
        QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("ButtonSendFile")), Qt::LeftButton);
        auto* total = window.findChild<QProgressBar*>(QStringLiteral("ProgressBarTotal"));
        ok &= WaitFor([&] { return total->value() >= 40; }, 60000);
        ok &= Save(window, out, QStringLiteral("main-transfer"));
        window.QvFile1().StopTransfer();
        WaitFor([] { return false; }, 200);

        vh::TFormReceiveOptions options(window.Settings(), nullptr);
        options.SetReceiveDirectory(window.QvFile1().Transfer().ReceiveFolder());
        ok &= Save(options, out, QStringLiteral("receive-options"));
    }
    tapi::Service::Uninstall();

    DemoLines lines;
    vh::TFormDlgLineSelection selection;
    selection.SetPhone(&lines);
    selection.Fill();
    ok &= Save(selection, out, QStringLiteral("line-selection"));

    vh::TForm1 picture;
    ok &= Save(picture, out, QStringLiteral("picture"));
    return ok ? 0 : 1;
}
