// telephony.conf: the tcp line's keys, the configuration block, and the
// providers built from a settings folder.
#include "telephony/service/providers/tcp/TcpLineConfig.h"
#include "telephony/service/providers/tcp/TcpProvider.h"
#include "telephony/service/providers/tcp/ConfiguredProviders.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using namespace qv::tcp;

TEST(TcpLineKeys, ValuesAreReadAndBadOnesReportedWithoutGuessing)
{
    QStringList problems;
    const TcpLineConfig c = ReadTcpLineConfig({{"name", "BBS line"},
                                               {"address", "0.0.0.0"},
                                               {"port", "2400"},
                                               {"mode", "RAW"},
                                               {"listen", "yes"},
                                               {"timeout", "12"}},
                                              problems);
    EXPECT_TRUE(problems.isEmpty()) << problems.join('\n').toStdString();
    EXPECT_EQ(c.name, "BBS line");
    EXPECT_EQ(c.listenAddress, "0.0.0.0");
    EXPECT_EQ(c.listenPort, 2400);
    EXPECT_EQ(c.mode, TcpMode::Raw);
    EXPECT_TRUE(c.listen);
    EXPECT_EQ(c.connectTimeoutSeconds, 12);

    // A listening place that cannot be used turns listening off rather than
    // listen somewhere else; the other keys keep their defaults.
    // An address is exactly an address: what follows a NUL is not ignored.
    const QString nul = QString::fromLatin1("127.0.0.1\0junk", 14);
    for (const QVariantMap& bad :
         {QVariantMap{{"port", "70000"}}, QVariantMap{{"port", "0"}},
          QVariantMap{{"address", "bbs.example.org"}}, QVariantMap{{"address", nul}},
          QVariantMap{{"address", "fe80::1%\x07"}}, QVariantMap{{"address", "127.1"}},
          QVariantMap{{"address", "010.0.0.1"}}, QVariantMap{{"address", QString(70, u'0') + ".0"}}}) {
        problems.clear();
        const TcpLineConfig b = ReadTcpLineConfig(bad, problems);
        EXPECT_EQ(problems.size(), 1);
        EXPECT_FALSE(b.listen);
        EXPECT_EQ(b.listenPort, 2323);
    }
    problems.clear();
    const TcpLineConfig d =
        ReadTcpLineConfig({{"mode", "ssh"}, {"timeout", "0"}, {"listen", "maybe"}}, problems);
    EXPECT_EQ(problems.size(), 3);
    EXPECT_EQ(d, TcpLineConfig{});
}

TEST(TcpLineKeys, ConfigurationBlockIsCheckedBeforeUse)
{
    TcpLineConfig c;
    c.name = QStringLiteral("خط اینترنت"); // survives as UTF-8
    c.listenPort = 4000;
    c.mode = TcpMode::Raw;
    const QByteArray block = EncodeConfigBlock(c);
    TcpLineConfig back;
    ASSERT_TRUE(DecodeConfigBlock(block, back));
    EXPECT_EQ(back, c);

    // Each broken field on its own: the block is refused and nothing changes.
    auto corrupt = [&](int offset, char value) {
        QByteArray b = block;
        b[offset] = value;
        TcpLineConfig out;
        return !DecodeConfigBlock(b, out) && out == TcpLineConfig{};
    };
    EXPECT_TRUE(corrupt(0, 10));       // declared size below the fixed layout
    EXPECT_TRUE(corrupt(1, 8));        // declared size beyond the buffer
    EXPECT_TRUE(corrupt(4, 1));        // version
    EXPECT_TRUE(corrupt(48, 6));       // a modem's block
    EXPECT_TRUE(corrupt(96, 2));       // mode
    EXPECT_TRUE(corrupt(100, 2));      // listen flag
    EXPECT_TRUE(corrupt(108, 0));      // time limit 0 (4000 s is also out)
    EXPECT_TRUE(corrupt(128, 'x'));    // address no longer an address
    EXPECT_TRUE(corrupt(194, 0x1B));   // a control character in the name
    EXPECT_TRUE(corrupt(194, '\xFF')); // a name that is not UTF-8
    QByteArray unterminated = block;
    unterminated.replace(128, 64, QByteArray(64, '1'));
    TcpLineConfig out;
    EXPECT_FALSE(DecodeConfigBlock(unterminated, out));
    EXPECT_FALSE(DecodeConfigBlock(block.left(ConfigBlockSize - 1), out));

    // A name too long for its field is cut on a character boundary.
    c.name = QString(100, QChar(0x0628));
    ASSERT_TRUE(DecodeConfigBlock(EncodeConfigBlock(c), back));
    EXPECT_EQ(back.name, QString(31, QChar(0x0628)));
    // One with control characters is written so that it reads back.
    c.name = QStringLiteral("a\tb\x7f");
    ASSERT_TRUE(DecodeConfigBlock(EncodeConfigBlock(c), back));
    EXPECT_EQ(back.name, QStringLiteral("a_b_"));
}

