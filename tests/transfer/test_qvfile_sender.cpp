// The sending QvFile against a scripted receiver, time-outs in virtual time:
// the announcement, the shape of the data, repositioning, skips, the finish
// and stops; plus the component's settings.
#include "ScriptedRemote.h"

#include "common/Clock.h"

#include <gtest/gtest.h>

namespace {

using namespace qv;
using namespace qv::test;
using namespace qv::zm;

const QByteArray kRinit = EncodeHexHeader(ZHeader::WithFlags(ZRINIT, 0x17));

class SenderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        side = std::make_unique<Side>(line.a);
        ASSERT_TRUE(side->Open());
        remote = std::make_unique<ScriptedRemote>(line.b);
    }
    void TearDown() override
    {
        side.reset();
        ::close(line.b);
    }

    QString Make(const QString& name, const QByteArray& bytes)
    {
        const QString path = dir.path() + "/" + name;
        EXPECT_TRUE(WriteFile(path, bytes));
        return path;
    }

    // SendFiles, the handshake, and the first announcement.
    std::vector<Frame> Begin(const QString& list)
    {
        EXPECT_EQ(side->file.SendFiles(list), 0);
        const QByteArray raw = remote->TakeRaw();
        EXPECT_TRUE(raw.startsWith("rz\r" + EncodeHexHeader(ZHeader::WithPosition(ZRQINIT, 0))))
            << raw.left(40).toHex().toStdString();
        remote->Send(kRinit);
        return remote->Take();
    }

    // Frames until ZEOF (the queue timer runs in virtual time).
    std::vector<Frame> Drain()
    {
        std::vector<Frame> all;
        for (int i = 0; i < 2000; ++i) {
            auto frames = remote->Take();
            all.insert(all.end(), frames.begin(), frames.end());
            if (!all.empty() && all.back().isHeader && all.back().header.type == ZEOF)
                break;
            clock->Advance(2);
        }
        return all;
    }

    static std::string Shape(const std::vector<Frame>& frames) { return ScriptedRemote::Describe(frames); }

    ScopedVirtualClock clock;
    QTemporaryDir dir;
    Line line;
    std::unique_ptr<Side> side;
    std::unique_ptr<ScriptedRemote> remote;
};

TEST_F(SenderTest, AnnouncementsCarryTheListFigures)
{
    const QString a = Make("a.bin", RandomBytes(1500, 1).replace('+', 'p').replace('~', 't'));
    const QString b = Make("b.bin", RandomBytes(500, 2).replace('+', 'p').replace('~', 't'));
    auto frames = Begin(a + "\r\n" + b);
    ASSERT_EQ(Shape(frames), "4@0 subk" + std::to_string(frames.back().data.size()));
    auto fields = frames.back().data.split('\0');
    ASSERT_EQ(fields.size(), 3); // name, numbers, and the empty rest after the last NUL
    EXPECT_EQ(fields[0], QByteArray("a.bin"));
    auto numbers = fields[1].split(' ');
    ASSERT_EQ(numbers.size(), 6);
    EXPECT_EQ(numbers[0], "1500");
    EXPECT_EQ(numbers[2] + numbers[3] + numbers[4] + numbers[5], QByteArray("0022000"));
    bool ok = false;
    EXPECT_GT(numbers[1].toLongLong(&ok, 8), 0);
    EXPECT_TRUE(ok);

    remote->SendHex(ZRPOS, 0);
    EXPECT_EQ(Shape(Drain()), "10@0 subi1024 subh476 11@1500");
    remote->Send(kRinit);
    frames = remote->Take();
    numbers = frames.back().data.split('\0')[1].split(' ');
    EXPECT_EQ(numbers[0] + " " + numbers[4] + " " + numbers[5], QByteArray("500 2 500"));
    EXPECT_EQ(side->Count(tsFileSendDone), 1);
    EXPECT_EQ(side->progress.back().totalBytes, 1500);
}

