// Two QvFile components on the two ends of one line: batches both ways,
// every existing-file policy, resume, stops from either side, and a relay
// that damages the line.
#include "TransferTestSupport.h"

#include "common/ErrorCodes.h"

#include <QSocketNotifier>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using namespace qv;
using namespace qv::test;

class TransferPair : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(outDir.isValid());
        ASSERT_TRUE(inDir.isValid());
        Line line;
        ASSERT_GE(line.a, 0);
        sender = std::make_unique<Side>(line.a);
        receiver = std::make_unique<Side>(line.b);
        ASSERT_TRUE(sender->Open());
        ASSERT_TRUE(receiver->Open());
        receiver->file.Transfer().SetReceiveFolder(inDir.path());
        ASSERT_EQ(receiver->file.ListenMode(true), 0);
    }
    void TearDown() override
    {
        sender.reset();
        receiver.reset();
    }

    QString Out(const QString& name) const { return outDir.path() + "/" + name; }
    QString In(const QString& name) const { return inDir.path() + "/" + name; }

    // Writes the files and returns the list text for SendFiles.
    QString Prepare(const std::vector<std::pair<QString, QByteArray>>& files)
    {
        QString list;
        for (const auto& [name, bytes] : files) {
            EXPECT_TRUE(WriteFile(Out(name), bytes));
            list += Out(name) + "\r\n";
        }
        return list;
    }

    bool RunToEnd(int boundMs = 60000)
    {
        return WaitFor([this] { return sender->Ended() && receiver->Has(tsReceiveModeEnd); }, boundMs);
    }

    QTemporaryDir outDir;
    QTemporaryDir inDir;
    std::unique_ptr<Side> sender;
    std::unique_ptr<Side> receiver;
};

TEST_F(TransferPair, BatchOfAwkwardFilesArrivesByteIdentical)
{
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    const std::vector<std::pair<QString, QByteArray>> files{
        {"empty-first.txt", QByteArray()},
        {"one.bin", QByteArray("x")},
        {"empty-between.txt", QByteArray()},
        {"k1024.bin", RandomBytes(1024, 1)},
        {"k1025.bin", RandomBytes(1025, 2)},
        {"all256.bin", all.repeated(40)},
        {"cans.bin", QByteArray(5000, '\x18')},
        {"plus+++tilde~~.txt", QByteArray("a+++b~~c++~+~+++++\r\n").repeated(300)},
        {QString::fromUtf8("گزارش مالی ۱۴۰۲.txt"), QByteArray("persian name")},
        {"with space .dat", RandomBytes(70000, 3)},
    };
    const QString list = Prepare(files);
    ASSERT_EQ(sender->file.SendFiles(list), 0);
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(sender->LastParam(tsSendModeEnd), 0);
    EXPECT_EQ(receiver->LastParam(tsReceiveModeEnd), 0);
    EXPECT_FALSE(sender->Has(tsError));
    EXPECT_FALSE(receiver->Has(tsError));
    for (const auto& [name, bytes] : files)
        EXPECT_EQ(ReadFile(In(name)), bytes) << name.toStdString();
    EXPECT_EQ(receiver->Count(tsFileReceiveDone), int(files.size()));
    EXPECT_EQ(sender->Count(tsFileSendDone), int(files.size()));
    // Both sides are back where they were; the receiver's "OO" never reaches
    // the terminal.
    EXPECT_EQ(receiver->file.OperationMode(), omListening);
    EXPECT_EQ(sender->file.OperationMode(), omIdle);
    WaitFor([] { return false; }, 200);
    EXPECT_EQ(receiver->terminal, QByteArray());
}

TEST_F(TransferPair, LargeFile)
{
    // Smaller under the sanitizers, which run several times slower.
    const int size = kSanitized ? (4 << 20) : (20 << 20);
    const QByteArray bytes = RandomBytes(size, 9);
    ASSERT_EQ(sender->file.SendFiles(Prepare({{"large.bin", bytes}})), 0);
    ASSERT_TRUE(RunToEnd(240000));
    EXPECT_EQ(sender->LastParam(tsSendModeEnd), 0) << sender->Trace();
    EXPECT_EQ(ReadFile(In("large.bin")), bytes);
}

