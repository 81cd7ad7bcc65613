// The file-list parser: separators, folders, repeats, wildcards, what counts
// as a file, strict and lenient parsing, sizes and names.
#include "common/ErrorCodes.h"
#include "common/FileList.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace qv;

namespace {

class FileListTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_root = m_dir.path() + u'/';
    }
    void TearDown() override { SetWideFileApiProbe(nullptr); }

    void Make(const QString& name, qint64 size = 3)
    {
        QFile file(m_root + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << name.toStdString();
        if (size > 0) {
            ASSERT_TRUE(file.resize(size));
        }
    }

    void MakeFolder(const QString& name) { ASSERT_TRUE(QDir(m_root).mkpath(name)); }

    // Runs the parser and gives the names relative to the temporary folder,
    // so that expectations read short. A failed parse must leave no entries,
    // so the array starts non-empty to prove it is emptied.
    int Build(const QString& list, QStringList& names, bool strict = false, bool repeat = true,
              bool wide = true)
    {
        TDynamicFileList files{{QStringLiteral("stale"), 1}};
        const int code = BuildFileList(list, files, strict, wide, repeat);
        names.clear();
        for (const TFileList& f : files)
            names << (f.FileName.startsWith(m_root) ? f.FileName.mid(m_root.size()) : f.FileName);
        if (code != 0) {
            EXPECT_TRUE(files.isEmpty()) << "a failed parse leaves the array empty";
        }
        m_last = files;
        return code;
    }

    QTemporaryDir m_dir;
    QString m_root;
    TDynamicFileList m_last;
};

TEST(ExtractFolder, TakesEverythingUpToTheLastSlash)
{
    EXPECT_EQ(ExtractFolder("/data/in/a.txt"), "/data/in/");
    EXPECT_EQ(ExtractFolder("/data/in/"), "/data/in/");
    EXPECT_EQ(ExtractFolder("/a"), "/");
    EXPECT_EQ(ExtractFolder("sub/a"), "sub/");
    EXPECT_EQ(ExtractFolder("a.txt"), "");
    EXPECT_EQ(ExtractFolder(""), "");
    // No drive letters here: ":" is part of a name.
    EXPECT_EQ(ExtractFolder("C:a.txt"), "");
    EXPECT_EQ(ExtractFolder("/x/C:b"), "/x/");
    EXPECT_EQ(ExtractFolder("C:\\data\\a.txt"), "");
}

TEST_F(FileListTest, SeparatorsSplitItemsAndLaterItemsTakeTheFirstItemsFolder)
{
    MakeFolder("data");
    Make("data/a.txt");
    Make("data/b.txt");
    Make("c.txt");
    const QString a = m_root + "data/a.txt";
    QStringList names;

    for (const QString sep : {"|", "\r", "\n", "\r\n"}) {
        EXPECT_EQ(Build(a + sep + "b.txt", names, true), 0) << sep.toStdString();
        EXPECT_EQ(names, QStringList({"data/a.txt", "data/b.txt"})) << sep.toStdString();
    }
    // A trailing separator adds no item; an item with its own folder keeps it.
    EXPECT_EQ(Build(a + "\r\n" + m_root + "c.txt\r\n", names, true), 0);
    EXPECT_EQ(names, QStringList({"data/a.txt", "c.txt"}));
    // The list folder stays the first item's, even after an item with another folder.
    EXPECT_EQ(Build(a + "|" + m_root + "c.txt|b.txt", names, true), 0);
    EXPECT_EQ(names, QStringList({"data/a.txt", "c.txt", "data/b.txt"}));

    // Empty items: passed over when lenient, an item without a file when strict.
    EXPECT_EQ(Build(a + "||b.txt", names), 0);
    EXPECT_EQ(names, QStringList({"data/a.txt", "data/b.txt"}));
    EXPECT_EQ(Build(a + "\r\n\r\nb.txt", names), 0);
    EXPECT_EQ(names, QStringList({"data/a.txt", "data/b.txt"}));
    EXPECT_EQ(Build(a + "\n\nb.txt", names, true), err::NotFound);

    for (const QString& bad : QStringList{"", "|", "\r\n", "\n" + a, "|" + a})
        EXPECT_EQ(Build(bad, names, true), err::InvalidArgument) << bad.toStdString();
}