// A receiver that offers CRC-32 gets every binary header with it and every
// subpacket checked with it.
TEST_F(SenderTest, FramesGoWithCrc32WhenTheReceiverOffersIt)
{
    const QByteArray bytes = RandomBytes(3000, 9).replace('+', 'p').replace('~', 't');
    ASSERT_EQ(side->file.SendFiles(Make("a.bin", bytes)), 0);
    remote->TakeRaw();
    remote->Send(EncodeHexHeader(ZHeader::WithFlags(ZRINIT, 0x37)));
    auto frames = remote->Take();
    remote->SendHex(ZRPOS, 0);
    const auto data = Drain();
    frames.insert(frames.end(), data.begin(), data.end());
    EXPECT_EQ(Shape(frames), "4@0 subk" + std::to_string(frames.at(1).data.size()) +
                                 " 10@0 subi1024 subi1024 subh952 11@3000");
    QByteArray received;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].isHeader)
            EXPECT_EQ(frames[i].format, ZBIN32) << i;
        else if (i > 1)
            received += frames[i].data;
    }
    EXPECT_EQ(received, bytes);
}

TEST_F(SenderTest, SubpacketsEndEarlyAtPlusRunsAndTildes)
{
    struct Case
    {
        QByteArray bytes;
        std::string shape;
    };
    const std::vector<Case> cases{
        {RandomBytes(1024, 3).replace('+', 'p').replace('~', 't'), "10@0 subh1024 11@1024"},
        {RandomBytes(1025, 4).replace('+', 'p').replace('~', 't'), "10@0 subi1024 subh1 11@1025"},
        {"a+++b", "10@0 subi3 subh2 11@5"},
        {"x~~y", "10@0 subi2 subi1 subh1 11@4"},
    };
    QString list;
    for (std::size_t i = 0; i < cases.size(); ++i)
        list += Make(QString("c%1").arg(i), cases[i].bytes) + "|";
    auto frames = Begin(list);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        remote->SendHex(ZRPOS, 0);
        const auto data = Drain();
        EXPECT_EQ(Shape(data), cases[i].shape) << i;
        QByteArray joined;
        for (const auto& f : data)
            if (!f.isHeader)
                joined += f.data;
        EXPECT_EQ(joined, cases[i].bytes);
        remote->Send(kRinit);
        remote->Take();
    }
    EXPECT_EQ(side->file.ProtocolState(), zsWaitFin);
}

TEST_F(SenderTest, RepositioningWhileStreaming)
{
    const QByteArray bytes = RandomBytes(200000, 5).replace('+', 'p').replace('~', 't');
    Begin(Make("big.bin", bytes));
    // A start position beyond the file starts at 0.
    remote->SendHex(ZRPOS, 999999);
    auto frames = remote->Take();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(Shape({frames.front()}), "10@0");
    EXPECT_FALSE(frames.back().isHeader && frames.back().header.type == ZEOF);

    // ZRPOS mid-stream: the resume event, then ZDATA there and one ZCRCW frame.
    remote->ExpectHeader();
    remote->SendHex(ZRPOS, 2048);
    frames = remote->Take();
    EXPECT_EQ(side->LastParam(tsFileSendResumeAt), 2048);
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(Shape({frames.end() - 2, frames.end()}), "10@2048 subk1024");
    EXPECT_EQ(side->file.ProtocolState(), zsWaitAck);
    // A ZACK for another position is not ours.
    remote->SendHex(ZACK, 5000);
    EXPECT_TRUE(remote->Take().empty());
    remote->SendHex(ZACK, 3072);
    auto rest = Drain();
    ASSERT_FALSE(rest.empty());
    EXPECT_EQ(Shape({rest.front()}), "10@3072");
    QByteArray joined = bytes.left(3072);
    for (const auto& f : rest)
        if (!f.isHeader)
            joined += f.data;
    EXPECT_EQ(joined, bytes);

    // A ZRPOS at the very end goes as ZDATA with an empty ZCRCW frame; the
    // ZACK for it leads straight to ZEOF.
    remote->SendHex(ZRPOS, 200000);
    EXPECT_EQ(Shape(remote->Take()), "10@200000 subk0");
    remote->SendHex(ZACK, 200000);
    EXPECT_EQ(Shape(remote->Take()), "11@200000");
}