TEST_F(TransferPair, EveryExistingFilePolicy)
{
    const QDateTime old(QDate(2001, 2, 3), QTime(4, 5, 6));
    struct Case
    {
        TReceiveExistingFiles policy;
        QByteArray expectedThere; // content of in/name.txt afterwards
        QString extraName;        // another file made, if any
    };
    const std::vector<Case> cases{
        {efCreateWithNewName, "existing", "name0.txt"},
        {efOverwrite, "incoming", ""},
        {efOverwriteIfNewer, "incoming", ""}, // the existing one is older
        {efSkip, "existing", ""},
        {efResumeTransfer, "existing", "name0.txt"}, // longer in place: the alternative
    };
    for (const Case& c : cases) {
        for (const QString& name : FolderEntries(inDir.path()))
            QFile::remove(In(name));
        ASSERT_TRUE(
            WriteFile(In("name.txt"), c.policy == efResumeTransfer ? "existing, longer" : "existing"));
        QFile f(In("name.txt"));
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        f.setFileTime(old, QFileDevice::FileModificationTime);
        f.close();
        receiver->file.Transfer().SetReceiveExistingFiles(c.policy);
        sender->states.clear();
        receiver->states.clear();
        ASSERT_EQ(sender->file.SendFiles(Prepare({{"name.txt", "incoming"}})), 0);
        ASSERT_TRUE(RunToEnd()) << c.policy;
        EXPECT_EQ(sender->LastParam(tsSendModeEnd), 0) << c.policy;
        const QByteArray there = ReadFile(In("name.txt"));
        EXPECT_TRUE(there.startsWith(c.expectedThere)) << c.policy << " " << there.toStdString();
        if (!c.extraName.isEmpty())
            EXPECT_EQ(ReadFile(In(c.extraName)), QByteArray("incoming")) << c.policy;
        else
            EXPECT_EQ(FolderEntries(inDir.path()).size(), 1) << c.policy;
        const bool skipped = c.policy == efSkip;
        EXPECT_EQ(sender->Has(tsFileSendRemoteSkipped), skipped) << c.policy;
    }
}

TEST_F(TransferPair, ResumeOfAFileCutInTheMiddle)
{
    const QByteArray bytes = RandomBytes(300000, 10);
    ASSERT_TRUE(WriteFile(In("cut.bin"), bytes.left(123457)));
    receiver->file.Transfer().SetReceiveExistingFiles(efResumeTransfer);
    ASSERT_EQ(sender->file.SendFiles(Prepare({{"cut.bin", bytes}})), 0);
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(ReadFile(In("cut.bin")), bytes);
    EXPECT_EQ(FolderEntries(inDir.path()), QStringList{"cut.bin"});
    // The sender confirmed the part and was asked to go on from its end.
    bool resumed = false;
    for (const auto& p : sender->progress)
        resumed |= p.op == toSending && p.fileBytes > 123457 && p.fileBytes <= 123457 + 1024;
    EXPECT_TRUE(resumed);
    EXPECT_FALSE(receiver->Has(tsFileReceiveNotResumed));

    // Another file's start under the same name is not spliced onto.
    const QByteArray other = RandomBytes(200000, 12);
    ASSERT_TRUE(WriteFile(In("cut.bin"), other.left(50000)));
    sender->states.clear();
    receiver->states.clear();
    ASSERT_EQ(sender->file.SendFiles(Prepare({{"cut.bin", bytes}})), 0);
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(receiver->LastParam(tsFileReceiveNotResumed), 0);
    EXPECT_EQ(ReadFile(In("cut.bin")), other.left(50000));
    EXPECT_EQ(ReadFile(In("cut0.bin")), bytes);
}

TEST_F(TransferPair, StopFromEitherSide)
{
    const QByteArray bytes = RandomBytes(kSanitized ? (3 << 20) : (12 << 20), 11);
    const QString list = Prepare({{"stop.bin", bytes}});
    for (Side* stopper : {sender.get(), receiver.get()}) {
        sender->states.clear();
        receiver->states.clear();
        receiver->maxFileBytes = 0;
        ASSERT_EQ(sender->file.SendFiles(list), 0);
        ASSERT_TRUE(WaitFor([&] { return receiver->maxFileBytes > 200000; }, 60000));
        stopper->file.StopTransfer();
        ASSERT_TRUE(WaitFor([&] { return sender->Ended() && receiver->Has(tsReceiveModeEnd); }, 60000));
        Side* other = stopper == sender.get() ? receiver.get() : sender.get();
        EXPECT_FALSE(stopper->Has(tsError));
        EXPECT_EQ(other->LastParam(tsError), 607) << other->Trace();
        EXPECT_EQ(sender->LastParam(tsSendModeEnd), 1);
        EXPECT_EQ(receiver->LastParam(tsReceiveModeEnd), 1);
        EXPECT_FALSE(receiver->Has(tsFileReceiveDone));
        const QByteArray got = ReadFile(In("stop.bin"));
        EXPECT_LT(got.size(), bytes.size());
        EXPECT_EQ(got, bytes.left(got.size()));
        EXPECT_EQ(receiver->file.OperationMode(), omListening);
        EXPECT_EQ(sender->file.OperationMode(), omIdle);
        QFile::remove(In("stop.bin"));
    }
}