class SettingsFolder : public ::testing::Test
{
protected:
    void Write(const QByteArray& text)
    {
        QFile f(tapi::TelephonyConfigPath(dir.path()));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    QTemporaryDir dir;
};

TEST_F(SettingsFolder, WithoutAFileThereIsOneTelnetLineOnLoopbackPort2323)
{
    tapi::TelephonyConfig config = tapi::LoadTelephonyConfig(dir.path());
    EXPECT_FALSE(config.fromFile);
    auto providers = tapi::BuildConfiguredProviders(config);
    ASSERT_EQ(providers.size(), 1u);
    ASSERT_EQ(providers[0]->LineCount(), 1);
    auto& tcp = dynamic_cast<TcpProvider&>(*providers[0]);
    EXPECT_EQ(tcp.LineConfig(0), TcpLineConfig{});
    EXPECT_EQ(tcp.LineConfig(0).listenAddress, "127.0.0.1");
    EXPECT_EQ(tcp.LineConfig(0).listenPort, 2323);
    EXPECT_TRUE(config.problems.isEmpty());
}

TEST_F(SettingsFolder, LinesComeInOrderByTypeAndOtherTypesGoToTheirFactories)
{
    Write("[line2]\ntype=tcp\nname=Second\nport=2402\nmode=raw\n"
          "[line0]\ntype=tcp\nname=First\nport=2400\n"
          "[line1]\ntype=modem\ndevice=/dev/ttyUSB0\n"
          "[line3]\ntype=fax\n"
          "[line4]\nname=untyped\n"
          "[phonebook]\n7001=bbs.example.org:23\n9=\"a,b\"\n"
          "[somethingelse]\nkey=value\n");
    tapi::TelephonyConfig config = tapi::LoadTelephonyConfig(dir.path());
    EXPECT_TRUE(config.fromFile);
    EXPECT_EQ(config.phonebook.value("7001"), "bbs.example.org:23");
    EXPECT_EQ(config.phonebook.value("9"), "a,b");

    std::vector<tapi::LineSection> modemSections;
    tapi::LineTypeFactories others{
        {"modem",
         [&](const tapi::TelephonyConfig&, const std::vector<tapi::LineSection>& sections, QStringList&) {
             modemSections = sections;
             return std::unique_ptr<tapi::Provider>(); // nothing to offer in this test
         }}};
    auto providers = tapi::BuildConfiguredProviders(config, others);
    ASSERT_EQ(modemSections.size(), 1u);
    EXPECT_EQ(modemSections[0].values.value("device").toString(), "/dev/ttyUSB0");
    ASSERT_EQ(providers.size(), 1u);
    auto& tcp = dynamic_cast<TcpProvider&>(*providers[0]);
    ASSERT_EQ(tcp.LineCount(), 2);
    EXPECT_EQ(tcp.LineConfig(0).name, "First");
    EXPECT_EQ(tcp.LineConfig(1).name, "Second");
    EXPECT_EQ(tcp.LineConfig(1).mode, TcpMode::Raw);
    // The fax line has no provider here and the untyped one no type: both
    // are reported, neither is guessed.
    EXPECT_EQ(config.problems.size(), 2) << config.problems.join('\n').toStdString();
}

TEST_F(SettingsFolder, AFileWithoutUsableLinesStillGivesTheDefaultLine)
{
    Write("[line0]\ntype=modem\n[phonebook]\n1=host:1\n");
    tapi::TelephonyConfig config = tapi::LoadTelephonyConfig(dir.path());
    auto providers = tapi::BuildConfiguredProviders(config);
    ASSERT_EQ(providers.size(), 1u);
    EXPECT_EQ(providers[0]->Name(), "tcp");
    EXPECT_EQ(providers[0]->LineCount(), 1);
    EXPECT_EQ(config.problems.size(), 2);
}

TEST_F(SettingsFolder, SettingsGivenToALineAreKeptInItsSectionAndNothingElseChanges)
{
    const QByteArray before = "; my lines\n"
                              "[line2]\n"
                              "type = tcp\n"
                              "name = Second ; the old name\n"
                              "port = 2402\n"
                              "\n"
                              "[phonebook]\n"
                              "7001 = bbs.example.org:23\n";
    Write(before);
    tapi::TelephonyConfig config = tapi::LoadTelephonyConfig(dir.path());
    auto providers = tapi::BuildConfiguredProviders(config);
    auto& tcp = dynamic_cast<TcpProvider&>(*providers[0]);
    TcpLineConfig wanted;
    wanted.name = QStringLiteral(u"Net; \"one\", \\two\\ خط");
    wanted.listen = false;
    wanted.listenAddress = "::1";
    wanted.listenPort = 2424;
    wanted.mode = TcpMode::Raw;
    wanted.connectTimeoutSeconds = 17;
    ASSERT_EQ(tcp.SetDevConfig(0, "comm/datamodem", EncodeConfigBlock(wanted)), 0);

    tapi::TelephonyConfig again = tapi::LoadTelephonyConfig(dir.path());
    auto reread = tapi::BuildConfiguredProviders(again);
    EXPECT_EQ(dynamic_cast<TcpProvider&>(*reread[0]).LineConfig(0), wanted);
    EXPECT_TRUE(again.problems.isEmpty()) << again.problems.join('\n').toStdString();
    QFile f(tapi::TelephonyConfigPath(dir.path()));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray after = f.readAll();
    EXPECT_TRUE(after.startsWith("; my lines\n[line2]\ntype = tcp\nname = "));
    EXPECT_TRUE(after.endsWith("\n[phonebook]\n7001 = bbs.example.org:23\n")) << after.toStdString();
    EXPECT_EQ(after.count("name ="), 1);

    // Without a file the default line gets a section of its own.
    QTemporaryDir fresh;
    tapi::TelephonyConfig none = tapi::LoadTelephonyConfig(fresh.path());
    auto defaults = tapi::BuildConfiguredProviders(none);
    ASSERT_EQ(defaults[0]->SetDevConfig(0, "comm/datamodem", EncodeConfigBlock(wanted)), 0);
    tapi::TelephonyConfig made = tapi::LoadTelephonyConfig(fresh.path());
    EXPECT_EQ(dynamic_cast<TcpProvider&>(*tapi::BuildConfiguredProviders(made)[0]).LineConfig(0), wanted);

    // A file that cannot be written leaves the line as it was.
    QTemporaryDir blocked;
    ASSERT_TRUE(QDir(blocked.path()).mkdir("telephony.conf"));
    tapi::TelephonyConfig unwritable = tapi::LoadTelephonyConfig(blocked.path());
    auto stuck = tapi::BuildConfiguredProviders(unwritable);
    EXPECT_EQ(stuck[0]->SetDevConfig(0, "comm/datamodem", EncodeConfigBlock(wanted)),
              tapi::LINEERR_OPERATIONFAILED);
    EXPECT_EQ(dynamic_cast<TcpProvider&>(*stuck[0]).LineConfig(0), TcpLineConfig{});
    EXPECT_TRUE(stuck[0]->LineFailure(0).contains("telephony.conf cannot be"))
        << stuck[0]->LineFailure(0).toStdString();
}

} // namespace
