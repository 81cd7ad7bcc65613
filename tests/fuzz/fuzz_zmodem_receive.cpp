// A whole receive session against a hostile sender: QvFile listens on a port
// of a connected call, and the input plays the sender, in virtual time, so
// the engine, the receiver, the announcement parsing and the existing-file
// rules all meet the bytes. Whatever arrives, nothing is written outside the
// receive folder and the session ends.
//
// Input: one byte of receive settings, then records: a length byte and that
// many bytes sent as one piece; a length of 0 lets 6.1 s pass instead.
#include "ZmodemFuzzLine.h"

#include "common/Component.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

using namespace qv;
using namespace qv::fuzz;

void WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool quiet = [] {
        SetShowMessageHandler([](const QString&) {});
        return true;
    }();
    (void)quiet;

    FuzzInput input(data, size);
    const std::uint8_t settings = input.Byte();

    QTemporaryDir dir;
    Check(dir.isValid(), "a temporary folder");
    const QString folder = dir.filePath(QStringLiteral("rx"));
    Check(QDir().mkdir(folder), "the receive folder");
    // Names a sender may well announce, so that the existing-file rules run.
    WriteFile(folder + QStringLiteral("/a.bin"), QByteArray(100, 'a'));
    WriteFile(folder + QStringLiteral("/b.txt"), QByteArray("old\n"));

    {
        ZmodemFuzzLine line;
        TTransfer& transfer = line.file.Transfer();
        transfer.SetReceiveFolder(folder);
        transfer.SetReceiveExistingFiles(static_cast<TReceiveExistingFiles>(settings % 5));
        transfer.SetResumedTransferAlternative(static_cast<TReceiveExistingFiles>((settings / 5) % 4));
        transfer.SetResumedTransferCheckDate((settings & 0x40) != 0);
        transfer.SetReceiveFileDateTime((settings & 0x80) != 0 ? dtUseOriginal : dtUseCurrent);
        if (!line.Open() || line.file.ListenMode(true) != 0)
            return 0;

        line.Play(input, 0, 50);
        // Whatever was left half done runs into its time-outs.
        Check(line.RunOut(omReceiving), "a receive with nothing more to come ends");
        line.file.ListenMode(false);
    }

    const QStringList left =
        QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    Check(left == QStringList{QStringLiteral("rx")}, "received files stay inside the receive folder");
    return 0;
}
