// vh-term's command line: what each form means, and every way it can be
// wrong answered with a sentence that names the word.
#include "cli/CliOptions.h"

#include <gtest/gtest.h>

namespace {

using namespace vh::cli;

Options Parse(const QString& line)
{
    return ParseOptions(line.split(' ', Qt::SkipEmptyParts));
}

TEST(CliOptions, FormsAndTheirDefaults)
{
    Options dial = Parse("--settings-dir /s dial 127000000001 --send a b --line 1");
    EXPECT_TRUE(dial.error.isEmpty()) << dial.error.toStdString();
    EXPECT_EQ(dial.command, Command::Dial);
    EXPECT_EQ(dial.number, "127000000001");
    EXPECT_EQ(dial.work, Work::Send);
    EXPECT_EQ(dial.files, (QStringList{"a", "b"}));
    EXPECT_EQ(dial.line, 1);
    EXPECT_EQ(dial.settingsDir, "/s");
    EXPECT_EQ(dial.waitSeconds, 90);

    Options answer = Parse("answer --rings=3 --receive --folder /in --existing resume --wait 0");
    EXPECT_TRUE(answer.error.isEmpty()) << answer.error.toStdString();
    EXPECT_EQ(answer.command, Command::Answer);
    EXPECT_EQ(answer.rings, 3);
    EXPECT_EQ(answer.work, Work::Receive);
    EXPECT_EQ(answer.folder, "/in");
    EXPECT_EQ(answer.existing, qv::efResumeTransfer);
    EXPECT_EQ(answer.waitSeconds, 0);

    EXPECT_EQ(Parse("answer").work, Work::Chat);
    // A chat receives what the far side sends, where it is told to.
    Options chat = Parse("dial 1 --folder /in --existing skip");
    EXPECT_TRUE(chat.error.isEmpty()) << chat.error.toStdString();
    EXPECT_EQ(chat.work, Work::Chat);
    EXPECT_EQ(chat.folder, "/in");
    EXPECT_EQ(chat.existing, qv::efSkip);

    Options send = Parse("send --device /dev/ttyUSB0 --speed 9600 --flow rtscts -- --odd-name plain");
    EXPECT_TRUE(send.error.isEmpty()) << send.error.toStdString();
    EXPECT_EQ(send.command, Command::Send);
    EXPECT_EQ(send.files, (QStringList{"--odd-name", "plain"}));
    EXPECT_EQ(send.device, "/dev/ttyUSB0");
    EXPECT_EQ(send.speed, 9600);
    EXPECT_EQ(send.flow, Flow::RtsCts);

    Options receive = Parse("receive --existing newer");
    EXPECT_TRUE(receive.error.isEmpty());
    EXPECT_EQ(receive.work, Work::Receive);
    EXPECT_EQ(receive.existing, qv::efOverwriteIfNewer);
    EXPECT_TRUE(receive.device.isEmpty()) << "the standard streams";

    EXPECT_TRUE(Parse("--help").help);
    EXPECT_TRUE(Parse("dial --version").version);
}

TEST(CliOptions, MistakesNameTheWord)
{
    const std::pair<const char*, const char*> cases[] = {
        {"", "no command given"},
        {"call 123", "unknown command 'call'"},
        {"dial", "dial needs a number"},
        {"dial 1 2", "unexpected argument '2'"},
        {"dial 1 --send", "no file to send"},
        {"dial 1 --send a --chat", "only one of --send, --receive and --chat"},
        {"dial 1 --rings 2", "--rings goes with answer"},
        {"answer --rings 13", "--rings takes a number from 1 to 12, not '13'"},
        {"dial 1 --wait soon", "--wait takes a number"},
        {"dial 1 --device /dev/ttyS0", "--device goes with the send and receive commands"},
        {"dial 1 --send a --folder /in", "--folder goes with receiving or a chat"},
        {"receive --existing keep",
         "--existing takes new-name, overwrite, newer, skip or resume, not 'keep'"},
        {"send a --speed 14400 --device /d", "--speed takes one of"},
        {"send a --speed 9600", "--speed and --flow need --device"},
        {"send a --flow hardware --device /d", "--flow takes none, rtscts or xonxoff, not 'hardware'"},
        {"send", "no file to send"},
        {"send a --receive", "--receive goes with dial or answer"},
        {"receive --line 1", "--line goes with dial or answer"},
        {"receive stray", "unexpected argument 'stray'"},
        {"dial 1 --settings-dir", "option --settings-dir needs a value"},
        {"dial 1 --chat=yes", "option --chat takes no value"},
        {"dial 1 --bogus", "unknown option '--bogus'"},
    };
    for (const auto& [line, error] : cases) {
        const Options options = Parse(QString::fromUtf8(line));
        EXPECT_TRUE(options.error.contains(QString::fromUtf8(error)))
            << "'" << line << "' gave '" << options.error.toStdString() << "'";
    }
}

} // namespace
