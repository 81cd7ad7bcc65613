// The list of files to send as the operator or a script may type it: every
// list is either refused with its code or turned into files that exist, are
// regular and have the sizes reported, and nothing else is listed.
//
// Input: one byte of flags (strict, repeats, wide names), then the list as
// UTF-8. The lists run in a folder of our own with a few files in it; lists
// that reach out of it (an absolute folder, "..") are left alone, so that the
// fuzzer never walks the machine's file system.
#include "FuzzSupport.h"

#include "common/ErrorCodes.h"
#include "common/FileList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace qv;
using qv::fuzz::Check;
using qv::fuzz::FuzzInput;

void MakeFile(const QString& path, int size)
{
    QFile file(path);
    Check(file.open(QIODevice::WriteOnly) && file.write(QByteArray(size, 'x')) == size,
          "a file of the folder");
}

// The folder the lists run in, made once: plain, hidden, empty, Persian,
// wildcard-named files, a subfolder with files of its own, and a FIFO.
const QString& Sandbox()
{
    static QTemporaryDir dir;
    static const QString path = [] {
        Check(dir.isValid(), "a temporary folder");
        const QString root = dir.path() + QLatin1Char('/');
        MakeFile(root + QStringLiteral("a.txt"), 3);
        MakeFile(root + QStringLiteral("b.bin"), 70);
        MakeFile(root + QStringLiteral(".hidden"), 5);
        MakeFile(root + QStringLiteral("empty"), 0);
        MakeFile(root + QStringLiteral(u"نامه.txt"), 11);
        MakeFile(root + QStringLiteral("star*?.txt"), 2);
        QDir(root).mkdir(QStringLiteral("sub"));
        MakeFile(root + QStringLiteral("sub/c.txt"), 9);
        QDir(root).mkdir(QStringLiteral("sub/deeper.txt"));
        ::mkfifo(QFile::encodeName(root + QStringLiteral("pipe.txt")).constData(), 0600);
        Check(::chdir(QFile::encodeName(dir.path()).constData()) == 0, "into the folder");
        return dir.path();
    }();
    return path;
}

bool StaysInside(const QString& list)
{
    // Backslashes escape: ".\." names the folder above too.
    const QString plain = QString(list).remove(u'\\');
    if (plain.contains(QLatin1String("..")) || plain.contains(u'~'))
        return false;
    // An item that starts with "/", escaped or not, names an absolute folder.
    bool itemStart = true;
    for (QChar c : list) {
        if (itemStart && c == u'/')
            return false;
        if (itemStart && c == u'\\')
            continue;
        itemStart = c == u'|' || c == u'\r' || c == u'\n';
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString& root = Sandbox();
    FuzzInput input(data, size);
    const std::uint8_t flags = input.Byte();
    const std::uint8_t* rest = nullptr;
    const std::size_t n = input.Rest(rest);
    const QString list = QString::fromUtf8(reinterpret_cast<const char*>(rest), qsizetype(n));
    if (!StaysInside(list))
        return 0;

    TDynamicFileList files;
    files.append({QStringLiteral("left over"), 1});
    const bool strict = (flags & 1) != 0;
    const int code = BuildFileList(list, files, strict, (flags & 2) != 0, (flags & 4) != 0);
    Check(code == 0 || code == err::InvalidArgument || code == err::NoData || code == err::NotFound,
          "a list is refused only with its documented codes");
    Check(code == 0 ? !files.isEmpty() : files.isEmpty(),
          "files are listed exactly when the list is accepted");
    // A list may name the same files many times over; each name is looked
    // up once (resolving a path is most of the cost of an input).
    static const QString inside = QFileInfo(root).canonicalFilePath() + QLatin1Char('/');
    QHash<QString, qint64> sizes;
    for (const TFileList& entry : files) {
        auto known = sizes.constFind(entry.FileName);
        if (known == sizes.constEnd()) {
            const QFileInfo info(QDir(root), entry.FileName);
            Check(info.isFile() && info.exists(), "a listed file is a regular file that exists");
            Check(info.canonicalFilePath().startsWith(inside), "a listed file is one the list named");
            known = sizes.insert(entry.FileName, info.size());
        }
        Check(entry.FileSize > 0 && entry.FileSize == *known, "a listed file has its size");
    }
    return 0;
}
