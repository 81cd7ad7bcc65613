// The window's small helpers: settings folder and files, command line, the
// "NO CARRIER" detector, the line capability listing, and the terminal's
// keys, options and paced sending.
#include "app/CommandLine.h"
#include "app/KeyInput.h"
#include "app/LineDevices.h"
#include "app/TerminalOptions.h"

#include "frontend/NoCarrierDetector.h"
#include "frontend/PacedSender.h"
#include "frontend/SendList.h"
#include "frontend/Settings.h"
#include "frontend/TransferRate.h"

#include "common/Clock.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace vh {
namespace {

// --- Settings folder --------------------------------------------------------

SettingsFolderInputs AllInputs(bool exeWritable)
{
    SettingsFolderInputs in;
    in.commandLineDir = QStringLiteral("/cmd");
    in.environmentHome = QStringLiteral("/env/");
    in.executableDir = QStringLiteral("/opt/vh");
    in.xdgConfigHome = QStringLiteral("/xdg");
    in.home = QStringLiteral("/home/op");
    in.isWritable = [exeWritable](const QString&) { return exeWritable; };
    return in;
}

TEST(SettingsFolder, FirstGivenSourceWinsAndEndsWithSlash)
{
    SettingsFolderInputs in = AllInputs(true);
    EXPECT_EQ(ResolveSettingsFolder(in), "/cmd/");
    in.commandLineDir.clear();
    EXPECT_EQ(ResolveSettingsFolder(in), "/env/");
    in.environmentHome.clear();
    EXPECT_EQ(ResolveSettingsFolder(in), "/opt/vh/");
    in = AllInputs(false);
    in.commandLineDir.clear();
    in.environmentHome.clear();
    EXPECT_EQ(ResolveSettingsFolder(in), "/xdg/vh-terminal/");
    in.xdgConfigHome.clear();
    EXPECT_EQ(ResolveSettingsFolder(in), "/home/op/.config/vh-terminal/");
}

TEST(SettingsFolder, ExecutableFolderIsProbedForWriting)
{
    SettingsFolderInputs in = AllInputs(false);
    in.commandLineDir.clear();
    in.environmentHome.clear();
    QString probed;
    in.isWritable = [&](const QString& dir) {
        probed = dir;
        return false;
    };
    EXPECT_EQ(ResolveSettingsFolder(in), "/xdg/vh-terminal/");
    EXPECT_EQ(probed, "/opt/vh");
}

// --- Settings files --------------------------------------------------------

TEST(SettingsStore, WritesTextWithCrLfAndReadsItBackTrimmed)
{
    QTemporaryDir dir;
    SettingsStore store(dir.path());
    QString error;
    ASSERT_TRUE(store.Write(settings::TelephoneNumber, QStringLiteral("1270000000012324"), error))
        << error.toStdString();
    QFile file(dir.filePath(settings::TelephoneNumber));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("1270000000012324\r\n"));

    QFile raw(dir.filePath(QStringLiteral("x.ctx")));
    ASSERT_TRUE(raw.open(QIODevice::WriteOnly));
    raw.write(" \t/home/op/\xd8\xaf\xd8\xb1/\r\n\x01\n");
    raw.close();
    const auto text = store.Read(QStringLiteral("x.ctx"), error);
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, QStringLiteral(u"/home/op/در/"));
}

TEST(SettingsStore, FailuresNameTheFileAndRemoveOfMissingFileSucceeds)
{
    QTemporaryDir dir;
    QFile plain(dir.filePath(QStringLiteral("plain")));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    // A folder below a plain file cannot exist, not even for root.
    SettingsStore store(dir.filePath(QStringLiteral("plain/sub")));
    QString error;
    EXPECT_FALSE(store.Write(settings::WriteTest, settings::WriteTestMarker, error));
    EXPECT_TRUE(error.contains(QStringLiteral("best.ctx"))) << error.toStdString();
    EXPECT_FALSE(store.Read(settings::RingCount, error));
    EXPECT_TRUE(error.contains(QStringLiteral("RN.ctx")));
    EXPECT_FALSE(store.Exists(settings::RingCount));
    SettingsStore good(dir.path());
    EXPECT_TRUE(good.Remove(settings::AutoAnswerOff, error));
}

