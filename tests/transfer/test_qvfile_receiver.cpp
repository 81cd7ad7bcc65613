// The receiving QvFile against a scripted sender, time-outs in virtual time:
// the exchange frame by frame, the existing-file policies, resume, hostile
// announcements and a receive folder that fails.
#include "ScriptedRemote.h"

#include "common/Clock.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>

namespace {

using namespace qv;
using namespace qv::test;
using namespace qv::zm;

class ReceiverTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        side = std::make_unique<Side>(line.a);
        ASSERT_TRUE(side->Open());
        remote = std::make_unique<ScriptedRemote>(line.b);
        side->file.Transfer().SetReceiveFolder(dir.path());
        ASSERT_EQ(side->file.ListenMode(true), 0);
    }
    void TearDown() override
    {
        side.reset();
        ::close(line.b);
    }

    QString Path(const QString& name) const { return dir.path() + "/" + name; }

    // "rz", ZRQINIT, and the receiver's ZRINIT.
    void Handshake()
    {
        remote->Start();
        const auto frames = remote->Take();
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames.back().header.type, ZRINIT);
    }

    // One whole file; returns what the receiver said after the ZEOF.
    std::string SendWholeFile(const QByteArray& name, const QByteArray& bytes, std::int64_t date = 0)
    {
        remote->Announce(name, bytes.size(), date);
        auto frames = remote->Take();
        if (frames.empty() || frames.back().header.type != ZRPOS)
            return "no ZRPOS: " + ScriptedRemote::Describe(frames);
        const std::uint32_t from = frames.back().header.Position();
        remote->Data(from, bytes.mid(from), ZCRCE);
        remote->SendBin(ZEOF, bytes.size());
        return ScriptedRemote::Describe(remote->Take());
    }

    void Finish()
    {
        remote->SendHex(ZFIN);
        const auto frames = remote->Take();
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames.back().header.type, ZFIN);
        remote->Send("OO");
    }

    ScopedVirtualClock clock;
    QTemporaryDir dir;
    Line line;
    std::unique_ptr<Side> side;
    std::unique_ptr<ScriptedRemote> remote;
};

TEST_F(ReceiverTest, ExchangeFrameByFrame)
{
    remote->Start();
    QByteArray raw = remote->TakeRaw();
    // ZRINIT in hex, flags 0x37 (CRC-32 offered), ending CR 0x8A XON.
    EXPECT_EQ(raw, EncodeHexHeader(ZHeader::WithFlags(ZRINIT, 0x37)));
    EXPECT_EQ(side->file.OperationMode(), omReceiving);

    remote->Announce("f.bin", 6, 0, 1, 6);
    auto frames = remote->Take();
    EXPECT_EQ(ScriptedRemote::Describe(frames), "9@0");
    EXPECT_EQ(side->LastParam(tsFileReceiveBegin), 0);

    // ZCRCQ is acknowledged and the data goes on; ZCRCW is acknowledged and
    // the receiver waits for the next ZDATA.
    remote->Data(0, "abc", ZCRCQ);
    raw = remote->TakeRaw();
    EXPECT_EQ(raw, EncodeHexHeader(ZHeader::WithPosition(ZACK, 3)));
    EXPECT_EQ(side->file.ProtocolState(), zsGetData);
    remote->Send(ScriptedRemote::Sub("de", ZCRCW));
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "3@5");
    EXPECT_EQ(side->file.ProtocolState(), zsWaitData);
    // A hex ZEOF after a ZCRCE frame end is accepted.
    remote->Data(5, "f", ZCRCE);
    remote->SendHex(ZEOF, 6);
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "1@922746880");
    EXPECT_EQ(ReadFile(Path("f.bin")), QByteArray("abcdef"));
    EXPECT_EQ(side->Count(tsFileReceiveDone), 1);

    remote->SendHex(ZFIN);
    raw = remote->TakeRaw();
    EXPECT_EQ(raw, EncodeHexHeader(ZHeader::WithPosition(ZFIN, 0)));
    // The sender's "OO" is swallowed; later text reaches the terminal again.
    remote->Send("OO");
    remote->Send("hello");
    EXPECT_EQ(side->terminal, QByteArray("hello"));
    EXPECT_EQ(side->LastParam(tsReceiveModeEnd), 0);
    EXPECT_EQ(side->file.OperationMode(), omListening);
    // Progress: opened, data rows below the size, end of file at 100.
    ASSERT_FALSE(side->progress.empty());
    EXPECT_EQ(side->progress.front().fileBytes, 0);
    EXPECT_EQ(side->progress.back().filePerc, 100);
    EXPECT_EQ(side->progress.back().totalPerc, 100);
}

