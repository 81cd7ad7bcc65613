// The file stream and the low-level open calls: modes, create, codes, sharing
// locks, the narrow fallback, names that must survive and descriptor 0.
#include "common/ErrorCodes.h"
#include "common/FileStream.h"

#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace qv;

namespace {

class FileStreamTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    void TearDown() override { SetWideFileApiProbe(nullptr); }

    QString Path(const QString& name) const { return m_dir.path() + u'/' + name; }

    void WriteFile(const QString& name, const QByteArray& data)
    {
        QFile file(Path(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(data), data.size());
    }

    QByteArray ReadFile(const QString& name) const
    {
        QFile file(Path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    std::unique_ptr<TQvFileStream> Open(const QString& name, quint16 mode, int& code)
    {
        return std::make_unique<TQvFileStream>(Path(name), code, mode);
    }

    QTemporaryDir m_dir;
};

TEST_F(FileStreamTest, CreateTruncatesAnExistingFileAndTheStreamReadsWritesAndSeeks)
{
    WriteFile("data.bin", "old contents that must go");
    int code = 12345;
    auto stream = Open("data.bin", fmCreate, code);
    ASSERT_EQ(code, 0);
    EXPECT_TRUE(stream->IsOpen());
    EXPECT_TRUE(stream->UsesWideApi());
    EXPECT_EQ(stream->FileName(), Path("data.bin"));
    EXPECT_EQ(stream->Size(), 0);
    EXPECT_EQ(ReadFile("data.bin"), QByteArray());

    EXPECT_EQ(stream->Write("hello world", 11), 11);
    EXPECT_EQ(stream->Position(), 11);
    EXPECT_EQ(stream->Size(), 11);
    EXPECT_EQ(stream->Seek(-5, soEnd), 6);
    char buffer[16] = {};
    EXPECT_EQ(stream->Read(buffer, sizeof buffer), 5);
    EXPECT_EQ(QByteArray(buffer, 5), "world");
    EXPECT_EQ(stream->Read(buffer, sizeof buffer), 0) << "end of file is not a failure";
    EXPECT_TRUE(stream->SetPosition(0));
    EXPECT_EQ(stream->Seek(2, soCurrent), 2);
    EXPECT_TRUE(stream->SetSize(5));
    EXPECT_EQ(stream->Position(), 2);
    EXPECT_EQ(stream->Read(buffer, sizeof buffer), 3);
    EXPECT_EQ(QByteArray(buffer, 3), "llo");
    EXPECT_EQ(stream->LastError(), 0);
    stream.reset();
    EXPECT_EQ(ReadFile("data.bin"), "hello");

    // Create also makes files that did not exist.
    stream = Open("new.bin", fmCreate, code);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(QFile::exists(Path("new.bin")));
}

TEST_F(FileStreamTest, FailedOpensReportTheirCodeAndLeaveNoHandle)
{
    struct Case
    {
        const char* what;
        QString name;
        quint16 mode;
        int code;
    };
    ASSERT_EQ(::mkdir(QFile::encodeName(Path("folder")).constData(), 0755), 0);
    ASSERT_EQ(::mkfifo(QFile::encodeName(Path("pipe")).constData(), 0644), 0);
    const Case cases[] = {
        {"missing file", "missing.txt", fmOpenRead, err::NotFound},
        {"missing folder on create", "no/such/folder.txt", fmCreate, err::NotFound},
        {"folder opened as a file", "folder", fmOpenRead, err::Protected},
        {"folder created over", "folder", fmCreate, err::Protected},
        // A FIFO must be refused, not opened: opening it for reading would
        // wait for a writer forever.
        {"FIFO", "pipe", fmOpenRead, err::InvalidArgument},
        {"FIFO created over", "pipe", fmCreate, err::InvalidArgument},
        {"empty name", "", fmOpenRead, err::NotFound},
    };
    for (const Case& c : cases) {
        int code = 0;
        const QString name = c.name.isEmpty() ? QString() : Path(c.name);
        TQvFileStream stream(name, code, c.mode);
        EXPECT_EQ(code, c.code) << c.what;
        EXPECT_FALSE(stream.IsOpen()) << c.what;
        EXPECT_EQ(stream.Handle(), InvalidFileHandle) << c.what;
        EXPECT_TRUE(stream.FileName().isEmpty()) << c.what;
        char byte;
        EXPECT_EQ(stream.Read(&byte, 1), -1) << c.what;
        EXPECT_NE(stream.LastError(), 0) << c.what;
    }
    // Freeing the failed objects touched nothing.
    EXPECT_FALSE(QFile::exists(Path("missing.txt")));

    // Names that would reach another file than the one asked for.
    int code = 0;
    TQvFileStream withNul(Path(QStringLiteral("a") + QChar(u'\0') + "b"), code, fmCreate);
    EXPECT_EQ(code, err::BadNameSyntax);
    TQvFileStream loneSurrogate(Path(QString(QChar(0xD800)) + ".txt"), code, fmCreate);
    EXPECT_EQ(code, err::BadNameSyntax);
    EXPECT_FALSE(QFile::exists(Path("a")));
}

TEST_F(FileStreamTest, ModesOutsideTheTableAreRefusedBeforeAnyFileIsTouched)
{
    WriteFile("x.txt", "x");
    for (int sharing = 5; sharing <= 15; ++sharing) {
        int code = 0;
        TQvFileStream stream(Path("x.txt"), code, quint16(sharing << 4));
        EXPECT_EQ(code, err::InvalidArgument) << "sharing " << sharing;
        EXPECT_FALSE(stream.IsOpen());
    }
    int code = 0;
    TQvFileStream badAccess(Path("x.txt"), code, 0x0003);
    EXPECT_EQ(code, err::InvalidArgument);

    errno = 0;
    EXPECT_EQ(OpenExistingFile(Path("x.txt"), 0x0050, true), InvalidFileHandle);
    EXPECT_EQ(LastErrorCode(), err::InvalidArgument);
    // Create is not an open mode: OpenExistingFile never creates or truncates.
    EXPECT_EQ(OpenExistingFile(Path("x.txt"), fmCreate, true), InvalidFileHandle);
    EXPECT_EQ(ReadFile("x.txt"), "x");

    // Bits outside the access and sharing fields carry no meaning.
    TQvFileStream extraBits(Path("x.txt"), code, quint16(0x0100 | fmShareDenyNone));
    EXPECT_EQ(code, 0);
}

TEST_F(FileStreamTest, AccessModesLimitWhatTheStreamMayDo)
{
    WriteFile("x.txt", "abc");
    int code = 0;
    char buffer[4] = {};

    auto reader = Open("x.txt", fmOpenRead | fmShareDenyNone, code);
    ASSERT_EQ(code, 0);
    EXPECT_EQ(reader->Write("z", 1), -1);
    EXPECT_NE(reader->LastError(), 0);
    EXPECT_EQ(reader->Read(buffer, 3), 3);

    auto writer = Open("x.txt", fmOpenWrite | fmShareDenyNone, code);
    ASSERT_EQ(code, 0);
    EXPECT_EQ(writer->Read(buffer, 1), -1);
    EXPECT_EQ(writer->Write("Z", 1), 1);
    writer.reset();

    auto both = Open("x.txt", fmOpenReadWrite | fmShareDenyNone, code);
    ASSERT_EQ(code, 0);
    EXPECT_EQ(both->Read(buffer, 3), 3);
    EXPECT_EQ(QByteArray(buffer, 3), "Zbc") << "an open for writing must not truncate";
    EXPECT_EQ(both->Write("d", 1), 1);
    both.reset();
    EXPECT_EQ(ReadFile("x.txt"), "Zbcd");
}

TEST_F(FileStreamTest, SharingModesDecideWhetherASecondStreamGetsIn)
{
    struct Case
    {
        quint16 holder;
        quint16 second;
        int code;
    };
    constexpr int kShared = err::SharingViolation;
    const Case cases[] = {
        {fmOpenReadWrite | fmShareExclusive, fmOpenRead | fmShareDenyNone, kShared},
        {fmOpenRead | fmShareCompat, fmOpenRead | fmShareDenyNone, kShared},
        {fmOpenRead | fmShareDenyWrite, fmOpenRead | fmShareDenyWrite, 0},
        {fmOpenRead | fmShareDenyWrite, fmOpenRead | fmShareDenyNone, 0},
        {fmOpenRead | fmShareDenyWrite, fmOpenWrite | fmShareDenyNone, kShared},
        {fmOpenRead | fmShareDenyWrite, fmOpenRead | fmShareExclusive, kShared},
        {fmOpenRead | fmShareDenyNone, fmOpenWrite | fmShareDenyNone, 0},
        {fmOpenRead | fmShareDenyWrite, fmOpenReadWrite | fmShareDenyWrite, kShared},
        {fmOpenWrite | fmShareDenyRead, fmOpenRead | fmShareDenyNone, kShared},
        {fmCreate, fmOpenRead | fmShareDenyNone, kShared},
        {fmCreate, fmCreate, kShared},
    };
    for (const Case& c : cases) {
        WriteFile("shared.txt", "held data");
        int code = -1;
        auto holder = Open("shared.txt", c.holder, code);
        ASSERT_EQ(code, 0) << std::hex << c.holder;
        auto second = Open("shared.txt", c.second, code);
        EXPECT_EQ(code, c.code) << std::hex << "holder " << c.holder << ", second " << c.second;
        EXPECT_EQ(second->IsOpen(), c.code == 0);
        second.reset();
        holder.reset();
    }
}

TEST_F(FileStreamTest, ACreateNeverDestroysTheDataOfAStreamThatHoldsTheFile)
{
    WriteFile("held.txt", "precious");
    for (const quint16 holderMode :
         {quint16(fmOpenRead | fmShareExclusive), quint16(fmOpenRead | fmShareDenyWrite)}) {
        int code = 0;
        auto holder = Open("held.txt", holderMode, code);
        ASSERT_EQ(code, 0);
        auto creator = Open("held.txt", fmCreate, code);
        EXPECT_EQ(code, err::SharingViolation);
        EXPECT_FALSE(creator->IsOpen());
        EXPECT_EQ(ReadFile("held.txt"), "precious");

        errno = 0;
        EXPECT_EQ(CreateNewFile(Path("held.txt"), true), InvalidFileHandle);
        EXPECT_EQ(LastOsError(), oserr::SharingViolation);
        EXPECT_EQ(ReadFile("held.txt"), "precious");
        char buffer[8];
        EXPECT_EQ(holder->Read(buffer, 8), 8);
    }
}

TEST_F(FileStreamTest, LocksGoWithTheStreamOrTheHandle)
{
    WriteFile("f.txt", "1");
    int code = 0;
    auto holder = Open("f.txt", fmOpenReadWrite | fmShareExclusive, code);
    ASSERT_EQ(code, 0);
    holder.reset();
    auto next = Open("f.txt", fmOpenReadWrite | fmShareExclusive, code);
    EXPECT_EQ(code, 0) << "destroying the holder releases its lock";
    next.reset();

    // The raw calls hand the lock over with the descriptor.
    const FileHandle created = CreateNewFile(Path("f.txt"), true);
    ASSERT_TRUE(IsValidFileHandle(created));
    EXPECT_EQ(OpenExistingFile(Path("f.txt"), fmOpenRead | fmShareDenyNone, true), InvalidFileHandle);
    EXPECT_EQ(LastOsError(), oserr::SharingViolation);
    ::close(created);
    const FileHandle reopened = OpenExistingFile(Path("f.txt"), fmOpenRead | fmShareDenyNone, true);
    EXPECT_TRUE(IsValidFileHandle(reopened));
    ::close(reopened);
}

TEST_F(FileStreamTest, WithoutTheWideCallsTheStreamFallsBackToTheNarrowOnes)
{
    int probes = 0;
    SetWideFileApiProbe([&] {
        ++probes;
        return ENOSYS;
    });
    const QString name = QStringLiteral("گزارش روزانه.txt");
    int code = -1;
    auto created = Open(name, fmCreate, code);
    ASSERT_EQ(code, 0);
    EXPECT_FALSE(created->UsesWideApi());
    EXPECT_EQ(probes, 1);
    EXPECT_EQ(created->Write("salam", 5), 5);
    created.reset();
    // The narrow name is the same UTF-8 name the file system shows.
    EXPECT_EQ(ReadFile(name), "salam");

    auto opened = Open(name, fmOpenRead, code);
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(opened->UsesWideApi());
    opened.reset();

    // Both paths failing reports the narrow path's error.
    auto missing = Open("missing.txt", fmOpenRead, code);
    EXPECT_EQ(code, err::NotFound);
    EXPECT_FALSE(missing->UsesWideApi());

    // Any other failure of the wide call is the answer: no second attempt.
    probes = 0;
    SetWideFileApiProbe([&] {
        ++probes;
        return EACCES;
    });
    auto refused = Open("other.txt", fmCreate, code);
    EXPECT_EQ(code, err::Protected);
    EXPECT_TRUE(refused->UsesWideApi());
    EXPECT_EQ(probes, 1);
    EXPECT_FALSE(QFile::exists(Path("other.txt")));

    // The narrow calls never ask the probe.
    const FileHandle narrow = CreateNewFile(Path("narrow.txt"), false);
    EXPECT_TRUE(IsValidFileHandle(narrow));
    EXPECT_EQ(probes, 1);
    ::close(narrow);
}

TEST_F(FileStreamTest, PersianAndSpacedNamesSurviveOnBothPaths)
{
    const QString names[] = {QStringLiteral("فایل من.bin"), QStringLiteral("with  two spaces .txt"),
                             QStringLiteral("نامه‌ی ۱۴۰۲:نسخه ۲.txt")};
    for (const bool wide : {true, false}) {
        for (const QString& name : names) {
            const FileHandle fd = CreateNewFile(Path(name), wide);
            ASSERT_TRUE(IsValidFileHandle(fd)) << name.toStdString();
            ASSERT_EQ(::write(fd, "ok", 2), 2);
            ::close(fd);
            // The file system holds exactly the UTF-8 bytes of the name.
            struct stat st
            {
            };
            EXPECT_EQ(::stat((m_dir.path() + u'/' + name).toUtf8().constData(), &st), 0);
            EXPECT_EQ(st.st_size, 2);
            const FileHandle again = OpenExistingFile(Path(name), fmOpenRead, wide);
            EXPECT_TRUE(IsValidFileHandle(again));
            ::close(again);
            QFile::remove(Path(name));
        }
    }
}

TEST_F(FileStreamTest, DescriptorZeroIsAValidHandle)
{
    WriteFile("zero.txt", "on fd 0");
    // Standard input may already be closed when the runner starts us.
    const int savedStdin = ::fcntl(0, F_GETFD) >= 0 ? ::dup(0) : -1;
    ::close(0);

    int code = -1;
    auto stream = Open("zero.txt", fmOpenRead, code);
    const FileHandle handle = stream->Handle();
    char buffer[16] = {};
    const qint64 got = stream->Read(buffer, sizeof buffer);
    stream.reset();
    const bool closedByStream = ::fcntl(0, F_GETFD) < 0 && errno == EBADF;

    if (savedStdin >= 0) {
        ASSERT_EQ(::dup2(savedStdin, 0), 0);
        ::close(savedStdin);
    }

    EXPECT_EQ(code, 0);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(got, 7);
    EXPECT_EQ(QByteArray(buffer, 7), "on fd 0");
    EXPECT_TRUE(closedByStream);
}

} // namespace