TEST(SettingsStore, DirectoryNamedLikeAFileDoesNotCount)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkdir(settings::ListenModeOff));
    EXPECT_FALSE(SettingsStore(dir.path()).Exists(settings::ListenModeOff));
}

// --- Command line ---------------------------------------------------------

TEST(CommandLine, OptionsAndErrors)
{
    EXPECT_TRUE(ParseCommandLine({}).error.isEmpty());
    EXPECT_TRUE(ParseCommandLine({QStringLiteral("--help")}).help);
    EXPECT_TRUE(ParseCommandLine({QStringLiteral("-v")}).version);
    EXPECT_EQ(ParseCommandLine({QStringLiteral("--settings-dir"), QStringLiteral("/a b")}).settingsDir,
              "/a b");
    EXPECT_EQ(ParseCommandLine({QStringLiteral("--settings-dir=/c")}).settingsDir, "/c");
    EXPECT_FALSE(ParseCommandLine({QStringLiteral("--settings-dir")}).error.isEmpty());
    EXPECT_FALSE(ParseCommandLine({QStringLiteral("--settings-dir=")}).error.isEmpty());
    EXPECT_FALSE(ParseCommandLine({QStringLiteral("--bogus")}).error.isEmpty());
    EXPECT_TRUE(
        WantsHelpOrVersion({QStringLiteral("--settings-dir"), QStringLiteral("x"), QStringLiteral("-h")}));
    EXPECT_FALSE(WantsHelpOrVersion({QStringLiteral("-platform"), QStringLiteral("offscreen")}));
    EXPECT_TRUE(HelpText(QStringLiteral("vh-terminal")).contains(QStringLiteral("--settings-dir DIR")));
}

// --- "NO CARRIER" ---------------------------------------------------------

bool FeedText(NoCarrierDetector& detector, const char* text)
{
    return detector.Feed(text, static_cast<int>(qstrlen(text)));
}

TEST(NoCarrierDetector, FindsUpperCaseOnlyAndEveryTimeItArrives)
{
    NoCarrierDetector detector;
    EXPECT_FALSE(FeedText(detector, "hello no carrier No Carrier NO CARRIE"));
    EXPECT_TRUE(FeedText(detector, "R"));
    // Acted on once: the next chunk without the words finds nothing.
    EXPECT_FALSE(FeedText(detector, "\r\nRING\r\n"));
    EXPECT_FALSE(FeedText(detector, "x"));
    EXPECT_TRUE(FeedText(detector, "\r\nNO CARRIER\r\n"));
}

TEST(NoCarrierDetector, FoundAtEverySplitPoint)
{
    const QByteArray text("data...\r\nNO CARRIER\r\n");
    for (qsizetype split = 0; split <= text.size(); ++split) {
        NoCarrierDetector detector;
        const bool first = detector.Feed(text.constData(), static_cast<int>(split));
        const bool second = detector.Feed(text.constData() + split, static_cast<int>(text.size() - split));
        EXPECT_TRUE(first != second) << "split at " << split;
    }
    NoCarrierDetector bytewise;
    int hits = 0;
    for (char c : text)
        hits += bytewise.Feed(&c, 1) ? 1 : 0;
    EXPECT_EQ(hits, 1);
}

TEST(NoCarrierDetector, ResetForgetsAPartialReport)
{
    NoCarrierDetector detector;
    EXPECT_FALSE(FeedText(detector, "NO CARR"));
    detector.Reset();
    EXPECT_FALSE(FeedText(detector, "IER"));
    EXPECT_FALSE(detector.Feed(nullptr, 0));
}

// --- Terminal keys, options and pacing --------------------------------------