// A sender that takes up the CRC-32 offered: every subpacket of a frame
// opened by a CRC-32 header is checked with CRC-32.
TEST_F(ReceiverTest, FramesWithCrc32AreCheckedWithIt)
{
    using R = ScriptedRemote;
    Handshake();
    remote->Send(R::Bin32(ZFILE, 0) + R::Sub32(BuildFileAnnouncement("c.bin", 8, 0, 1, 8), ZCRCW));
    EXPECT_EQ(R::Describe(remote->Take()), "9@0");
    QByteArray damaged = R::Sub32("abcd", ZCRCG);
    damaged[1] = 'B';
    remote->Send(R::Bin32(ZDATA, 0) + damaged);
    EXPECT_EQ(R::Describe(remote->Take()), "9@0");
    remote->Send(R::Bin32(ZDATA, 0) + R::Sub32(QByteArray("ab\x18\x11\x91\r"), ZCRCG) +
                 R::Sub32("gh", ZCRCE) + R::Bin32(ZEOF, 8));
    EXPECT_EQ(R::Describe(remote->Take()), "1@922746880");
    EXPECT_EQ(ReadFile(Path("c.bin")), QByteArray("ab\x18\x11\x91\rgh"));
    EXPECT_EQ(side->Count(tsFileReceiveDone), 1);
}

TEST_F(ReceiverTest, PositionsThatDoNotFitAreAskedForAgain)
{
    Handshake();
    remote->Announce("gap.bin", 10);
    remote->Take();
    // Data for a later place is not written; the file's position is asked for.
    remote->Data(4, "efghij");
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "9@0");
    remote->Data(0, "abcd");
    // A ZEOF beyond what is in place is not the end of the file.
    remote->SendBin(ZEOF, 10);
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "9@4");
    EXPECT_FALSE(side->Has(tsFileReceiveDone));
    remote->Data(4, "efghij");
    remote->SendBin(ZEOF, 10);
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "1@922746880");
    EXPECT_EQ(ReadFile(Path("gap.bin")), QByteArray("abcdefghij"));
}

TEST_F(ReceiverTest, DamagedFramesAreAskedForAgain)
{
    Handshake();
    // A damaged announcement: ZRINIT again, and the repeated ZFILE header is
    // taken as a header, not as data.
    const QByteArray header = EncodeBinaryHeader(ZHeader::WithPosition(ZFILE, 0));
    QByteArray bad = header + ScriptedRemote::Sub(BuildFileAnnouncement("d.bin", 8, 0, 1, 8), ZCRCW);
    bad[header.size()] = 'D';
    remote->Send(bad);
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "1@922746880");
    EXPECT_EQ(side->Count(tsFileReceiveBadPacket), 1);
    remote->Announce("d.bin", 8);
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "9@0");

    // A damaged data subpacket: ZRPOS at the file's position; the rest of the
    // chunk is ignored.
    remote->Data(0, "1234", ZCRCG);
    QByteArray sub = ScriptedRemote::Sub("5678", ZCRCE);
    sub[1] = 'X';
    remote->Send(sub + ScriptedRemote::Sub("zzzz", ZCRCE));
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "9@4");
    EXPECT_EQ(side->Count(tsFileReceiveBadPacket), 2);
    remote->Data(4, "5678");
    remote->SendBin(ZEOF, 8);
    remote->Take();
    EXPECT_EQ(ReadFile(Path("d.bin")), QByteArray("12345678"));

    // A sender that escapes everything sends ZSINIT in hex; it is accepted.
    remote->Send(EncodeHexHeader(ZHeader::WithPosition(ZSINIT, 0)) + ScriptedRemote::Sub("\x18\x18", ZCRCW));
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "3@0");
}

TEST_F(ReceiverTest, SubpacketsRunTogetherAreAskedForFromTheJoin)
{
    // The ZDLE before the first frame end was lost: the two subpackets pass
    // their CRC-16 as one. The first is kept, the rest asked for from its end.
    Handshake();
    remote->Announce("j.bin", 16);
    remote->Take();
    QByteArray wire =
        EncodeBinaryHeader(ZHeader::WithPosition(ZDATA, 0)) + ScriptedRemote::Sub("12345~", ZCRCG);
    wire.remove(wire.lastIndexOf("\x18i"), 1);
    remote->Send(wire + ScriptedRemote::Sub("67890", ZCRCG));
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "9@6");
    EXPECT_EQ(side->Count(tsFileReceiveBadPacket), 1);
    remote->Data(6, "67890abcde");
    remote->SendBin(ZEOF, 16);
    remote->Take();
    EXPECT_EQ(ReadFile(Path("j.bin")), QByteArray("12345~67890abcde"));
    EXPECT_TRUE(side->Has(tsFileReceiveDone));
}

