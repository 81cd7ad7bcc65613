// Two QvFile components on the two ends of one line: batches both ways,
// every existing-file policy, resume, stops from either side, and a relay
// that damages the line.
#include "TransferTestSupport.h"

#include "common/ErrorCodes.h"

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
        {"one.bin", QByteArray("x")},
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

} // namespace
