// One copy of the program's components on an internet line, without a window:
// the phone, its linked serial port and the transfer component, wired as the
// main window wires them and set up with the window's own property values.
//
//   vh_line_peer answer PORT raw|telnet FOLDER   answer the first call on
//                                                127.0.0.1:PORT, receive files
//   vh_line_peer call PORT raw|telnet FILE...    call 127.0.0.1:PORT, send files
//
// The answering side prints "ready" on standard output once it listens. On
// exit each prints one line to standard error:
//   result=<0|code> bytes=<n> seconds=<transfer wall time> cpu=<user+sys>
#include "bench/CpuTime.h"
#include "serial/QvSerialPort.h"
#include "telephony/QvPhone.h"
#include "telephony/service/Service.h"
#include "telephony/service/providers/tcp/TcpProvider.h"
#include "transfer/QvFile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

using namespace qv;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 5 || (args[1] != "answer" && args[1] != "call") ||
        (args[3] != "raw" && args[3] != "telnet")) {
        std::fprintf(stderr, "usage: %s answer PORT raw|telnet FOLDER | call PORT raw|telnet FILE...\n",
                     argv[0]);
        return 2;
    }
    const bool answering = args[1] == "answer";
    const auto port = static_cast<std::uint16_t>(args[2].toUInt());

    tcp::TcpLineConfig line;
    line.listen = answering;
    line.listenPort = port;
    line.mode = args[3] == "raw" ? tcp::TcpMode::Raw : tcp::TcpMode::Telnet;
    tapi::Service::Install(
        std::make_unique<tcp::TcpProvider>(std::vector<tcp::TcpLineConfig>{line}, QMap<QString, QString>{}));

    QvPhone phone;
    phone.SetMediaMode(mmData);
    QvSerialPort serial;
    serial.SetLinkedTo(&phone);
    serial.SetMaxReceiveSize(4096);
    serial.SetMaxSendSize(4096);
    serial.SetMonitorReceiveData(true);
    QvFile file;
    file.Transfer().SetLinkedTo(&serial);
    file.Transfer().SetMaxRetries(122);
    file.Transfer().SetReceiveExistingFiles(efOverwrite);

    int result = -1;
    qint64 bytes = 0;
    QElapsedTimer wall;
    double seconds = 0;
    auto finish = [&] {
        if (wall.isValid() && seconds == 0)
            seconds = wall.elapsed() / 1000.0;
        QTimer::singleShot(0, &app, [&app] { app.quit(); });
    };

    phone.SetOnCallState([&](QvPhone*, TCallState state, int, int, int) {
        if (state == csRing)
            phone.Answer(0);
        else if (state == csConnected && serial.Open(0) != 0)
            finish();
        else if (state == csDisconnected || state == csRemotePartyDisconnected || state == csBusy)
            finish();
    });
    phone.SetOnBeforeDisconnect([&](QvPhone*, int) {
        file.StopTransfer();
        serial.Close();
    });
    serial.SetOnPortState([&](TComponent*, TPortState state, int param) {
        if (state == psError)
            result = param;
        if (state != psOpened)
            return;
        wall.start();
        int code = 0;
        if (answering) {
            file.Transfer().SetReceiveFolder(args[4].endsWith('/') ? args[4] : args[4] + '/');
            code = file.ListenMode(true);
        } else {
            QString list;
            for (int i = 4; i < args.size(); ++i)
                list += QFileInfo(args[i]).absoluteFilePath() + "\r\n";
            code = file.SendFiles(list);
        }
        if (code != 0) {
            result = code;
            finish();
        }
    });
    file.SetOnTransferStateEvent([&](TComponent*, TTransferState state, const QString& name, int param) {
        if (state == tsError)
            result = param;
        if (state == tsFileSendDone || state == tsFileReceiveDone)
            bytes += QFileInfo(name).size();
        if (state == tsSendModeEnd || state == tsReceiveModeEnd) {
            if (param == 0 && result == -1)
                result = 0;
            seconds = wall.elapsed() / 1000.0;
            // The receiver leaves the hang-up to the sender, whose closing
            // "OO" must not be cut off.
            if (!answering)
                phone.Hangup();
        }
    });

    if (phone.LineActive(0, true) != 0) {
        std::fprintf(stderr, "cannot open the line\n");
        return 3;
    }
    if (answering) {
        // The caller may dial from now on.
        std::printf("ready\n");
        std::fflush(stdout);
    }
    if (!answering && phone.DialNumber(QByteArray("127.0.0.1:") + args[2].toLatin1(), 0) != 0) {
        std::fprintf(stderr, "cannot dial\n");
        return 3;
    }
    // A peer that never comes is not waited for for ever.
    QTimer::singleShot(300000, &app, [&] { finish(); });
    app.exec();
    std::fprintf(stderr, "result=%d bytes=%lld seconds=%.3f cpu=%.3f\n", result,
                 static_cast<long long>(bytes), seconds, CpuSeconds());
    return result == 0 ? 0 : 1;
}