TEST_F(ReceiverTest, RetryLimitStopsWith601)
{
    side->file.Transfer().SetMaxRetries(2);
    ASSERT_EQ(side->file.ListenMode(false), 0);
    ASSERT_EQ(side->file.ListenMode(true), 0);
    Handshake();
    remote->Announce("r.bin", 100);
    remote->Take();
    for (int i = 0; i < 3; ++i) {
        QByteArray sub = ScriptedRemote::Sub("data", ZCRCG);
        sub[0] = 'D';
        remote->Send(EncodeBinaryHeader(ZHeader::WithPosition(ZDATA, 0)) + sub);
    }
    EXPECT_EQ(side->LastParam(tsError), 601);
    EXPECT_EQ(side->LastParam(tsReceiveModeEnd), 1);
    // The cancel sequence went to the sender.
    remote->Take();
    EXPECT_TRUE(remote->AllBytes().contains(QByteArray(8, '\x18') + QByteArray(8, '\x08')));
}

TEST_F(ReceiverTest, EmptyFilesAndBatchesGoOn)
{
    Handshake();
    EXPECT_EQ(SendWholeFile("empty.txt", QByteArray()), "1@922746880");
    EXPECT_TRUE(QFileInfo::exists(Path("empty.txt")));
    EXPECT_EQ(QFileInfo(Path("empty.txt")).size(), 0);
    // The same name twice in a batch: the policy applies to the second too.
    EXPECT_EQ(SendWholeFile("a.txt", "first"), "1@922746880");
    EXPECT_EQ(SendWholeFile("a.txt", "second"), "1@922746880");
    Finish();
    EXPECT_EQ(side->Count(tsFileReceiveDone), 3);
    EXPECT_EQ(ReadFile(Path("a.txt")), QByteArray("first"));
    EXPECT_EQ(ReadFile(Path("a0.txt")), QByteArray("second"));
    EXPECT_FALSE(side->Has(tsError));
}

TEST_F(ReceiverTest, HostileNamesStayInsideTheFolder)
{
    struct Case
    {
        QByteArray announced;
        QString stored; // empty: skipped
    };
    const std::vector<Case> cases{
        {"../x1", "x1"},
        {"a/../../x2", "x2"},
        {"/etc/x3", "x3"},
        {"C:\\x4", "x4"},
        {"\\\\server\\share\\x5", "x5"},
        {"..", ""},
        {".", ""},
        {"", ""},
        {"   ", ""},
        {"esc\x1b[31mred\x07.txt", "esc_[31mred_.txt"},
        {QByteArray(400, 'n') + ".txt", QString(251, 'n') + ".txt"},
    };
    Handshake();
    for (const Case& c : cases) {
        side->states.clear();
        remote->Announce(c.announced, 3);
        const auto frames = remote->Take();
        ASSERT_FALSE(frames.empty()) << c.announced.toStdString();
        if (c.stored.isEmpty()) {
            EXPECT_EQ(frames.back().header.type, ZSKIP) << c.announced.toStdString();
            EXPECT_EQ(side->LastParam(tsFileReceiveBegin), 1);
            continue;
        }
        ASSERT_EQ(frames.back().header.type, ZRPOS) << c.announced.toStdString();
        remote->Data(0, "abc");
        remote->SendBin(ZEOF, 3);
        remote->Take();
        EXPECT_EQ(ReadFile(Path(c.stored)), QByteArray("abc")) << c.announced.toStdString();
        // Names in the events never carry control characters.
        for (const auto& e : side->states)
            for (QChar ch : e.name)
                EXPECT_GE(ch.unicode(), 0x20);
    }
    // A name without its terminating NUL and with no numbers after it.
    remote->AnnounceRaw("noterm");
    remote->Take();
    remote->Data(0, "xyz");
    remote->SendBin(ZEOF, 3);
    remote->Take();
    EXPECT_EQ(ReadFile(Path("noterm")), QByteArray("xyz"));
    Finish();
    // Nothing was written outside the folder.
    for (const char* outside : {"x1", "x2", "x3", "x4", "x5"})
        EXPECT_FALSE(QFileInfo::exists(dir.path() + "/../" + outside));
}

