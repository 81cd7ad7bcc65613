#include "telephony/service/providers/tcp/TcpNumber.h"

#include <gtest/gtest.h>

namespace {

using namespace qv::tcp;

TEST(TcpNumber, DigitsAreAnAddressWithAnOptionalPort)
{
    const QMap<QString, QString> none;
    EXPECT_EQ(ResolveTcpNumber("127000000001", none), (TcpTarget{"127.0.0.1", 2323}));
    EXPECT_EQ(ResolveTcpNumber("1270000000012324", none), (TcpTarget{"127.0.0.1", 2324}));
    EXPECT_EQ(ResolveTcpNumber("010002003004"
                               "9",
                               none),
              (TcpTarget{"10.2.3.4", 9}));
    EXPECT_EQ(ResolveTcpNumber(" 19216800000165535 ", none), (TcpTarget{"192.168.0.1", 65535}));
    for (const char* bad : {"12700000000",       // eleven digits
                            "256000000001",      // a group above 255
                            "12700000000165536", // port out of range
                            "1270000000010",     // port 0
                            "127000000001123456", ""})
        EXPECT_FALSE(ResolveTcpNumber(bad, none)) << bad;
}

TEST(TcpNumber, ThePhonebookWinsOverEveryOtherReading)
{
    const QMap<QString, QString> book{
        {"7001", "bbs.example.org:23"}, {"127000000001", "localhost:2400"}, {"9", "bad host:1"}};
    EXPECT_EQ(ResolveTcpNumber("7001", book), (TcpTarget{"bbs.example.org", 23}));
    EXPECT_EQ(ResolveTcpNumber("127000000001", book), (TcpTarget{"localhost", 2400}));
    EXPECT_FALSE(ResolveTcpNumber("9", book)) << "a broken entry is an invalid address, not a guess";
    EXPECT_FALSE(ResolveTcpNumber("7002", book));
}

TEST(TcpNumber, HostFormsThroughTheApi)
{
    const QMap<QString, QString> none;
    EXPECT_EQ(ResolveTcpNumber("localhost:2323", none), (TcpTarget{"localhost", 2323}));
    EXPECT_EQ(ResolveTcpNumber("bbs.example.org", none), (TcpTarget{"bbs.example.org", 23}));
    EXPECT_EQ(ResolveTcpNumber("[::1]:99", none), (TcpTarget{"::1", 99}));
    EXPECT_EQ(ResolveTcpNumber("[::1]", none), (TcpTarget{"::1", 23}));
    for (const char* bad : {"host:", ":23", "host:0", "host:70000", "a b", "host;rm", "::1", "[::1", "[x]:1",
                            "-host", "host:23:24", "ATDT123\r", "host\n", "\thost"})
        EXPECT_FALSE(ResolveTcpNumber(bad, none)) << bad;
}

TEST(TcpNumber, ABracketedHostIsExactlyAnAddressWithAtMostAScopeName)
{
    const QMap<QString, QString> none;
    EXPECT_EQ(ResolveTcpNumber("[fe80::1%eth0]:2323", none), (TcpTarget{"fe80::1%eth0", 2323}));
    EXPECT_EQ(ResolveTcpNumber("[::ffff:127.0.0.1]", none), (TcpTarget{"::ffff:127.0.0.1", 23}));
    // Each of these parses as an address once the junk is ignored; none may
    // leave the junk in the host that is connected to or shown.
    const QString nul = QString::fromLatin1("[::1\0evil]", 10);
    const QStringList bad{nul,
                          "[::1 ]",
                          "[ ::1]",
                          "[fe80::1%\x07\x1b]",
                          "[fe80::1%]",
                          "[fe80::1%eth0/x]",
                          "[fe80::1%interfacenameiswaytoolong]",
                          "[127.0.0.1]",
                          "[::1]x"};
    for (const QString& text : bad) {
        EXPECT_FALSE(ResolveTcpNumber(text, none)) << text.toStdString();
        EXPECT_FALSE(ResolveTcpNumber("7", {{"7", text + ":23"}})) << "phonebook " << text.toStdString();
    }
}

} // namespace
