// A whole send session answering a hostile receiver: QvFile sends two files
// over a port of a connected call, and the input plays the receiver's side,
// in virtual time. Whatever the receiver says (positions beyond the file,
// skips, repeats, garbage, silence), the session ends and the files sent are
// left as they were.
//
// Input: one byte choosing the files, then records: a length byte and that
// many bytes sent as one reply; a length of 0 lets 6.1 s pass instead.
#include "ZmodemFuzzLine.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

using namespace qv;
using namespace qv::fuzz;

QByteArray Pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    char* out = bytes.data();
    for (int i = 0; i < size; ++i)
        out[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    return bytes;
}

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const std::uint8_t choice = input.Byte();

    QTemporaryDir dir;
    Check(dir.isValid(), "a temporary folder");
    // Two files: one of several subpackets, one short; the choice byte
    // changes their sizes so that the ends of subpackets move.
    const QString one = dir.filePath(QStringLiteral("one.bin"));
    const QString two = dir.filePath(QStringLiteral("two.txt"));
    const QByteArray oneBytes = Pattern(2048 + (choice & 0x0F) * 97);
    const QByteArray twoBytes = Pattern(1 + (choice >> 4));
    Check(WriteFile(one, oneBytes) && WriteFile(two, twoBytes), "the files to send");

    {
        ZmodemFuzzLine line;
        if (!line.Open() || line.file.SendFiles(one + QLatin1Char('|') + two) != 0)
            return 0;
        line.Settle();

        // The sender's data loop runs on the port's queue timer (2 to 50 ms),
        // in steps of a few of its periods.
        line.Play(input, 40, 10);
        Check(line.RunOut(omSending), "a send that hears nothing more ends");
    }

    Check(ReadFile(one) == oneBytes && ReadFile(two) == twoBytes, "sending leaves the files as they were");
    return 0;
}