TEST_F(ReceiverTest, NumbersOutOfRangeAndCompressedTransports)
{
    Handshake();
    // Sizes and dates that are huge, negative-looking or not digits.
    const QByteArray weird[] = {
        QByteArray("w1") + '\0' + "99999999999999999999999 777777777777777777777 0 0 1 5" + '\0',
        QByteArray("w2") + '\0' + "-5 12x4 0 0 -1 abc" + '\0',
        QByteArray("w3") + '\0' + "3 99999999999999999999999999" + '\0',
    };
    for (const QByteArray& a : weird) {
        remote->AnnounceRaw(a);
        auto frames = remote->Take();
        ASSERT_FALSE(frames.empty());
        ASSERT_EQ(frames.back().header.type, ZRPOS);
        remote->Data(0, "more data than announced");
        remote->SendBin(ZEOF, 24);
        remote->Take();
    }
    EXPECT_EQ(ReadFile(Path("w1")), QByteArray("more data than announced"));
    EXPECT_EQ(ReadFile(Path("w3")), QByteArray("more data than announced"));
    EXPECT_EQ(side->Count(tsFileReceiveDone), 3);
    // Totals come from the first announcement only.
    EXPECT_EQ(side->file.Transfer().TotalFileCount(), 1);

    // A file that asks for a compressed transport is skipped.
    remote->AnnounceRaw(BuildFileAnnouncement("packed.z", 10, 0, 1, 10), 1u << 8);
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "5@0");
    EXPECT_EQ(side->LastParam(tsFileReceiveBegin), 1);
    EXPECT_FALSE(QFileInfo::exists(Path("packed.z")));
}

TEST_F(ReceiverTest, ExistingFilePolicies)
{
    TTransfer& t = side->file.Transfer();
    const QDateTime announced(QDate(2020, 5, 6), QTime(7, 8, 10), Qt::LocalTime);
    const std::int64_t date = QDateTime(announced.date(), announced.time(), Qt::UTC).toSecsSinceEpoch();
    auto plant = [&](const QString& name, const QByteArray& bytes, const QDateTime& when) {
        ASSERT_TRUE(WriteFile(Path(name), bytes));
        QFile f(Path(name));
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(when, QFileDevice::FileModificationTime));
    };
    Handshake();

    // New name: report.txt and report0.txt exist, report1.txt is made.
    plant("report.txt", "old", announced);
    plant("report0.txt", "old0", announced);
    EXPECT_EQ(SendWholeFile("report.txt", "new"), "1@922746880");
    EXPECT_EQ(ReadFile(Path("report1.txt")), QByteArray("new"));
    EXPECT_EQ(ReadFile(Path("report.txt")), QByteArray("old"));

    // Overwrite if newer: the same date is skipped, an older file replaced.
    t.SetReceiveExistingFiles(efOverwriteIfNewer);
    plant("same.txt", "keep", announced);
    remote->Announce("same.txt", 3, date);
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "5@0");
    plant("older.txt", "old", announced.addDays(-1));
    EXPECT_EQ(SendWholeFile("older.txt", "new", date), "1@922746880");
    EXPECT_EQ(ReadFile(Path("older.txt")), QByteArray("new"));

    // Skip, and a validation handler that skips: the folder is not touched.
    t.SetReceiveExistingFiles(efSkip);
    plant("s.txt", "keep", announced);
    remote->Announce("s.txt", 3);
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "5@0");
    side->file.SetOnTransferValidateReceivedFile(
        [](TComponent*, QByteArray& name, QDateTime&, int, bool& skip) { skip = name == "v.txt"; });
    remote->Announce("v.txt", 3);
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "5@0");
    EXPECT_FALSE(QFileInfo::exists(Path("v.txt")));
    side->file.SetOnTransferValidateReceivedFile(nullptr);

    // Overwrite replaces.
    t.SetReceiveExistingFiles(efOverwrite);
    EXPECT_EQ(SendWholeFile("s.txt", "replaced"), "1@922746880");
    EXPECT_EQ(ReadFile(Path("s.txt")), QByteArray("replaced"));

    // Resume: with 1000 of 5000 bytes in place the sender is asked for the
    // CRC of its first 1000; they match, and the data comes from 1000. A
    // file of the announced size that matches is complete and skipped; a
    // longer one goes by the alternative.
    t.SetReceiveExistingFiles(efResumeTransfer);
    const QByteArray whole = RandomBytes(5000, 7);
    plant("part.bin", whole.left(1000), announced);
    remote->Announce("part.bin", 5000);
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "13@1000");
    remote->SendBin(ZCRC, ScriptedRemote::Crc32Of(whole.left(1000)));
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "9@1000");
    remote->Data(1000, whole.mid(1000));
    remote->SendBin(ZEOF, 5000);
    remote->Take();
    EXPECT_EQ(ReadFile(Path("part.bin")), whole);
    plant("done.bin", "12345", announced);
    remote->Announce("done.bin", 5);
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "13@5");
    remote->SendHex(ZCRC, ScriptedRemote::Crc32Of("12345"));
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "5@0");
    plant("long.bin", "1234567", announced);
    EXPECT_EQ(SendWholeFile("long.bin", "abc"), "1@922746880");
    EXPECT_EQ(ReadFile(Path("long0.bin")), QByteArray("abc"));
    EXPECT_EQ(ReadFile(Path("long.bin")), QByteArray("1234567"));
    // An empty file in place is resumed from 0, with nothing to check.
    plant("zero.bin", QByteArray(), announced);
    EXPECT_EQ(SendWholeFile("zero.bin", "xyz"), "1@922746880");
    EXPECT_EQ(ReadFile(Path("zero.bin")), QByteArray("xyz"));
    // With the date check, a shorter file of another date is not resumed.
    t.SetResumedTransferCheckDate(true);
    plant("dated.bin", "ab", announced.addDays(-3));
    EXPECT_EQ(SendWholeFile("dated.bin", "abcd", date), "1@922746880");
    EXPECT_EQ(ReadFile(Path("dated0.bin")), QByteArray("abcd"));
    EXPECT_FALSE(side->Has(tsError));
}