// Two sides joined through a relay that damages bytes at a chosen rate:
// flips a bit, drops the byte or inserts a random one.
class NoisyLine : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(outDir.isValid());
        ASSERT_TRUE(inDir.isValid());
        sender = std::make_unique<Side>(l1.a);
        receiver = std::make_unique<Side>(l2.a);
        SetNonBlocking(l1.b);
        SetNonBlocking(l2.b);
        // The relay runs on the event loop: it moves what has arrived, and
        // what the far end cannot take yet waits for room there.
        Watch(l1.b, l2.b, toReceiver);
        Watch(l2.b, l1.b, toSender);
        ASSERT_TRUE(sender->Open());
        ASSERT_TRUE(receiver->Open());
        receiver->file.Transfer().SetReceiveFolder(inDir.path());
        ASSERT_EQ(receiver->file.ListenMode(true), 0);
    }
    void TearDown() override
    {
        notifiers.clear();
        sender.reset();
        receiver.reset();
        ::close(l1.b);
        ::close(l2.b);
    }

    void Watch(int from, int to, QByteArray& backlog)
    {
        auto reader = std::make_unique<QSocketNotifier>(from, QSocketNotifier::Read);
        auto writer = std::make_unique<QSocketNotifier>(to, QSocketNotifier::Write);
        writer->setEnabled(false);
        QSocketNotifier* room = writer.get();
        QObject::connect(reader.get(), &QSocketNotifier::activated, [this, from, to, &backlog, room] {
            Move(from, to, backlog);
            room->setEnabled(!backlog.isEmpty());
        });
        QObject::connect(writer.get(), &QSocketNotifier::activated, [this, to, &backlog, room] {
            Flush(to, backlog);
            room->setEnabled(!backlog.isEmpty());
        });
        notifiers.push_back(std::move(reader));
        notifiers.push_back(std::move(writer));
    }

    static void Flush(int to, QByteArray& backlog)
    {
        const ssize_t w = ::send(to, backlog.constData(), backlog.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (w > 0)
            backlog.remove(0, w);
    }

    void Move(int from, int to, QByteArray& backlog)
    {
        char buffer[16384];
        const ssize_t n = ::recv(from, buffer, sizeof buffer, MSG_DONTWAIT);
        for (ssize_t i = 0; i < n; ++i) {
            const char b = buffer[i];
            if (rate > 0 && dice(rng) < rate) {
                ++damaged;
                switch (rng() % 3) {
                case 0:
                    backlog.append(char(b ^ (1 << (rng() % 8))));
                    break;
                case 1:
                    break; // dropped
                default:
                    backlog.append(b);
                    backlog.append(char(rng()));
                    break;
                }
            } else {
                backlog.append(b);
            }
        }
        if (!backlog.isEmpty())
            Flush(to, backlog);
    }

    QTemporaryDir outDir;
    QTemporaryDir inDir;
    Line l1;
    Line l2;
    std::unique_ptr<Side> sender;
    std::unique_ptr<Side> receiver;
    std::mt19937 rng{20240601};
    std::uniform_real_distribution<double> dice{0.0, 1.0};
    double rate = 0;
    int damaged = 0;
    QByteArray toReceiver;
    QByteArray toSender;
    std::vector<std::unique_ptr<QSocketNotifier>> notifiers;
};

TEST_F(NoisyLine, SurvivesOneByteInTenThousand)
{
    rate = 1e-4;
    const QByteArray bytes = RandomBytes(256 << 10, 12);
    ASSERT_TRUE(WriteFile(outDir.path() + "/noisy.bin", bytes));
    ASSERT_EQ(sender->file.SendFiles(outDir.path() + "/noisy.bin"), 0);
    ASSERT_TRUE(WaitFor([this] { return sender->Ended() && receiver->Has(tsReceiveModeEnd); }, 120000));
    EXPECT_GT(damaged, 5);
    EXPECT_EQ(receiver->LastParam(tsReceiveModeEnd), 0) << receiver->Trace();
    EXPECT_EQ(sender->LastParam(tsSendModeEnd), 0) << sender->Trace();
    EXPECT_EQ(ReadFile(inDir.path() + "/noisy.bin"), bytes);
    EXPECT_GT(receiver->Count(tsFileReceiveBadPacket), 0);
}

TEST_F(NoisyLine, HopelessLineEndsWithTheRightCode)
{
    rate = 1.0 / 30;
    sender->file.Transfer().SetMaxRetries(20);
    receiver->file.Transfer().SetMaxRetries(20);
    ASSERT_EQ(receiver->file.ListenMode(false), 0);
    ASSERT_EQ(receiver->file.ListenMode(true), 0); // the retry count starts again
    const QByteArray bytes = RandomBytes(256 << 10, 13);
    ASSERT_TRUE(WriteFile(outDir.path() + "/hopeless.bin", bytes));
    ASSERT_EQ(sender->file.SendFiles(outDir.path() + "/hopeless.bin"), 0);
    ASSERT_TRUE(WaitFor([this] { return sender->Ended() && receiver->Ended(); }, 150000));
    // The side that gives up first says why; the other hears the cancel
    // (607) or gives up on its own.
    const int r = receiver->LastParam(tsError);
    const int s = sender->LastParam(tsError);
    auto givesUp = [](int code) { return code == 600 || code == 601; };
    EXPECT_TRUE(givesUp(r) || givesUp(s)) << receiver->Trace() << " / " << sender->Trace();
    EXPECT_TRUE(givesUp(r) || r == 607) << receiver->Trace();
    EXPECT_TRUE(givesUp(s) || s == 607) << sender->Trace();
    EXPECT_FALSE(receiver->Has(tsFileReceiveDone));
    EXPECT_FALSE(sender->Has(tsFileSendDone));
}

} // namespace