TEST_F(FileListTest, AFirstItemWithoutFolderMakesTheListRelative)
{
    MakeFolder("sub");
    Make("a.txt");
    Make("b.txt");
    Make("sub/c.txt");
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(m_root));
    TDynamicFileList files;
    const int code = BuildFileList("a.txt|sub/c.txt|b.txt", files, true, true, false);
    QDir::setCurrent(previous);
    ASSERT_EQ(code, 0);
    ASSERT_EQ(files.size(), 3);
    EXPECT_EQ(files[0].FileName, "a.txt");
    EXPECT_EQ(files[1].FileName, "sub/c.txt");
    EXPECT_EQ(files[2].FileName, "b.txt");
}

TEST_F(FileListTest, RepeatCountsAreDigitsWithinABound)
{
    Make("x.bin", 10);
    Make("y.bin", 20);
    Make("x.bin>3", 30);
    const QString x = m_root + "x.bin";
    QStringList names;

    EXPECT_EQ(Build(x + ">3", names, true), 0);
    EXPECT_EQ(names, QStringList({"x.bin", "x.bin", "x.bin"}));
    EXPECT_EQ(m_last[2].FileSize, 10);
    EXPECT_EQ(Build(x + ">003|y.bin>1", names, true), 0);
    EXPECT_EQ(names, QStringList({"x.bin", "x.bin", "x.bin", "y.bin"}));

    // A count of 0 adds nothing; a list of nothing is "not found".
    EXPECT_EQ(Build(x + ">0|y.bin", names, true), 0);
    EXPECT_EQ(names, QStringList({"y.bin"}));
    EXPECT_EQ(Build(x + ">0", names, true), err::NotFound);

    EXPECT_EQ(Build(x + QString(">%1").arg(MaxFileListRepeat), names, true), 0);
    EXPECT_EQ(names.size(), MaxFileListRepeat);

    for (const QString count : {">", ">2a", "> 2", ">-1", ">3>4", ">1001", ">99999999999999999999999"})
        EXPECT_EQ(Build(x + count + "|y.bin", names, false), err::InvalidArgument) << count.toStdString();
    // The bad count ends the parse even after good items.
    EXPECT_EQ(Build(m_root + "y.bin|x.bin>", names, false), err::InvalidArgument);

    // Without repeats ">" is part of the name; escaped, it is part of it too.
    EXPECT_EQ(Build(x + ">3", names, true, false), 0);
    EXPECT_EQ(names, QStringList({"x.bin>3"}));
    EXPECT_EQ(Build(EscapeFileListName(x + ">3") + ">2", names, true, true), 0);
    EXPECT_EQ(names, QStringList({"x.bin>3", "x.bin>3"}));
}