TEST_F(ReceiverTest, FileDates)
{
    side->file.Transfer().SetReceiveFileDateTime(dtUseOriginal);
    Handshake();
    const QDateTime stamp(QDate(2019, 3, 4), QTime(5, 6, 8), Qt::LocalTime);
    const std::int64_t date = QDateTime(stamp.date(), stamp.time(), Qt::UTC).toSecsSinceEpoch();
    EXPECT_EQ(SendWholeFile("dated.txt", "d", date), "1@922746880");
    EXPECT_EQ(QFileInfo(Path("dated.txt")).lastModified().toSecsSinceEpoch(), stamp.toSecsSinceEpoch());
    // Without a date field the file gets the current time.
    remote->AnnounceRaw(QByteArray("undated.txt") + '\0' + "1" + '\0');
    remote->Take();
    remote->Data(0, "u");
    remote->SendBin(ZEOF, 1);
    remote->Take();
    const QDateTime now = Clock::Instance().Now();
    EXPECT_LE(
        std::abs(QFileInfo(Path("undated.txt")).lastModified().toSecsSinceEpoch() - now.toSecsSinceEpoch()),
        2);
}

TEST_F(ReceiverTest, ResumeNeverMakesAHybridFile)
{
    side->file.Transfer().SetReceiveExistingFiles(efResumeTransfer);
    ASSERT_TRUE(WriteFile(Path("other.bin"), "AAAAAAAAAA"));
    Handshake();
    // The sender's first ten bytes are others: the file in place is kept and
    // the new one is stored beside it, whole.
    const QByteArray incoming = "AAAAAAAAAB" + QByteArray(10, 'C');
    remote->Announce("other.bin", incoming.size());
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "13@10");
    remote->SendHex(ZCRC, ScriptedRemote::Crc32Of(incoming.left(10)));
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "9@0");
    EXPECT_EQ(side->LastParam(tsFileReceiveNotResumed), 0);
    remote->Data(0, incoming);
    remote->SendBin(ZEOF, incoming.size());
    remote->Take();
    EXPECT_EQ(ReadFile(Path("other.bin")), QByteArray("AAAAAAAAAA"));
    EXPECT_EQ(ReadFile(Path("other0.bin")), incoming);

    // A sender that does not answer the request cannot vouch for the file:
    // after the protocol time-out it is treated the same way.
    remote->Announce("other.bin", incoming.size());
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "13@10");
    clock->Advance(6100);
    EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "9@0");
    EXPECT_EQ(side->LastParam(tsFileReceiveNotResumed), 1);
    // Its late answer changes nothing.
    remote->SendHex(ZCRC, ScriptedRemote::Crc32Of("AAAAAAAAAA"));
    EXPECT_TRUE(remote->Take().empty());
    remote->Data(0, incoming);
    remote->SendBin(ZEOF, incoming.size());
    remote->Take();
    EXPECT_EQ(ReadFile(Path("other1.bin")), incoming);
    EXPECT_EQ(ReadFile(Path("other.bin")), QByteArray("AAAAAAAAAA"));
    EXPECT_FALSE(side->Has(tsError));
}

