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
#include "app/TerminalArea.h"
#include "app/TerminalSession.h"
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

const QByteArray kShell =
    "\x1b[?2004h\x1b]0;op@debian: ~\x07\x1b[01;32mop@debian\x1b[00m:\x1b[01;34m~\x1b[00m$ ls --color\r\n"
    "\x1b[0m\x1b[01;34mDocuments\x1b[0m  \x1b[01;34mDownloads\x1b[0m  \x1b[01;32mbuild.sh\x1b[0m  "
    "\x1b[01;31marchive.tar.gz\x1b[0m  notes.txt  \x1b[01;36mlatest\x1b[0m\r\n"
    "\x1b[?2004h\x1b[01;32mop@debian\x1b[00m:\x1b[01;34m~\x1b[00m$ ";

QByteArray TopScreen(const char* clock)
{
    QByteArray s = "\x1b[H\x1b[2J\x1b[m";
    s += QByteArray("top - ") + clock +
         " up 3 days,  2:04,  1 user,  load average: \x1b[1m0.08\x1b[m, 0.03, 0.01\x1b[K\r\n";
    s += "Tasks:\x1b[1m 112 \x1b[mtotal,\x1b[1m   1 \x1b[mrunning,\x1b[1m 111 \x1b[msleeping\x1b[K\r\n";
    s += "%Cpu(s):\x1b[1m  3.1 \x1b[mus,\x1b[1m  1.0 \x1b[msy,\x1b[1m 95.8 \x1b[mid\x1b[K\r\n";
    s += "MiB Mem :\x1b[1m   7951.2 \x1b[mtotal,\x1b[1m   5120.4 \x1b[mfree\x1b[K\r\n\x1b[K\r\n";
    s += "\x1b[7m" +
         QByteArray("    PID USER      PR  NI    VIRT    RES  S  %CPU  %MEM     TIME+ COMMAND")
             .leftJustified(80) +
         "\x1b[m\r\n";
    const char* rows[] = {"   4242 op        20   0   10360   3864 R   6.2   0.0   0:00.02 top",
                          "    731 root      20   0   15432   9012 S   0.3   0.1   0:01.10 sshd",
                          "      1 root      20   0  167744  12100 S   0.0   0.2   0:02.51 systemd",
                          "    512 root      20   0   22084   6044 S   0.0   0.1   0:00.33 systemd-journal",
                          "    640 message+  20   0    9140   4520 S   0.0   0.1   0:00.40 dbus-daemon",
                          "    880 op        20   0    8788   5344 S   0.0   0.1   0:00.07 bash"};
    bool first = true;
    for (const char* row : rows) {
        s += first ? "\x1b[1m" : "";
        s += row;
        s += first ? "\x1b[m\x1b[K\r\n" : "\x1b[K\r\n";
        first = false;
    }
    return s;
}
const QByteArray kTop = "\r\n\x1b[?1049h\x1b[?1h\x1b=\x1b[?25l" + TopScreen("10:21:03");
const QByteArray kTopRedraw = TopScreen("10:21:06");

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
        auto* terminal = window.findChild<vh::TerminalArea*>(QStringLiteral("MemoTerminal"));
        // A Unix shell as a Debian host draws it: a coloured prompt, coloured
        // folder listing.
        peer.Port().SendString(kShell);
        ok &= WaitFor([&] { return terminal->Text().contains(QStringLiteral("notes.txt")); });
        terminal->setFocus();
        QTest::keyClicks(terminal, QStringLiteral("top"));
        ok &= Save(window, out, QStringLiteral("main-terminal-shell"));
        // A full-screen program on the alternate screen.
        peer.Port().SendString(kTop);
        ok &= WaitFor(
            [&] { return terminal->Screen().AlternateScreen() && terminal->Text().contains("sshd"); });
        ok &= Save(window, out, QStringLiteral("main-terminal-fullscreen"));
        window.Terminal().OpenBigView();
        QApplication::processEvents();
        peer.Port().SendString(kTopRedraw);
        WaitFor([] { return false; }, 300);
        ok &= Save(*window.Terminal().BigView(), out, QStringLiteral("terminal-window"));
        window.Terminal().CloseBigView();
        peer.Port().SendString(
            QByteArrayLiteral("\x1b[?1049l\r\n") +
            QStringLiteral(u"Welcome to the far side.\r\nسلام! Send me the report.\r\n").toUtf8());
        WaitFor([&] { return terminal->Text().contains(QStringLiteral("report")); });
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
