// The terminal window as a ZMODEM peer on its standard input, for the
// benchmarks. The window runs offscreen with the simulated exchange's one
// line; a call comes in and is answered on its first ring, and a thread joins
// the far end of that call to standard input (a tty or a socket), so that
// what is measured is the window and its components on their one thread, as
// an operator has them:
//
//   vh_window_peer send FILE...     the send button, with FILE... chosen
//   vh_window_peer receive FOLDER   the window listening, receiving into FOLDER
//
// On exit it prints one line to standard error, as vh_zmodem_peer does:
//   result=<0|code> files=<n> bytes=<n> seconds=<wall> cpu=<user+sys> stall=<ms>
// where stall is the longest time the window's event loop went without a
// turn between the start of the transfer and its end.
#include "app/FormTerminalEmulator.h"
#include "app/MessageBox.h"
#include "bench/CpuTime.h"
#include "telephony/service/Service.h"
#include "telephony/service/providers/sim/SimExchange.h"
#include "tests/support/EventLoopStall.h"
#include "transfer/QvFile.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using namespace qv;

// Copies bytes both ways between two descriptors until one of them ends or
// `stop` is set; a byte that cannot be written yet waits, so neither side
// ever loses one.
void Bridge(int a, int b, const std::atomic<bool>& stop)
{
    struct Direction
    {
        int from;
        int to;
        std::vector<char> pending;
        std::size_t offset = 0;
    };
    Direction dirs[2] = {{a, b, {}}, {b, a, {}}};
    char buffer[65536];
    while (!stop.load()) {
        pollfd fds[4];
        int n = 0;
        int index[4];
        for (int d = 0; d < 2; ++d) {
            const bool waiting = dirs[d].offset < dirs[d].pending.size();
            fds[n] = {waiting ? dirs[d].to : dirs[d].from, short(waiting ? POLLOUT : POLLIN), 0};
            index[n++] = d;
        }
        if (poll(fds, static_cast<nfds_t>(n), 50) < 0)
            return;
        for (int i = 0; i < n; ++i) {
            Direction& d = dirs[index[i]];
            if (fds[i].revents & (POLLERR | POLLNVAL))
                return;
            if (d.offset < d.pending.size()) {
                if (!(fds[i].revents & (POLLOUT | POLLHUP)))
                    continue;
                const ssize_t w = ::write(d.to, d.pending.data() + d.offset, d.pending.size() - d.offset);
                if (w < 0)
                    return;
                d.offset += static_cast<std::size_t>(w);
                if (d.offset == d.pending.size()) {
                    d.pending.clear();
                    d.offset = 0;
                }
            } else if (fds[i].revents & (POLLIN | POLLHUP)) {
                const ssize_t r = ::read(d.from, buffer, sizeof buffer);
                if (r <= 0)
                    return;
                d.pending.assign(buffer, buffer + r);
                d.offset = 0;
            }
        }
    }
}

bool WaitFor(const std::function<bool()>& done, int limitMs)
{
    QDeadlineTimer deadline(limitMs);
    QTimer recheck;
    recheck.start(5);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3 || (args[1] != "send" && args[1] != "receive")) {
        std::fprintf(stderr, "usage: %s send FILE... | receive FOLDER\n", argv[0]);
        return 2;
    }
    const bool sending = args[1] == "send";
    vh::SetMessageBoxHandler(
        [](QWidget*, const QString& text) { std::fprintf(stderr, "message box: %s\n", qPrintable(text)); });
    vh::SetQuestionHandler([](QWidget*, const QString&) { return true; });

    auto owned = std::make_unique<tapi::sim::SimExchange>();
    tapi::sim::SimExchange& sim = *owned;
    tapi::sim::SimLineConfig line;
    line.name = QStringLiteral("Benchmark line");
    sim.AddLine(line);
    tapi::Service::Install(std::move(owned));

    QTemporaryDir settings;
    QStringList files;
    for (int i = 2; sending && i < args.size(); ++i)
        files << QFileInfo(args[i]).absoluteFilePath();
    vh::TerminalWindowServices services;
    services.settingsFolder = settings.path();
    services.defaultReceiveFolder = sending ? settings.path() + QStringLiteral("/in/")
                                            : QFileInfo(args[2]).absoluteFilePath() + QLatin1Char('/');
    services.chooseFiles = [files](QWidget*) { return std::optional<QStringList>(files); };
    services.runDialog = [](QDialog&) { return 0; };

    int result = -1;
    int count = 0;
    qint64 bytes = 0;
    bool ended = false;
    QElapsedTimer wall;
    qv::test::EventLoopStall stall;
    double stallMs = -1;
    std::atomic<bool> stopBridge{false};
    std::thread bridge;
    {
        vh::TFormTerminalEmulator window(services);
        window.show();
        if (!WaitFor([&] { return window.QvPhone1().IsActive(); }, 10000)) {
            std::fprintf(stderr, "the window's line did not come up\n");
            return 3;
        }
        QvFile& file = window.QvFile1();
        const TTransferStateEvent shown = file.OnTransferStateEvent();
        file.SetOnTransferStateEvent(
            [&](TComponent* sender, TTransferState state, const QString& name, int p) {
                if (shown)
                    shown(sender, state, name, p);
                if (state == tsError)
                    result = p;
                if ((state == tsFileSendDone || state == tsFileReceiveDone) && p == 0) {
                    ++count;
                    bytes += QFileInfo(name).size();
                }
                if (state == tsSendModeEnd || state == tsReceiveModeEnd) {
                    if (p == 0 && result == -1)
                        result = 0;
                    if (stallMs < 0)
                        stallMs = stall.Stop();
                    ended = true;
                }
            });

        window.findChild<QLineEdit*>(QStringLiteral("EditRingNumber"))->setText(QStringLiteral("1"));
        const tapi::CallId call = sim.OfferCall(0);
        WaitFor([] { return false; }, 50);
        sim.Ring(0);
        if (!WaitFor([&] { return window.QvSerialPort1().IsOpened(); }, 10000)) {
            std::fprintf(stderr, "the window did not answer the call\n");
            return 3;
        }
        bridge = std::thread(Bridge, sim.PeerFd(call), 0, std::cref(stopBridge));

        wall.start();
        stall.Start();
        if (sending)
            window.findChild<QAbstractButton*>(QStringLiteral("ButtonSendFile"))->click();
        // A far side that goes quiet for good ends the run through the
        // component's own time-outs; this bound only keeps a broken run from
        // hanging the benchmark.
        WaitFor([&] { return ended; }, 3600 * 1000);
        const double seconds = wall.elapsed() / 1000.0;
        // The far side's "OO" and last frames still have to cross.
        WaitFor([] { return false; }, 200);
        stopBridge = true;
        bridge.join();
        std::fprintf(stderr, "result=%d files=%d bytes=%lld seconds=%.3f cpu=%.3f stall=%.1f\n", result,
                     count, static_cast<long long>(bytes), seconds, CpuSeconds(),
                     stallMs >= 0 ? stallMs : stall.Stop());
    }
    tapi::Service::Uninstall();
    return result == 0 ? 0 : 1;
}