TEST_F(ReceiverTest, LinksAndFailingFolders)
{
    // A symbolic link under the incoming name is never followed.
    QTemporaryDir elsewhere;
    const QString victim = elsewhere.path() + "/victim";
    ASSERT_TRUE(WriteFile(victim, "precious"));
    ASSERT_EQ(::symlink(victim.toUtf8().constData(), Path("link.txt").toUtf8().constData()), 0);
    side->file.Transfer().SetReceiveExistingFiles(efOverwrite);
    Handshake();
    EXPECT_EQ(SendWholeFile("link.txt", "payload"), "1@922746880");
    EXPECT_EQ(ReadFile(victim), QByteArray("precious"));
    EXPECT_EQ(ReadFile(Path("link0.txt")), QByteArray("payload"));
    EXPECT_TRUE(QFileInfo(Path("link.txt")).isSymLink());
    // Nor is a hard link: a file with a second name elsewhere is not ours.
    ASSERT_EQ(::link(victim.toUtf8().constData(), Path("hard.txt").toUtf8().constData()), 0);
    EXPECT_EQ(SendWholeFile("hard.txt", "payload"), "1@922746880");
    EXPECT_EQ(ReadFile(victim), QByteArray("precious"));
    EXPECT_EQ(ReadFile(Path("hard0.txt")), QByteArray("payload"));

    // A link planted between the look and the open, from the handler that
    // runs in between: a new name and an overwritten one alike.
    QString plantAt;
    side->file.SetOnTransferStateEvent([&](TComponent*, TTransferState s, const QString& name, int param) {
        side->states.push_back({s, name, param});
        if (s != tsFileReceiveBegin || plantAt.isEmpty())
            return;
        ::unlink(plantAt.toUtf8().constData());
        if (plantAt.endsWith("sym.txt"))
            ::symlink(victim.toUtf8().constData(), plantAt.toUtf8().constData());
        else
            ::link(victim.toUtf8().constData(), plantAt.toUtf8().constData());
    });
    ASSERT_TRUE(WriteFile(Path("replaced.txt"), "old"));
    for (const char* name : {"sym.txt", "replaced.txt"}) {
        plantAt = Path(name);
        side->states.clear();
        Handshake();
        remote->Announce(name, 7);
        remote->Take();
        EXPECT_EQ(side->LastParam(tsError), -100) << name;
        EXPECT_EQ(side->LastParam(tsReceiveModeEnd), 1) << name;
        EXPECT_EQ(ReadFile(victim), QByteArray("precious")) << name;
    }
    plantAt.clear();

    // A file system that fills up mid-file: an error, never "received".
    side->states.clear();
    Handshake();
    struct rlimit old
    {
    };
    ::getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = old;
    small.rlim_cur = 3000;
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &small);
    remote->Announce("full.bin", 8000);
    remote->Take();
    remote->Data(0, RandomBytes(2048, 1), ZCRCG);
    remote->Send(ScriptedRemote::Sub(RandomBytes(2048, 2), ZCRCG));
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(side->LastParam(tsError), -93);
    EXPECT_FALSE(side->Has(tsFileReceiveDone));
    // What did arrive stays for a resume, and the log is told how much.
    EXPECT_EQ(side->LastParam(tsFilePartiallyReceived), QFileInfo(Path("full.bin")).size());
    EXPECT_GT(QFileInfo(Path("full.bin")).size(), 2000);

    // A folder that is missing is named in the report.
    const QString missing = dir.path() + "/missing/deeper/";
    side->file.Transfer().SetReceiveFolder(missing);
    side->states.clear();
    Handshake();
    remote->Announce("nowhere.txt", 3);
    remote->Take();
    ASSERT_FALSE(side->states.empty());
    EXPECT_EQ(side->LastParam(tsError), -97);
    bool named = false;
    for (const auto& e : side->states)
        named |= e.state == tsError && e.name == missing;
    EXPECT_TRUE(named) << side->Trace();
    EXPECT_FALSE(side->Has(tsFileReceiveDone));
}