TEST_F(SenderTest, SkipsMoveToTheNextFileOnce)
{
    const QString list =
        Make("1.bin", RandomBytes(100000, 6)) + "|" + Make("2.bin", "two") + "|" + Make("3.bin", "three");
    Begin(list);
    remote->SendHex(ZRPOS, 0);
    remote->Take();
    // Skipped while its data streams: the next announcement is file 2.
    remote->ExpectHeader();
    remote->SendHex(ZSKIP);
    auto frames = remote->Take();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().data.split('\0')[0], QByteArray("2.bin"));
    // Skipped at its announcement: file 3.
    remote->SendHex(ZSKIP);
    frames = remote->Take();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().data.split('\0')[0], QByteArray("3.bin"));
    remote->SendHex(ZSKIP);
    EXPECT_EQ(Shape(remote->Take()), "8@0");
    EXPECT_EQ(side->Count(tsFileSendRemoteSkipped), 3);
    remote->SendHex(ZFIN);
    remote->Take();
    EXPECT_TRUE(remote->AllBytes().endsWith("OO"));
    EXPECT_EQ(side->LastParam(tsSendModeEnd), 0);
}

TEST_F(SenderTest, RepeatRequestsResendWholeFrames)
{
    Begin(Make("n.bin", "nak me"));
    // ZNAK and a damaged header both bring the whole announcement again.
    remote->SendHex(ZNAK);
    auto frames = remote->Take();
    EXPECT_EQ(Shape(frames), "4@0 subk" + std::to_string(frames.back().data.size()));
    QByteArray damaged = EncodeHexHeader(ZHeader::WithPosition(ZRPOS, 0));
    damaged[10] = '7';
    remote->Send(damaged);
    frames = remote->Take();
    EXPECT_EQ(Shape(frames), "4@0 subk" + std::to_string(frames.back().data.size()));
    EXPECT_EQ(side->Count(tsFileReceiveBadPacket), 1);
    // A ZRINIT that crossed the announcement on the line is stale: answering
    // it would make the receiver ask for the file twice.
    remote->Send(kRinit);
    EXPECT_TRUE(remote->Take().empty());
    // One that comes well after it says the announcement was lost.
    clock->Advance(2500);
    remote->Send(kRinit);
    EXPECT_EQ(Shape(remote->Take()).substr(0, 3), "4@0");
    remote->Send(kRinit);
    EXPECT_TRUE(remote->Take().empty()) << "and its own echo is stale again";
}

TEST_F(SenderTest, UnansweredFinalZfinEndsNormally)
{
    Begin(Make("f.bin", "fin"));
    remote->SendHex(ZRPOS, 0);
    Drain();
    remote->Send(kRinit);
    EXPECT_EQ(Shape(remote->Take()), "8@0");
    clock->Advance(6100);
    EXPECT_EQ(Shape(remote->Take()), "8@0");
    clock->Advance(6100);
    remote->Take();
    EXPECT_EQ(side->LastParam(tsSendModeEnd), 0);
    EXPECT_FALSE(side->Has(tsError));
    EXPECT_FALSE(remote->AllBytes().contains(QByteArray(8, '\x18')));
    EXPECT_EQ(side->file.OperationMode(), omIdle);
}

TEST_F(SenderTest, StopsFromEitherSide)
{
    const QString big = Make("big.bin", RandomBytes(300000, 7));
    Begin(big);
    remote->SendHex(ZRPOS, 0);
    remote->Take();
    side->file.StopTransfer();
    remote->Take();
    EXPECT_TRUE(remote->AllBytes().endsWith(QByteArray(8, '\x18') + QByteArray(8, '\x08')));
    ASSERT_GE(side->states.size(), 2u);
    EXPECT_EQ(side->states[side->states.size() - 2].state, tsSendModeEnd);
    EXPECT_EQ(side->states.back().state, tsIdleModeStart);
    EXPECT_EQ(side->LastParam(tsSendModeEnd), 1);
    EXPECT_FALSE(side->Has(tsError));
    // Stopping while idle reports nothing.
    const auto count = side->states.size();
    side->file.StopTransfer();
    EXPECT_EQ(side->states.size(), count);

    // The receiver aborts.
    Begin(big);
    remote->SendHex(ZABORT);
    EXPECT_EQ(side->LastParam(tsError), 607);
    remote->Take();
    Begin(big);
    remote->Send(QByteArray(5, '\x18'));
    EXPECT_EQ(side->Count(tsError), 2);
}

