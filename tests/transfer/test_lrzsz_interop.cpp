// QvFile against the lrzsz programs run as black-box peers on a
// pseudo-terminal: our sender to rz, sz to our receiver, resume both ways
// and a remote abort. Every received file is compared byte for byte.
#include "PeerProcess.h"
#include "TransferTestSupport.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

using namespace qv;
using namespace qv::test;

class LrzszInterop : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!PeerProcess::Available("sz") || !PeerProcess::Available("rz"))
            GTEST_SKIP() << "lrzsz is not installed (scripts/setup installs it)";
        ASSERT_TRUE(ourDir.isValid());
        ASSERT_TRUE(peerDir.isValid());
    }

    QString Ours(const QString& name) const { return ourDir.path() + "/" + name; }
    QString Peers(const QString& name) const { return peerDir.path() + "/" + name; }

    // Starts the peer and puts our component on the other end of its pty.
    bool StartPeer(const QStringList& args)
    {
        side.reset();
        peer = std::make_unique<PeerProcess>();
        const int master = peer->Start(args, peerDir.path());
        if (master < 0)
            return false;
        side = std::make_unique<Side>(master);
        return side->Open();
    }

    bool WaitEnd(int boundMs = 60000)
    {
        return WaitFor([this] { return side->Ended() && peer->Exited(); }, boundMs);
    }

    QTemporaryDir ourDir;
    QTemporaryDir peerDir;
    std::unique_ptr<PeerProcess> peer = std::make_unique<PeerProcess>();
    std::unique_ptr<Side> side;
};

std::vector<std::pair<QString, QByteArray>> Batch()
{
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    return {
        {"random.bin", RandomBytes(300000, 11)},
        {"cans.bin", QByteArray(3000, '\x18')},
        {"all.bin", all.repeated(17)},
        {"k1025.bin", RandomBytes(1025, 12)},
        {QString::fromUtf8("نامه ها.txt"), QByteArray("salaam\r\n").repeated(100)},
    };
}

TEST_F(LrzszInterop, OurSenderToRz)
{
    const auto files = Batch();
    QString list;
    for (const auto& [name, bytes] : files) {
        ASSERT_TRUE(WriteFile(Ours(name), bytes));
        list += Ours(name) + "\r\n";
    }
    ASSERT_TRUE(StartPeer({"rz", "-b", "-y", "-q"}));
    ASSERT_EQ(side->file.SendFiles(list), 0);
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(side->LastParam(tsSendModeEnd), 0) << side->Trace();
    EXPECT_FALSE(side->Has(tsError));
    EXPECT_EQ(peer->ExitCode(), 0);
    for (const auto& [name, bytes] : files)
        EXPECT_EQ(ReadFile(Peers(name)), bytes) << name.toStdString();
}

struct SzVariant
{
    const char* label;
    QStringList options;
};

class SzToOurReceiver : public LrzszInterop, public ::testing::WithParamInterface<SzVariant>
{
};

TEST_P(SzToOurReceiver, BatchArrivesByteIdentical)
{
    auto files = Batch();
    files.push_back({"empty.dat", QByteArray()});
    QStringList args{"sz", "-q"};
    args += GetParam().options;
    for (const auto& [name, bytes] : files) {
        ASSERT_TRUE(WriteFile(Peers(name), bytes));
        args << name;
    }
    ASSERT_TRUE(StartPeer(args));
    side->file.Transfer().SetReceiveFolder(ourDir.path());
    ASSERT_EQ(side->file.ListenMode(true), 0);
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(side->LastParam(tsReceiveModeEnd), 0) << side->Trace();
    EXPECT_FALSE(side->Has(tsError));
    EXPECT_EQ(peer->ExitCode(), 0);
    EXPECT_EQ(side->Count(tsFileReceiveDone), int(files.size()));
    for (const auto& [name, bytes] : files)
        EXPECT_EQ(ReadFile(Ours(name)), bytes) << name.toStdString();
    EXPECT_EQ(side->file.OperationMode(), omListening);
}