TEST(KeyInput, TerminalKeysSortIntoCopyPasteKeysCharactersAndText)
{
    const auto ctrlShift = Qt::ControlModifier | Qt::ShiftModifier;
    EXPECT_EQ(ClassifyTerminalKey(Qt::Key_C, ctrlShift, QString()).kind, TerminalKeyAction::Copy);
    EXPECT_EQ(ClassifyTerminalKey(Qt::Key_V, ctrlShift, QString()).kind, TerminalKeyAction::Paste);
    EXPECT_EQ(ClassifyTerminalKey(Qt::Key_Insert, Qt::ShiftModifier, QString()).kind,
              TerminalKeyAction::Paste);
    EXPECT_EQ(ClassifyTerminalKey(Qt::Key_PageUp, Qt::ShiftModifier, QString()).kind,
              TerminalKeyAction::ScrollUp);

    // Ctrl+C is the interrupt character for the far side, not a copy.
    const TerminalKeyAction interrupt =
        ClassifyTerminalKey(Qt::Key_C, Qt::ControlModifier, QStringLiteral("\x03"));
    EXPECT_EQ(interrupt.kind, TerminalKeyAction::Character);
    EXPECT_EQ(interrupt.ch, U'c');
    EXPECT_EQ(interrupt.modifiers, ControlModifier);
    const TerminalKeyAction alt = ClassifyTerminalKey(Qt::Key_X, Qt::AltModifier, QStringLiteral("x"));
    EXPECT_EQ(alt.kind, TerminalKeyAction::Character);
    EXPECT_EQ(alt.modifiers, AltModifier);

    const TerminalKeyAction enter =
        ClassifyTerminalKey(Qt::Key_Enter, Qt::KeypadModifier, QStringLiteral("\r"));
    EXPECT_EQ(enter.kind, TerminalKeyAction::Key);
    EXPECT_EQ(enter.key, TerminalKey::Enter);
    EXPECT_EQ(ClassifyTerminalKey(Qt::Key_F12, Qt::NoModifier, QString()).key, TerminalKey::F12);
    EXPECT_EQ(ClassifyTerminalKey(Qt::Key_Delete, Qt::NoModifier, QStringLiteral("\x7f")).key,
              TerminalKey::Delete);
    const TerminalKeyAction backtab = ClassifyTerminalKey(Qt::Key_Backtab, Qt::ShiftModifier, QString());
    EXPECT_EQ(backtab.key, TerminalKey::Tab);
    EXPECT_EQ(backtab.modifiers, ShiftModifier);

    const TerminalKeyAction persian = ClassifyTerminalKey(0, Qt::NoModifier, QStringLiteral(u"ش"));
    EXPECT_EQ(persian.kind, TerminalKeyAction::Text);
    EXPECT_EQ(persian.text, QStringLiteral(u"ش"));
    // AltGr reads as Control and Alt together and types its text.
    EXPECT_EQ(
        ClassifyTerminalKey(Qt::Key_At, Qt::ControlModifier | Qt::AltModifier, QStringLiteral("@")).kind,
        TerminalKeyAction::Text);
    EXPECT_EQ(ClassifyTerminalKey(Qt::Key_Shift, Qt::ShiftModifier, QString()).kind, TerminalKeyAction::None);
}

TEST(TerminalOptions, EnterAndEchoFollowTheOperatorThenTheLine)
{
    qv::TLineTraits plain;
    qv::TLineTraits binaryTelnet;
    binaryTelnet.Newline = "\r";
    binaryTelnet.RemoteEcho = true;
    EXPECT_EQ(EnterBytes(EnterSends::AsLineAsks, plain), QByteArray("\r\n"));
    EXPECT_EQ(EnterBytes(EnterSends::AsLineAsks, binaryTelnet), QByteArray("\r"));
    EXPECT_EQ(EnterBytes(EnterSends::CrLf, binaryTelnet), QByteArray("\r\n"));
    EXPECT_EQ(EnterBytes(EnterSends::Cr, plain), QByteArray("\r"));
    EXPECT_TRUE(ShowsTypedText(true, plain));
    EXPECT_FALSE(ShowsTypedText(true, binaryTelnet));
    EXPECT_FALSE(ShowsTypedText(false, plain));
}