TEST_F(SenderTest, TimeOutsAndRefusals)
{
    const QString f = Make("t.bin", "tick");
    EXPECT_EQ(side->file.SendFiles(dir.path() + "/none*"), 606);
    EXPECT_EQ(side->file.SendFiles(f), 0);
    // A silent receiver: the handshake three times more, then 600.
    remote->Take();
    for (int i = 0; i < 3; ++i) {
        clock->Advance(6100);
        EXPECT_TRUE(remote->TakeRaw().startsWith("rz\r")) << i;
    }
    clock->Advance(6100);
    remote->Take();
    EXPECT_EQ(side->LastParam(tsError), 600);

    // While a receive runs, SendFiles changes nothing.
    ASSERT_EQ(side->file.ListenMode(true), 0);
    remote->Start();
    remote->Take();
    ASSERT_EQ(side->file.OperationMode(), omReceiving);
    EXPECT_EQ(side->file.SendFiles(f), 605);
    EXPECT_EQ(side->file.OperationMode(), omReceiving);
    EXPECT_EQ(side->file.ProtocolState(), zsWaitFile);
}

TEST_F(SenderTest, AnswersTheReceiversCrcRequest)
{
    const QByteArray bytes = RandomBytes(3000, 8);
    Begin(Make("c.bin", bytes));
    // Of the first 1000 bytes; 0 and a length beyond the end mean the file.
    for (const std::uint32_t length : {1000u, 0u, 99999u}) {
        remote->SendHex(ZCRC, length);
        const auto frames = remote->Take();
        ASSERT_EQ(frames.size(), 1u) << length;
        EXPECT_EQ(frames[0].header.type, ZCRC);
        EXPECT_EQ(frames[0].header.Position(),
                  ScriptedRemote::Crc32Of(length == 1000 ? bytes.left(1000) : bytes))
            << length;
    }
    // The announcement is still what a repeat request gets.
    remote->SendHex(ZNAK);
    EXPECT_EQ(Shape(remote->Take()).substr(0, 4), "4@0 ");
    remote->SendHex(ZRPOS, 1000);
    const auto data = Drain();
    ASSERT_FALSE(data.empty());
    EXPECT_EQ(data.front().header.Position(), 1000u);
}

TEST_F(SenderTest, EmptyFilesGoAndMissingOnesAreReported)
{
    const QString empty = Make("empty.txt", QByteArray());
    const QString full = Make("full.txt", "data");
    const QString doomed = Make("doomed.txt", "gone before its turn");
    const QString list = empty + "\r\n" + dir.path() + "/never.txt\r\n" + doomed + "\r\n" + full;
    auto frames = Begin(list);
    // The item that matched nothing is reported before anything goes.
    EXPECT_EQ(side->states[1].state, tsError);
    EXPECT_EQ(side->states[1].name, dir.path() + "/never.txt");
    EXPECT_EQ(side->states[1].param, -97);
    EXPECT_EQ(side->states[2].state, tsFileSendDone);
    EXPECT_EQ(side->states[2].param, 1);
    // The empty file is announced and sent like any other.
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(frames.back().data.startsWith(QByteArray("empty.txt") + '\0' + "0 "));
    ASSERT_TRUE(QFile::remove(doomed));
    remote->SendHex(ZRPOS, 0);
    EXPECT_EQ(Shape(Drain()), "10@0 subh0 11@0");
    remote->Send(kRinit);
    // The vanished file is passed over with its report; the last one goes.
    frames = remote->Take();
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(frames.back().data.startsWith("full.txt"));
    EXPECT_EQ(side->LastParam(tsError), -97);
    remote->SendHex(ZRPOS, 0);
    Drain();
    remote->Send(kRinit);
    EXPECT_EQ(Shape(remote->Take()), "8@0");
    remote->SendHex(ZFIN);
    remote->Take();
    EXPECT_EQ(side->Count(tsFileSendDone), 4);
    // With two files missing, the batch did not complete.
    EXPECT_EQ(side->LastParam(tsSendModeEnd), 1);

    // One empty file alone.
    side->states.clear();
    Begin(empty);
    remote->SendHex(ZRPOS, 0);
    Drain();
    remote->Send(kRinit);
    remote->SendHex(ZFIN);
    remote->Take();
    EXPECT_EQ(side->LastParam(tsFileSendDone), 0);
    EXPECT_EQ(side->LastParam(tsSendModeEnd), 0);
    EXPECT_EQ(side->progress.back().totalPerc, 100);
}

