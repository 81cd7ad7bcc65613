// A headless ZMODEM peer built on QvFile, speaking on its standard input
// (which must be open for reading and writing: a tty or a socket):
//
//   vh_zmodem_peer [--stall] send FILE...     send the files, exit 0 when all arrived
//   vh_zmodem_peer [--stall] receive FOLDER   receive one batch into FOLDER
//
// On exit it prints one line to standard error:
//   result=<0|code> files=<n> bytes=<n> seconds=<wall> cpu=<user+sys> [stall=<ms>]
// where stall, with --stall, is the longest time the event loop went
// without a turn while the transfer ran.
#include "bench/CpuTime.h"
#include "common/CallDataSource.h"
#include "serial/QvSerialPort.h"
#include "tests/support/EventLoopStall.h"
#include "transfer/QvFile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

namespace {

using namespace qv;

class StdioPhone : public TCallDataSource
{
public:
    using TCallDataSource::TCallDataSource;
    bool IsConnected() const override { return true; }
    bool IsCallConnected(int call) const override { return call == 1; }
    int CurrentCallHandle() const override { return 1; }
    int GetCommHandle(int& handle) override
    {
        handle = 0;
        return 0;
    }

protected:
    void WndProc(TMessage& message) override
    {
        TCallDataSource::WndProc(message);
        if (message.Msg == MSG_CALL_DATA_READY) {
            PostMessage(static_cast<WindowHandle>(message.LParam), MSG_CALL_DATA_READY, 0, 0);
            message.Result = 0;
        }
    }
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    const bool measureStall = args.size() > 1 && args[1] == "--stall";
    if (measureStall)
        args.removeAt(1);
    if (args.size() < 3 || (args[1] != "send" && args[1] != "receive")) {
        std::fprintf(stderr, "usage: %s [--stall] send FILE... | receive FOLDER\n", argv[0]);
        return 2;
    }
    qv::test::EventLoopStall stall;
    double stallMs = -1;
    const bool sending = args[1] == "send";

    StdioPhone phone;
    QvSerialPort port;
    port.SetMaxReceiveSize(8192);
    port.SetMaxSendSize(8192);
    port.SetLinkedTo(&phone);
    QvFile file;
    file.Transfer().SetLinkedTo(&port);
    file.Transfer().SetReceiveExistingFiles(efOverwrite);

    int result = -1;
    int files = 0;
    qint64 bytes = 0;
    QElapsedTimer wall;
    file.SetOnTransferStateEvent([&](TComponent*, TTransferState state, const QString& name, int param) {
        if (state == tsError)
            result = param;
        if (state == tsFileSendDone || state == tsFileReceiveDone) {
            ++files;
            bytes += QFileInfo(name).size();
        }
        if (state == tsSendModeEnd || state == tsReceiveModeEnd) {
            if (param == 0)
                result = 0;
            if (measureStall && stallMs < 0)
                stallMs = stall.Stop();
            QTimer::singleShot(0, &app, [&app] { app.quit(); });
        }
    });

    QTimer::singleShot(0, &app, [&] {
        if (port.Open(0) != 0) {
            std::fprintf(stderr, "cannot open standard input as a line\n");
            app.exit(3);
        }
    });
    port.SetOnPortState([&](TComponent*, TPortState state, int param) {
        if (state != psOpened) {
            if (state == psError)
                result = param;
            QTimer::singleShot(0, &app, [&app] { app.quit(); });
            return;
        }
        wall.start();
        if (measureStall)
            stall.Start();
        int code = 0;
        if (sending) {
            QString list;
            for (int i = 2; i < args.size(); ++i)
                list += QFileInfo(args[i]).absoluteFilePath() + "\r\n";
            code = file.SendFiles(list);
        } else {
            file.Transfer().SetReceiveFolder(args[2]);
            code = file.ListenMode(true);
        }
        if (code != 0) {
            result = code;
            QTimer::singleShot(0, &app, [&app] { app.quit(); });
        }
    });

    app.exec();
    std::fprintf(stderr, "result=%d files=%d bytes=%lld seconds=%.3f cpu=%.3f", result, files,
                 static_cast<long long>(bytes), wall.isValid() ? wall.elapsed() / 1000.0 : 0.0, CpuSeconds());
    if (measureStall)
        std::fprintf(stderr, " stall=%.1f", stallMs >= 0 ? stallMs : stall.Stop());
    std::fprintf(stderr, "\n");
    return result == 0 ? 0 : 1;
}
