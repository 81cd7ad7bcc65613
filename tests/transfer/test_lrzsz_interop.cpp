// QvFile against the lrzsz programs run as black-box peers on a
// pseudo-terminal: our sender to rz, sz to our receiver, resume both ways
// and a remote abort. Every received file is compared byte for byte.
#include "PeerProcess.h"
#include "TransferTestSupport.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>

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
        const int master = peer.Start(args, peerDir.path());
        if (master < 0)
            return false;
        side = std::make_unique<Side>(master);
        return side->Open();
    }

    bool WaitEnd(int boundMs = 60000)
    {
        return WaitFor([this] { return side->Ended() && peer.Exited(); }, boundMs);
    }

    QTemporaryDir ourDir;
    QTemporaryDir peerDir;
    PeerProcess peer;
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
    EXPECT_EQ(peer.ExitCode(), 0);
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
    EXPECT_EQ(peer.ExitCode(), 0);
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
    // The receiver asked for the data from one byte before its end.
    bool resumed = false;
    for (const auto& p : side->progress)
        resumed |= p.op == toReceiving && p.fileBytes == 0 && p.totalBytes == 77776;
    EXPECT_TRUE(resumed);
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
    peer.Signal(SIGTERM);
    ASSERT_TRUE(WaitFor([this] { return side->Ended(); }, 40000));
    EXPECT_EQ(side->LastParam(tsReceiveModeEnd), 1) << side->Trace();
    const int code = side->LastParam(tsError);
    EXPECT_TRUE(code == 607 || code == 600) << side->Trace();
    std::fprintf(stderr, "%s\n", side->Trace().c_str());
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
    peer.Signal(SIGTERM);
    ASSERT_TRUE(WaitFor([this] { return side->Ended(); }, 40000));
    EXPECT_EQ(side->LastParam(tsSendModeEnd), 1) << side->Trace();
    EXPECT_FALSE(side->Has(tsFileSendDone));
    EXPECT_NE(side->LastParam(tsError), -12345);
    std::fprintf(stderr, "%s\n", side->Trace().c_str());
}

} // namespace