TEST(TerminalOptions, StoredChoicesUnknownValuesAndUnreadableFiles)
{
    QTemporaryDir dir;
    SettingsStore store(dir.path());
    QStringList errors;
    TerminalOptions options = ReadTerminalOptions(store, errors);
    EXPECT_TRUE(options.localEcho);
    EXPECT_EQ(options.enter, EnterSends::AsLineAsks);
    EXPECT_EQ(options.codePage, TerminalCodePage::Utf8);
    QString error;
    ASSERT_TRUE(store.Write(settings::LocalEcho, LocalEchoText(false), error));
    ASSERT_TRUE(store.Write(settings::EnterKey, EnterText(EnterSends::Cr), error));
    ASSERT_TRUE(store.Write(settings::CodePage, QStringLiteral("cp437"), error));
    options = ReadTerminalOptions(store, errors);
    EXPECT_FALSE(options.localEcho);
    EXPECT_EQ(options.enter, EnterSends::Cr);
    EXPECT_EQ(options.codePage, TerminalCodePage::Cp437);
    EXPECT_TRUE(errors.isEmpty());
    // An unknown value is the default; a file that cannot be read too, with
    // its error for the operator.
    ASSERT_TRUE(store.Write(settings::EnterKey, QStringLiteral("LF"), error));
    ASSERT_TRUE(QFile::remove(store.PathOf(settings::CodePage)));
    ASSERT_TRUE(QDir(dir.path()).mkdir(settings::CodePage));
    options = ReadTerminalOptions(store, errors);
    EXPECT_EQ(options.enter, EnterSends::AsLineAsks);
    EXPECT_EQ(options.codePage, TerminalCodePage::Utf8);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains(settings::CodePage));
}

TEST(PacedSender, KeysGoAtOnceAndALargePasteInPiecesTheLineHasRoomFor)
{
    qv::ScopedVirtualClock clock;
    int room = 300;
    QList<QByteArray> sent;
    int failure = 0;
    int code = 0;
    PacedSender sender([&] { return room; },
                       [&](const QByteArray& bytes) {
                           sent << bytes;
                           return code;
                       },
                       [&](int c) { failure = c; });
    sender.Send("k");
    ASSERT_EQ(sent.size(), 1);
    EXPECT_EQ(sent[0], "k");
    sender.Send(QByteArray(5000, 'p'));
    ASSERT_EQ(sent.size(), 2);
    EXPECT_EQ(sent[1].size(), 300);
    // No room: nothing goes, nothing is lost.
    room = 0;
    clock->Advance(100);
    EXPECT_EQ(sent.size(), 2);
    EXPECT_EQ(sender.Pending(), 4700);
    room = 5000;
    clock->Advance(PacedSender::kTickMs);
    EXPECT_EQ(sent.last().size(), PacedSender::kPieceSize);
    clock->Advance(10 * PacedSender::kTickMs);
    EXPECT_EQ(sender.Pending(), 0);
    qsizetype total = 0;
    for (const QByteArray& piece : sent)
        total += piece.size();
    EXPECT_EQ(total, 5001);
    // A failed write drops the rest and is reported once.
    code = 506;
    sender.Send(QByteArray(3000, 'q'));
    clock->Advance(10 * PacedSender::kTickMs);
    EXPECT_EQ(failure, 506);
    EXPECT_EQ(sender.Pending(), 0);
}

TEST(TransferRate, RecentRateTimeLeftAndTheFileEndLine)
{
    TransferRate rate;
    rate.Begin(0);
    // A resumed second file starts at 40000 of its bytes: only what moves
    // counts.
    rate.Progress(0, 2, 40000, 140000, 1140000);
    EXPECT_TRUE(rate.LiveText().isEmpty());
    for (int s = 1; s <= 10; ++s)
        rate.Progress(s * 1000, 2, 40000 + s * 10240, 140000 + s * 10240, 1140000);
    EXPECT_DOUBLE_EQ(rate.BytesPerSecond(), 10240.0);
    // 1140000 - 242400 bytes at 10 KB/s.
    EXPECT_EQ(rate.SecondsLeft(), 88);
    EXPECT_EQ(rate.LiveText(), "10.0 KB/s, 1:28 left");
    EXPECT_EQ(rate.FileEndText(10000), "TRANSFER>102400 bytes in 10.0 s, 10.0 KB/s");
    // A stall shows within the window, not as the old average.
    for (int s = 11; s <= 16; ++s)
        rate.Progress(s * 1000, 2, 142400, 242400, 1140000);
    EXPECT_EQ(rate.LiveText(), "stalled");
    EXPECT_EQ(FormatDuration(3723), "1:02:03");
    EXPECT_EQ(FormatRate(512), "512 B/s");
    EXPECT_EQ(FormatRate(1.5 * 1024 * 1024), "1.5 MB/s");
}