TEST_F(FileListTest, WildcardsMatchCharactersAndOnlyFilesCount)
{
    Make("a.txt");
    Make("b.txt");
    Make(".hidden.txt");
    Make("with space.txt");
    Make(QStringLiteral("ش.txt"));
    Make(QStringLiteral("سلام دنیا.txt"));
    Make("c.dat");
    Make("ab.txt");
    MakeFolder("folder.txt");
    MakeFolder(".git.txt");
    ASSERT_EQ(::mkfifo(QFile::encodeName(m_root + "pipe.txt").constData(), 0644), 0);
    ASSERT_EQ(::symlink("a.txt", QFile::encodeName(m_root + "link.txt").constData()), 0);
    ASSERT_EQ(::symlink("gone", QFile::encodeName(m_root + "dangling.txt").constData()), 0);
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray socketPath = QFile::encodeName(m_root + "socket.txt");
    ASSERT_LT(size_t(socketPath.size()), sizeof address.sun_path);
    qstrcpy(address.sun_path, socketPath.constData());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    QStringList names;
    EXPECT_EQ(Build(m_root + "*.txt", names, true), 0);
    EXPECT_EQ(names, QStringList({".hidden.txt", "a.txt", "ab.txt", "b.txt", "link.txt", "with space.txt",
                                  QStringLiteral("سلام دنیا.txt"), QStringLiteral("ش.txt")}));
    // "?" is one character, also when that character takes two bytes.
    EXPECT_EQ(Build(m_root + "?.txt", names, true), 0);
    EXPECT_EQ(names, QStringList({"a.txt", "b.txt", QStringLiteral("ش.txt")}));
    EXPECT_EQ(Build(m_root + "*", names, true), 0);
    EXPECT_EQ(names.size(), 9);
    EXPECT_EQ(Build(m_root + "a*t", names, true), 0);
    EXPECT_EQ(names, QStringList({"a.txt", "ab.txt"}));
    EXPECT_EQ(Build(m_root + QStringLiteral("*دنیا*"), names, true), 0);
    EXPECT_EQ(names, QStringList({QStringLiteral("سلام دنیا.txt")}));

    // A name that is not a pattern is looked up directly.
    EXPECT_EQ(Build(m_root + "with space.txt", names, true), 0);
    EXPECT_EQ(names, QStringList({"with space.txt"}));

    // Directories, FIFOs, sockets and dangling links never count, by name or by pattern.
    for (const QString item :
         {"folder.txt", "pipe.txt", "socket.txt", "dangling.txt", "f*.txt", "p?pe.txt"}) {
        EXPECT_EQ(Build(m_root + item, names, true), err::NotFound) << item.toStdString();
        EXPECT_EQ(Build(m_root + item, names, false), err::NotFound) << item.toStdString();
    }
    EXPECT_EQ(Build(m_root + "*.zip", names, true), err::NotFound);
    // Case matters, as it does for every other program here.
    EXPECT_EQ(Build(m_root + "A.TXT", names, true), err::NotFound);
    ::close(sock);
}

TEST_F(FileListTest, BracketsAreLiteralAndEscapesMakeWildcardsLiteral)
{
    Make("r[1].txt");
    Make("r1.txt");
    Make("star*.txt");
    Make("starX.txt");
    Make("q?.txt");
    Make("qa.txt");
    Make("back\\slash.txt");
    MakeFolder("odd*dir");
    Make("odd*dir/in.txt");
    QStringList names;

    EXPECT_EQ(Build(m_root + "r[1].txt", names, true), 0);
    EXPECT_EQ(names, QStringList({"r[1].txt"}));
    EXPECT_EQ(Build(m_root + "r[1]*", names, true), 0);
    EXPECT_EQ(names, QStringList({"r[1].txt"}));

    EXPECT_EQ(Build(m_root + "star*.txt", names, true), 0);
    EXPECT_EQ(names, QStringList({"star*.txt", "starX.txt"}));
    EXPECT_EQ(Build(EscapeFileListName(m_root + "star*.txt"), names, true), 0);
    EXPECT_EQ(names, QStringList({"star*.txt"}));
    EXPECT_EQ(Build(EscapeFileListName(m_root + "q?.txt"), names, true), 0);
    EXPECT_EQ(names, QStringList({"q?.txt"}));
    EXPECT_EQ(Build(EscapeFileListName(m_root + "back\\slash.txt"), names, true), 0);
    EXPECT_EQ(names, QStringList({"back\\slash.txt"}));
    // The escaped folder part is unescaped in the names found.
    EXPECT_EQ(Build(EscapeFileListName(m_root + "odd*dir/") + "*.txt", names, true), 0);
    EXPECT_EQ(names, QStringList({"odd*dir/in.txt"}));

    EXPECT_TRUE(HasFileListSeparator("a|b"));
    EXPECT_TRUE(HasFileListSeparator("a\nb"));
    EXPECT_FALSE(HasFileListSeparator("a b*?>[].txt"));
}