INSTANTIATE_TEST_SUITE_P(Variants, SzToOurReceiver,
                         ::testing::Values(SzVariant{"plain", {}}, SzVariant{"escaped", {"-e"}},
                                           SzVariant{"windowed", {"-w", "2048"}}, SzVariant{"k8", {"-8"}}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(LrzszInterop, SzResumesOurPartialFile)
{
    const QByteArray original = RandomBytes(200000, 21);
    ASSERT_TRUE(WriteFile(Peers("big.bin"), original));
    ASSERT_TRUE(WriteFile(Ours("big.bin"), original.left(77777)));
    ASSERT_TRUE(StartPeer({"sz", "-q", "-r", "big.bin"}));
    side->file.Transfer().SetReceiveFolder(ourDir.path());
    side->file.Transfer().SetReceiveExistingFiles(efResumeTransfer);
    ASSERT_EQ(side->file.ListenMode(true), 0);
    ASSERT_TRUE(WaitEnd());
    EXPECT_FALSE(side->Has(tsError));
    EXPECT_EQ(ReadFile(Ours("big.bin")), original);
    EXPECT_EQ(FolderEntries(ourDir.path()), QStringList{"big.bin"});
    // sz confirmed the part with its CRC, and the data came from its end.
    EXPECT_FALSE(side->Has(tsFileReceiveNotResumed));
    bool resumed = false;
    for (const auto& p : side->progress)
        resumed |= p.op == toReceiving && p.fileBytes == 0 && p.totalBytes == 77777;
    EXPECT_TRUE(resumed);
}

TEST_F(LrzszInterop, SzCannotSpliceAnotherFileOntoOurs)
{
    const QByteArray original = RandomBytes(100000, 25);
    const QByteArray other = RandomBytes(30000, 26);
    ASSERT_TRUE(WriteFile(Peers("same.bin"), original));
    ASSERT_TRUE(WriteFile(Ours("same.bin"), other));
    ASSERT_TRUE(StartPeer({"sz", "-q", "-r", "same.bin"}));
    side->file.Transfer().SetReceiveFolder(ourDir.path());
    side->file.Transfer().SetReceiveExistingFiles(efResumeTransfer);
    ASSERT_EQ(side->file.ListenMode(true), 0);
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(side->LastParam(tsReceiveModeEnd), 0) << side->Trace();
    EXPECT_EQ(side->LastParam(tsFileReceiveNotResumed), 0);
    EXPECT_EQ(ReadFile(Ours("same.bin")), other);
    EXPECT_EQ(ReadFile(Ours("same0.bin")), original);
}

TEST_F(LrzszInterop, EmptyFilesReachRz)
{
    ASSERT_TRUE(WriteFile(Ours("alone.txt"), QByteArray()));
    ASSERT_TRUE(StartPeer({"rz", "-b", "-y", "-q"}));
    ASSERT_EQ(side->file.SendFiles(Ours("alone.txt")), 0);
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(side->LastParam(tsSendModeEnd), 0) << side->Trace();
    EXPECT_TRUE(QFileInfo::exists(Peers("alone.txt")));

    const std::vector<std::pair<QString, QByteArray>> batch{
        {"e1.txt", QByteArray()}, {"mid.bin", RandomBytes(5000, 27)}, {"e2.txt", QByteArray()}};
    QString list;
    for (const auto& [name, bytes] : batch) {
        ASSERT_TRUE(WriteFile(Ours(name), bytes));
        list += Ours(name) + "\r\n";
    }
    ASSERT_TRUE(StartPeer({"rz", "-b", "-y", "-q"}));
    ASSERT_EQ(side->file.SendFiles(list), 0);
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(side->LastParam(tsSendModeEnd), 0) << side->Trace();
    EXPECT_EQ(side->Count(tsFileSendDone), 3);
    for (const auto& [name, bytes] : batch)
        EXPECT_EQ(ReadFile(Peers(name)), bytes) << name.toStdString();
}

// Runs a test body with the process (and the peers it starts) in a zone far
// from UTC, with a half-hour offset.
class ZoneScope
{
public:
    explicit ZoneScope(const char* zone)
    {
        if (const char* old = ::getenv("TZ"))
            m_old = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ZoneScope()
    {
        if (m_old.empty())
            ::unsetenv("TZ");
        else
            ::setenv("TZ", m_old.c_str(), 1);
        ::tzset();
    }

private:
    std::string m_old;
};

std::int64_t ModifiedSecs(const QString& path)
{
    return QFileInfo(path).lastModified().toSecsSinceEpoch();
}

bool SetModified(const QString& path, std::int64_t secs)
{
    QFile f(path);
    return f.open(QIODevice::ReadWrite) &&
           f.setFileTime(QDateTime::fromSecsSinceEpoch(secs, Qt::UTC), QFileDevice::FileModificationTime);
}

TEST_F(LrzszInterop, DatesMeanTheSameInstantBothWays)
{
    ZoneScope tehran("Asia/Tehran");
    // An odd second: nothing rounds it to the two-second steps of old file
    // systems.
    const std::int64_t stamp = 1600000001;
    ASSERT_TRUE(WriteFile(Peers("theirs.txt"), "from sz"));
    ASSERT_TRUE(SetModified(Peers("theirs.txt"), stamp));
    ASSERT_TRUE(StartPeer({"sz", "-q", "theirs.txt"}));
    side->file.Transfer().SetReceiveFolder(ourDir.path());
    side->file.Transfer().SetReceiveFileDateTime(dtUseOriginal);
    ASSERT_EQ(side->file.ListenMode(true), 0);
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(ModifiedSecs(Ours("theirs.txt")), stamp);

    ASSERT_TRUE(WriteFile(Ours("ours.txt"), "to rz"));
    ASSERT_TRUE(SetModified(Ours("ours.txt"), stamp + 2000));
    ASSERT_TRUE(StartPeer({"rz", "-b", "-y", "-q"}));
    ASSERT_EQ(side->file.SendFiles(Ours("ours.txt")), 0);
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(ModifiedSecs(Peers("ours.txt")), stamp + 2000);
}

TEST_F(LrzszInterop, OurSenderResumesRzPartialFile)
{
    const QByteArray original = RandomBytes(150000, 22);
    ASSERT_TRUE(WriteFile(Ours("part.bin"), original));
    ASSERT_TRUE(WriteFile(Peers("part.bin"), original.left(50000)));
    ASSERT_TRUE(StartPeer({"rz", "-q", "-b", "-r"}));
    ASSERT_EQ(side->file.SendFiles(Ours("part.bin")), 0);
    ASSERT_TRUE(WaitEnd());
    EXPECT_EQ(side->LastParam(tsSendModeEnd), 0) << side->Trace();
    EXPECT_EQ(ReadFile(Peers("part.bin")), original);
    // Data went from where rz stood, not from the start.
    int fromStart = 0;
    for (const auto& p : side->progress)
        fromStart += p.op == toSending && p.fileBytes > 0 && p.fileBytes < 40000;
    EXPECT_EQ(fromStart, 0);
}

TEST_F(LrzszInterop, SzAbortedMidTransfer)
{
    const QByteArray original = RandomBytes(kSanitized ? 4 << 20 : 16 << 20, 23);
    ASSERT_TRUE(WriteFile(Peers("huge.bin"), original));
    ASSERT_TRUE(StartPeer({"sz", "-q", "huge.bin"}));
    side->file.Transfer().SetReceiveFolder(ourDir.path());
    ASSERT_EQ(side->file.ListenMode(true), 0);
    ASSERT_TRUE(WaitFor([this] { return side->maxFileBytes > 100000; }, 30000));
    peer->Signal(SIGTERM);
    ASSERT_TRUE(WaitFor([this] { return side->Ended(); }, 40000));
    EXPECT_EQ(side->LastParam(tsReceiveModeEnd), 1) << side->Trace();
    // Its cancel, or the end of its line found by our next write; never a
    // wait for time-outs when the line says the far side has gone.
    const int code = side->LastParam(tsError);
    EXPECT_TRUE(code == 607 || code == 500) << side->Trace();
    EXPECT_FALSE(side->Has(tsFileReceiveDone));
    EXPECT_EQ(side->file.OperationMode(), omListening);
    // What did arrive is a true prefix of the file.
    const QByteArray got = ReadFile(Ours("huge.bin"));
    EXPECT_LT(got.size(), original.size());
    EXPECT_EQ(got, original.left(got.size()));
}

TEST_F(LrzszInterop, RzAbortedWhileWeSend)
{
    const QByteArray original = RandomBytes(kSanitized ? 4 << 20 : 16 << 20, 24);
    ASSERT_TRUE(WriteFile(Ours("huge.bin"), original));
    ASSERT_TRUE(StartPeer({"rz", "-q", "-b"}));
    ASSERT_EQ(side->file.SendFiles(Ours("huge.bin")), 0);
    ASSERT_TRUE(WaitFor([this] { return side->maxFileBytes > 100000; }, 30000));
    peer->Signal(SIGTERM);
    ASSERT_TRUE(WaitFor([this] { return side->Ended(); }, 40000));
    EXPECT_EQ(side->LastParam(tsSendModeEnd), 1) << side->Trace();
    EXPECT_FALSE(side->Has(tsFileSendDone));
    EXPECT_NE(side->LastParam(tsError), -12345);
    std::fprintf(stderr, "%s\n", side->Trace().c_str());
}

} // namespace
