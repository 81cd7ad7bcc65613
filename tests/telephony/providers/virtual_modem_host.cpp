// Virtual modems in a process of their own, driven by line commands on
// standard input. The modem line waits on its tty while it opens, so the
// modems it talks to must keep running while the test's own thread waits.
//
//   add                       -> ok <pty path> <tcp port>
//   dir <i> <number> <j>      modem i reaches modem j by dialling <number>
//   own <i> <number> [name]   the caller ID modem i sends
//   fault <i> none|busy|nodialtone|noanswer|silent
//   ring <i> <ms>             the ring cadence of modem i
//   drop <i>                  the remote side of modem i's call goes away
//   log <i>                   -> ok <command log, hex>
//   state <i>                 -> ok <off hook 0/1> <data mode 0/1> <rings sent>
//   quit
//
// Every command is answered with one line: "ok ..." or "err <reason>".
#include "tests/support/VirtualModem.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

using qv::test::VirtualModem;

std::vector<std::unique_ptr<VirtualModem>> g_modems;
QByteArray g_input;

void Reply(const QByteArray& text)
{
    const QByteArray line = text + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}

VirtualModem* ModemAt(const QList<QByteArray>& words, int at)
{
    bool ok = false;
    const int i = words.value(at).toInt(&ok);
    if (!ok || i < 0 || i >= int(g_modems.size()))
        return nullptr;
    return g_modems[size_t(i)].get();
}

void Execute(const QByteArray& line)
{
    const QList<QByteArray> words = line.simplified().split(' ');
    const QByteArray verb = words.value(0);
    if (verb == "add") {
        auto modem = std::make_unique<VirtualModem>();
        QString error;
        if (!modem->Start(&error)) {
            Reply("err " + error.toUtf8());
            return;
        }
        Reply("ok " + modem->DevicePath().toUtf8() + ' ' + QByteArray::number(modem->Port()));
        g_modems.push_back(std::move(modem));
        return;
    }
    if (verb == "quit") {
        Reply("ok");
        QCoreApplication::quit();
        return;
    }
    VirtualModem* modem = ModemAt(words, 1);
    if (!modem) {
        Reply("err no such modem");
        return;
    }
    if (verb == "dir") {
        VirtualModem* target = ModemAt(words, 3);
        if (!target) {
            Reply("err no such modem");
            return;
        }
        modem->AddDirectoryEntry(QString::fromUtf8(words.value(2)), target->Port());
    } else if (verb == "own") {
        modem->SetOwnNumber(QString::fromUtf8(words.value(2)), QString::fromUtf8(words.mid(3).join(' ')));
    } else if (verb == "fault") {
        const QByteArray f = words.value(2);
        VirtualModem::Fault fault = VirtualModem::Fault::None;
        if (f == "busy")
            fault = VirtualModem::Fault::Busy;
        else if (f == "nodialtone")
            fault = VirtualModem::Fault::NoDialtone;
        else if (f == "noanswer")
            fault = VirtualModem::Fault::NoAnswer;
        else if (f == "silent")
            fault = VirtualModem::Fault::Silent;
        else if (f != "none") {
            Reply("err unknown fault");
            return;
        }
        modem->SetFault(fault);
    } else if (verb == "ring") {
        modem->SetRingIntervalMs(words.value(2).toInt());
    } else if (verb == "drop") {
        modem->DropRemote();
    } else if (verb == "log") {
        Reply("ok " + modem->CommandLog().toHex());
        return;
    } else if (verb == "state") {
        Reply("ok " + QByteArray::number(modem->OffHook() ? 1 : 0) + ' ' +
              QByteArray::number(modem->InDataMode() ? 1 : 0) + ' ' + QByteArray::number(modem->RingsSent()));
        return;
    } else {
        Reply("err unknown command");
        return;
    }
    Reply("ok");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&input] {
        char buffer[1024];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            // The test is gone: so are its modems.
            input.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        g_input.append(buffer, int(n));
        qsizetype nl;
        while ((nl = g_input.indexOf('\n')) >= 0) {
            const QByteArray line = g_input.left(nl);
            g_input.remove(0, nl + 1);
            Execute(line);
        }
    });
    const int result = app.exec();
    g_modems.clear();
    return result;
}