TEST_F(FileListTest, StrictParsingRefusesWhatLenientParsingPassesOver)
{
    Make("a.txt");
    Make("empty.txt", 0);
    QStringList names;
    const QString a = m_root + "a.txt";

    EXPECT_EQ(Build(a + "|missing.txt", names, true), err::NotFound);
    EXPECT_EQ(Build(a + "|missing.txt", names, false), 0);
    EXPECT_EQ(names, QStringList({"a.txt"}));

    EXPECT_EQ(Build(a + "|empty.txt", names, true), err::NoData);
    EXPECT_EQ(Build(m_root + "*.txt", names, true), err::NoData);
    EXPECT_EQ(Build(m_root + "*.txt", names, false), 0);
    EXPECT_EQ(names, QStringList({"a.txt"}));

    EXPECT_EQ(Build(m_root + "empty.txt|missing.txt", names, false), err::NotFound);
    EXPECT_EQ(Build(m_root + "nothing/*", names, false), err::NotFound);
}

TEST_F(FileListTest, SizesAreExactAndFilesOfTwoGigabytesAreNotListed)
{
    // Sparse files: no disk space is used.
    Make("largest.bin", 0x7FFFFFFF);
    Make("huge.bin", 0x80000000LL);
    Make("bigger.bin", 0x100000005LL);
    Make("small.bin", 5);
    QStringList names;

    EXPECT_EQ(Build(m_root + "largest.bin|small.bin", names, true), 0);
    ASSERT_EQ(m_last.size(), 2);
    EXPECT_EQ(m_last[0].FileSize, 0x7FFFFFFF);
    EXPECT_EQ(m_last[1].FileSize, 5);

    EXPECT_EQ(Build(m_root + "huge.bin|small.bin", names, true), err::InvalidArgument);
    EXPECT_EQ(Build(m_root + "small.bin|bigger.bin", names, true), err::InvalidArgument);
    EXPECT_EQ(Build(m_root + "*.bin", names, false), 0);
    EXPECT_EQ(names, QStringList({"largest.bin", "small.bin"}));
    EXPECT_EQ(Build(m_root + "bigger.bin", names, false), err::NotFound);
}

TEST_F(FileListTest, NarrowAndWideSearchesAndNamesThatCannotBeCarried)
{
    Make(QStringLiteral("نامه.txt"));
    // Bytes that are not UTF-8 cannot be named by a QString without change.
    const int fd = ::open((QFile::encodeName(m_root) + "bad\xff.txt").constData(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "abc", 3), 3);
    ::close(fd);
    QStringList names;

    for (const bool wide : {true, false}) {
        EXPECT_EQ(Build(m_root + "*.txt", names, true, true, wide), 0);
        EXPECT_EQ(names, QStringList({QStringLiteral("نامه.txt")}));
        EXPECT_EQ(Build(m_root + QStringLiteral("نامه.txt"), names, true, true, wide), 0);
    }

    // Without the wide calls a wide search finds nothing; the narrow one is untouched.
    SetWideFileApiProbe([] { return ENOSYS; });
    EXPECT_EQ(Build(m_root + "*.txt", names, false, true, true), err::NotFound);
    EXPECT_EQ(Build(m_root + QStringLiteral("نامه.txt"), names, false, true, true), err::NotFound);
    EXPECT_EQ(Build(m_root + "*.txt", names, true, true, false), 0);
    EXPECT_EQ(names.size(), 1);
}

TEST_F(FileListTest, ANamedFileIsFoundInAFolderThatCannotBeListed)
{
    MakeFolder("locked");
    Make("locked/inside.txt");
    ASSERT_EQ(::chmod(QFile::encodeName(m_root + "locked").constData(), 0311), 0);
    QStringList names;
    const int code = Build(m_root + "locked/inside.txt", names, true);
    ::chmod(QFile::encodeName(m_root + "locked").constData(), 0755);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(names, QStringList({"locked/inside.txt"}));
}

} // namespace