TEST(QvFileModel, SettingsAndModes)
{
    std::vector<QString> shown;
    SetShowMessageHandler([&](const QString& text) { shown.push_back(text); });
    QvFile file;
    TTransfer& t = file.Transfer();
    t.SetReceiveFolder("  /in  ");
    EXPECT_EQ(t.ReceiveFolder(), "/in/");
    t.SetReceiveFolder("   ");
    EXPECT_EQ(t.ReceiveFolder(), "");
    t.SetResumedTransferAlternative(efResumeTransfer);
    EXPECT_EQ(t.ResumedTransferAlternative(), efCreateWithNewName);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0],
              "The option efResumeTransfer is not applicable to the property ResumedTransferAlternative.");
    EXPECT_EQ(t.MaxRetries(), 122);

    TFileComp& c = file.Compress();
    EXPECT_EQ(c.FileExt(), ".BKP");
    c.SetFileExt("txt");
    EXPECT_EQ(c.FileExt(), ".txt");
    for (const char* bad : {".text", ".", "", ".a*"}) {
        c.SetFileExt(bad);
        EXPECT_EQ(c.FileExt(), ".txt") << bad;
    }
    EXPECT_EQ(shown.size(), 5u);
    EXPECT_EQ(shown.back(), "Invalid file extension name.");
    c.SetFileExt(".QV");
    EXPECT_EQ(c.FileExt(), ".QV");
    SetShowMessageHandler(nullptr);

    EXPECT_EQ(file.ListenMode(true), 603);
    EXPECT_EQ(file.SendFiles("x"), 603);
    QvSerialPort port;
    t.SetLinkedTo(&port);
    EXPECT_EQ(file.SendFiles("x"), 508);
    // Buffers too small for a transfer, then corrected.
    std::vector<TTransferState> states;
    file.SetOnTransferStateEvent(
        [&](TComponent*, TTransferState s, const QString&, int) { states.push_back(s); });
    port.SetMaxReceiveSize(4096);
    EXPECT_EQ(file.ListenMode(true), 604);
    EXPECT_FALSE(file.IsListening());
    port.SetMaxSendSize(4096);
    EXPECT_EQ(file.ListenMode(true), 0);
    EXPECT_EQ(file.ListenMode(true), 0);
    EXPECT_EQ(states, std::vector<TTransferState>{tsListenModeStart});
    // The port's handler is taken while listening and given back after.
    EXPECT_TRUE(bool(port.OnReceiveData()));
    EXPECT_EQ(file.ListenMode(false), 0);
    EXPECT_FALSE(bool(port.OnReceiveData()));

    // Percentages: exactly 100 before the end reads 99, a zero total 0.
    EXPECT_EQ(TransferPercent(50, 100), 50);
    EXPECT_EQ(TransferPercent(100, 100), 99);
    EXPECT_EQ(TransferPercent(5, 0), 0);
    EXPECT_EQ(TransferPercent(2, 3), 66);
}

TEST(QvFileModel, PortDestroyedFirst)
{
    QvFile file;
    {
        QvSerialPort port;
        port.SetMaxReceiveSize(4096);
        port.SetMaxSendSize(4096);
        file.Transfer().SetLinkedTo(&port);
        ASSERT_EQ(file.ListenMode(true), 0);
    }
    EXPECT_EQ(file.Transfer().LinkedTo(), nullptr);
    EXPECT_EQ(file.SendFiles("x"), 603);
}

} // namespace