TEST_F(ReceiverTest, TimeOutsInVirtualTime)
{
    // Idle text arms nothing: no purge, no cancel, no event later.
    remote->Send("just chatting\r\n");
    clock->Advance(20000);
    ScriptedRemote::Settle();
    EXPECT_TRUE(remote->TakeRaw().isEmpty());
    EXPECT_EQ(side->terminal, QByteArray("just chatting\r\n"));

    // A line that ends in "rz" but starts no transfer: what follows is held
    // while a transfer could still begin, then all of it reaches the
    // terminal, and nothing is reported.
    side->states.clear();
    side->terminal.clear();
    remote->Send("cd he");
    remote->Send("rz\r\n$ ");
    EXPECT_EQ(side->terminal, QByteArray("cd he"));
    remote->Send("ls");
    EXPECT_EQ(side->file.OperationMode(), omListening);
    clock->Advance(6100);
    ScriptedRemote::Settle();
    EXPECT_EQ(side->terminal, QByteArray("cd herz\r\n$ ls"));
    EXPECT_TRUE(side->states.empty()) << side->Trace();
    EXPECT_TRUE(remote->TakeRaw().isEmpty());
    // Far more text than any transfer's start ends the wait at once.
    remote->Send("files.rz\r\n" + QByteArray(2000, 'x'));
    EXPECT_EQ(side->terminal.size(), 13 + 10 + 2000);

    // Waiting for a file: ZRINIT again on each time-out, the fourth stops
    // with 600.
    Handshake();
    for (int i = 0; i < 3; ++i) {
        clock->Advance(6100);
        ScriptedRemote::Settle();
        EXPECT_EQ(ScriptedRemote::Describe(remote->Take()), "1@922746880") << i;
    }
    clock->Advance(6100);
    ScriptedRemote::Settle();
    EXPECT_EQ(side->LastParam(tsError), 600);
    EXPECT_EQ(side->LastParam(tsReceiveModeEnd), 1);
    EXPECT_EQ(side->file.OperationMode(), omListening);
}

TEST_F(ReceiverTest, RemoteAbortStopsAndIsNotForwarded)
{
    Handshake();
    remote->Announce("ab.bin", 100);
    remote->Take();
    remote->Data(0, "1234", ZCRCG);
    remote->Send(QByteArray(5, '\x18') + "after");
    EXPECT_EQ(side->LastParam(tsError), 607);
    EXPECT_EQ(side->LastParam(tsReceiveModeEnd), 1);
    EXPECT_EQ(side->terminal, QByteArray());
    // Four CANs and another byte are data, not an abort.
    Handshake();
    remote->Send(QByteArray(4, '\x18') + "x");
    EXPECT_EQ(side->Count(tsError), 1);
}

TEST_F(ReceiverTest, FarSideReceiverWaitingForFiles)
{
    // The operator typed "rz" at the far side's shell: its echo, the
    // receiver's greeting and its ZRINIT come back.
    side->states.clear();
    int raised = 0;
    side->file.SetOnRemoteReceiverReady([&](QvFile* sender) {
        ++raised;
        EXPECT_EQ(sender, &side->file);
        // Sending from the handler works at once.
        EXPECT_EQ(sender->SendFiles(Path("out.txt")), 0);
    });
    ASSERT_TRUE(WriteFile(Path("out.txt"), "for the far side"));
    remote->Send("$ rz\r\nrz waiting to receive.");
    remote->Send(EncodeHexHeader(ZHeader::WithFlags(ZRINIT, CANFDX | CANOVIO)) + "$ ");
    ScriptedRemote::Settle();
    EXPECT_EQ(raised, 1);
    // Every byte of text reached the terminal; the header did not.
    EXPECT_EQ(side->terminal, QByteArray("$ rz\r\nrz waiting to receive.$ "));
    // The receive attempt left no trace: the first report is the send's.
    ASSERT_FALSE(side->states.empty());
    EXPECT_EQ(side->states.front().state, tsSendModeStart) << side->Trace();
    const QByteArray sent = remote->TakeRaw();
    EXPECT_TRUE(sent.startsWith("rz\r" + EncodeHexHeader(ZHeader::WithPosition(ZRQINIT, 0))));
    side->file.StopTransfer();
    remote->Take();

    // Turned away instead: the cancel sequence, and nothing else changes.
    side->file.SetOnRemoteReceiverReady([&](QvFile* sender) {
        ++raised;
        EXPECT_EQ(sender->CancelRemoteReceiver(), 0);
    });
    side->states.clear();
    remote->Send("rz\r\n" + EncodeHexHeader(ZHeader::WithFlags(ZRINIT, CANFDX)));
    ScriptedRemote::Settle();
    EXPECT_EQ(raised, 2);
    EXPECT_EQ(remote->TakeRaw(), QByteArray(8, '\x18') + QByteArray(8, '\x08'));
    EXPECT_TRUE(side->states.empty()) << side->Trace();
    EXPECT_EQ(side->file.OperationMode(), omListening);

    // Sending while the far side's greeting is still on its way is not
    // refused as "another operation": the text held so far is passed on.
    side->terminal.clear();
    remote->Send("rz\r\n");
    EXPECT_EQ(side->file.SendFiles(Path("out.txt")), 0);
    EXPECT_EQ(side->terminal, QByteArray("rz\r\n"));
    EXPECT_TRUE(remote->TakeRaw().startsWith("rz\r" + EncodeHexHeader(ZHeader::WithPosition(ZRQINIT, 0))));
    side->file.StopTransfer();
    side->port.Close();
    EXPECT_EQ(side->file.CancelRemoteReceiver(), 508);
}