TEST(KeyInput, DigitFieldsDropEverythingButDigitsAndBackspace)
{
    for (const char* kept : {"0", "5", "9", "\b", "", "\x16"})
        EXPECT_FALSE(IsDroppedByDigitField(QString::fromLatin1(kept))) << kept;
    for (const char* dropped : {"a", " ", "+", "-", "#", "*"})
        EXPECT_TRUE(IsDroppedByDigitField(QString::fromLatin1(dropped))) << dropped;
    EXPECT_TRUE(IsDroppedByDigitField(QStringLiteral(u"۵"))); // a Persian digit is not "0" to "9"
}

// --- Files to send ------------------------------------------------------------

TEST(SendList, EachNameFollowedByCrLfAndNeitherSplitNorGlobbed)
{
    QStringList refused;
    EXPECT_EQ(BuildSendList({"/a/one.txt", "/a/two words.bin", QStringLiteral(u"/a/سه.dat")}, refused),
              QStringLiteral(u"/a/one.txt\r\n/a/two words.bin\r\n/a/سه.dat\r\n"));
    EXPECT_TRUE(refused.isEmpty());
    // Wildcards stand for themselves; a separator cannot be carried.
    const QString list =
        BuildSendList({"/a/star*.txt", "/a/pipe|name", "/a/q?.txt", "/a/line\nbreak"}, refused);
    EXPECT_EQ(list, "/a/star\\*.txt\r\n/a/q\\?.txt\r\n");
    EXPECT_EQ(refused, QStringList({"/a/pipe|name", "/a/line\nbreak"}));
}

// --- Capability listing ----------------------------------------------------

TEST(LineCapsListing, CallerIdAndToneDetectionWithoutPhoneDevice)
{
    const QStringList lines = LineCapsListing(0x4 | 0x20 | 0x2);
    EXPECT_EQ(lines, QStringList({
                         "Caller ID - OK",
                         "Digit pulse detection - UNAVAILABLE",
                         "Digit tone detection - OK",
                         "Play and record wave - UNAVAILABLE",
                         "Serial port device  - OK",
                         "Auxiliary microphone and speaker - UNAVAILABLE",
                         "Local phone handset - UNAVAILABLE",
                     }));
}

TEST(LineCapsListing, DeviceLinesFollowTheirOwnBits)
{
    // Auxiliary: mic only and volume; handset: speaker only and gain.
    const QStringList lines = LineCapsListing(0x40 | 0x100 | 0x1000 | 0x2000 | 0x10000 | 0x40000);
    ASSERT_EQ(lines.size(), 5 + 6 + 6);
    EXPECT_EQ(lines[4], "Serial port device - UNAVAILABLE");
    EXPECT_EQ(lines[5], "Auxiliary microphone and speaker capabilities:");
    EXPECT_EQ(lines[6], "   -Turning on the mic only - OK");
    EXPECT_EQ(lines[7], "   -Turning on the speaker only - UNAVAILABLE");
    EXPECT_EQ(lines[8], "   -Turning on the microphone and the speaker simultaneously - UNAVAILABLE");
    EXPECT_EQ(lines[9], "   -Mic gain adjusting - UNAVAILABLE");
    EXPECT_EQ(lines[10], "   -Speaker volume adjusting - OK");
    EXPECT_EQ(lines[11], "Local phone handset capabilities:");
    EXPECT_EQ(lines[12], "   -Turning on the mic only - UNAVAILABLE");
    EXPECT_EQ(lines[13], "   -Turning on the speaker only - OK");
    EXPECT_EQ(lines[15], "   -Mic gain adjusting - OK");
    EXPECT_EQ(lines[16], "   -Speaker volume adjusting - UNAVAILABLE");
}

} // namespace
} // namespace vh