TEST_F(ReceiverTest, PortThatClosesEndsTheTransfer)
{
    Handshake();
    remote->Announce("cut.bin", 10000);
    remote->Take();
    remote->Data(0, RandomBytes(3000, 9), ZCRCG);
    side->port.Close();
    ScriptedRemote::Settle();
    EXPECT_EQ(side->LastParam(tsError), 508);
    EXPECT_EQ(side->LastParam(tsFilePartiallyReceived), 3000);
    EXPECT_EQ(side->LastParam(tsReceiveModeEnd), 1);
    EXPECT_FALSE(side->Has(tsFileReceiveDone));
    EXPECT_EQ(side->file.OperationMode(), omListening);
    EXPECT_EQ(QFileInfo(Path("cut.bin")).size(), 3000);
}

TEST_F(ReceiverTest, StopWhileIdleLeavesInputAlone)
{
    // Bytes that wait at the port when the stop comes are still the
    // terminal's.
    side->states.clear();
    ASSERT_EQ(::send(line.b, "typed", 5, MSG_NOSIGNAL), 5);
    side->file.StopTransfer();
    ASSERT_TRUE(WaitFor([&] { return side->terminal == "typed"; }, 2000)) << side->terminal.toStdString();
    EXPECT_TRUE(side->states.empty());
}

TEST_F(ReceiverTest, NamesThatMeetAfterCleaningDoNotReplaceEachOther)
{
    side->file.Transfer().SetReceiveExistingFiles(efOverwrite);
    Handshake();
    EXPECT_EQ(SendWholeFile("a\x01"
                            "b.txt",
                            "first"),
              "1@922746880");
    EXPECT_EQ(SendWholeFile("a\x02"
                            "b.txt",
                            "second"),
              "1@922746880");
    EXPECT_EQ(ReadFile(Path("a_b.txt")), QByteArray("first"));
    EXPECT_EQ(ReadFile(Path("a_b0.txt")), QByteArray("second"));
    // A file from before the operation is overwritten as asked.
    ASSERT_TRUE(WriteFile(Path("old.txt"), "old"));
    EXPECT_EQ(SendWholeFile("old.txt", "new"), "1@922746880");
    EXPECT_EQ(ReadFile(Path("old.txt")), QByteArray("new"));
}

TEST(ReceivedNames, InvisibleMarksAndForeignCodePages)
{
    struct Case
    {
        QByteArray announced;
        QString stored;
    };
    const std::vector<Case> cases{
        // Right-to-left override: it would show as "invoiceexe.txt".
        {"invoice\xE2\x80\xAEtxt.exe", "invoice_txt.exe"},
        // A leading byte-order mark is dropped as the encoding's own.
        {"\xEF\xBB\xBF"
         "bom.txt",
         "bom.txt"},
        {"a\xEF\xBB\xBF"
         "b.txt",
         "a_b.txt"},
        {"a\xE2\x80\x8B"
         "b\xE2\x81\xA6"
         "c\xE2\x80\x8F.txt",
         "a_b_c_.txt"},
        // A non-joiner inside a Persian word is part of its spelling; alone
        // at the end it hides nothing either way.
        {QString::fromUtf8("نامه\u200Cها.txt").toUtf8(), QString::fromUtf8("نامه\u200Cها.txt")},
        {"x\xE2\x80\x8C.txt", "x_.txt"},
        // A name cut to fit right after a non-joiner loses the joiner too.
        {QString(QLatin1Char('a') + QString(123, QChar(0x0628)) + QChar(0x200C) + QString(10, QChar(0x0628)) +
                 QStringLiteral(".txt"))
             .toUtf8(),
         QLatin1Char('a') + QString(123, QChar(0x0628)) + QStringLiteral(".txt")},
        // Not UTF-8: the Windows peers' code page.
        {"\xE4\xC7\xE3\xE5.txt", QString::fromUtf8("نامه.txt")},
        {"caf\xE9.txt", QString::fromUtf8("café.txt")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SafeReceivedName(c.announced), c.stored) << c.announced.toHex().toStdString();
        // What a validate handler hands back unchanged stays as it is.
        EXPECT_EQ(SafeReceivedName(c.stored.toUtf8()), c.stored) << c.announced.toHex().toStdString();
    }
}

} // namespace
