#include "telephony/service/providers/modem/AtParser.h"
#include "telephony/service/providers/modem/AtSequencer.h"

#include <gtest/gtest.h>

namespace {

using namespace qv::modem;

TEST(AtClassify, ResultLinesFromATable)
{
    struct Row
    {
        const char* line;
        AtKind kind;
        std::uint32_t rate;
        const char* suffix;
    };
    const Row rows[] = {
        {"OK", AtKind::Ok, 0, ""},
        {"ok", AtKind::Ok, 0, ""},
        {"  OK  ", AtKind::Ok, 0, ""},
        {"ERROR", AtKind::Error, 0, ""},
        {"CONNECT", AtKind::Connect, 0, ""},
        {"CONNECT 33600", AtKind::Connect, 33600, ""},
        {"CONNECT 115200/ARQ/V42BIS", AtKind::Connect, 115200, "/ARQ/V42BIS"},
        {"CONNECT 9600/REL", AtKind::Connect, 9600, "/REL"},
        {"CONNECT 99999999999999999999", AtKind::Connect, 0, ""},
        {"RING", AtKind::Ring, 0, ""},
        {"RING 123", AtKind::Ring, 0, ""},
        {"RING/0", AtKind::Ring, 0, ""},
        {"RING;1", AtKind::Ring, 0, ""},
        {"RING A", AtKind::Ring, 0, ""},
        {"+CRING: DATA", AtKind::Ring, 0, ""},
        {"+CRING: REL ASYNC", AtKind::Ring, 0, ""},
        {"RINGING", AtKind::Info, 0, ""},
        {"RINGBACK", AtKind::Info, 0, ""},
        {"NO CARRIER", AtKind::NoCarrier, 0, ""},
        {"BUSY", AtKind::Busy, 0, ""},
        {"NO DIALTONE", AtKind::NoDialtone, 0, ""},
        {"NO DIAL TONE", AtKind::NoDialtone, 0, ""},
        {"NO ANSWER", AtKind::NoAnswer, 0, ""},
        {"VOICE", AtKind::Voice, 0, ""},
        {"0", AtKind::Ok, 0, ""},
        {"1", AtKind::Connect, 0, ""},
        {"2", AtKind::Ring, 0, ""},
        {"3", AtKind::NoCarrier, 0, ""},
        {"4", AtKind::Error, 0, ""},
        {"6", AtKind::NoDialtone, 0, ""},
        {"7", AtKind::Busy, 0, ""},
        {"8", AtKind::NoAnswer, 0, ""},
        {"12", AtKind::Connect, 0, ""},
        {"CONNECTED TO THE BBS", AtKind::Info, 0, ""},
        {"NO CARRIERS HERE", AtKind::Info, 0, ""},
        {"56000 modem v1.2", AtKind::Info, 0, ""},
        {"1234567", AtKind::Info, 0, ""},
    };
    for (const Row& r : rows) {
        const AtLine line = ClassifyAtLine(r.line);
        EXPECT_EQ(line.kind, r.kind) << r.line;
        EXPECT_EQ(line.rate, r.rate) << r.line;
        EXPECT_EQ(line.suffix, QByteArray(r.suffix)) << r.line;
        EXPECT_EQ(line.text, QByteArray(r.line));
    }
}

TEST(AtClassify, CallerIdAndEcho)
{
    AtLine nmbr = ClassifyAtLine("NMBR = 5551234");
    EXPECT_EQ(nmbr.kind, AtKind::CallerId);
    EXPECT_EQ(nmbr.field, CallerIdField::Number);
    EXPECT_EQ(nmbr.value, "5551234");
    EXPECT_EQ(ClassifyAtLine("NAME=JOHN Q PUBLIC").value, "JOHN Q PUBLIC");
    EXPECT_EQ(ClassifyAtLine("DATE = 0321").field, CallerIdField::Date);
    EXPECT_EQ(ClassifyAtLine("TIME = 1405").field, CallerIdField::Time);
    EXPECT_EQ(ClassifyAtLine("NMBR = P").value, "P") << "private: the value is passed on as given";
    EXPECT_EQ(ClassifyAtLine("S0=2").kind, AtKind::Info);
    EXPECT_EQ(ClassifyAtLine("Manufacturer: VH").kind, AtKind::Info);

    EXPECT_EQ(ClassifyAtLine("ATDT5551234", "ATDT5551234").kind, AtKind::Echo);
    EXPECT_EQ(ClassifyAtLine("atz", "ATZ").kind, AtKind::Echo);
    EXPECT_EQ(ClassifyAtLine("OK", "ATZ").kind, AtKind::Ok) << "a result is never taken for echo";
    EXPECT_EQ(ClassifyAtLine("ATI3").kind, AtKind::Echo) << "a stray echo with no command outstanding";
}

// Every form a caller can arrive in gives the same items.
TEST(AtClassify, CallerIdInEveryForm)
{
    using Items = std::vector<CallerIdItem>;
    const Items full = {{CallerIdField::Date, "1208"},
                        {CallerIdField::Time, "0105"},
                        {CallerIdField::Number, "5550100"},
                        {CallerIdField::Name, "ALI REZAEI"}};
    // The multiple-message packet of that caller, with and without checksum.
    const QByteArray mdmf = "801F01083132303830313035020735353530313030070A414C492052455A414549";
    struct Row
    {
        QByteArray line;
        Items items;
    };
    const Row rows[] = {
        {"NMBR: 5550100", {{CallerIdField::Number, "5550100"}}},
        {"DDN_NMBR = 5550100", {{CallerIdField::Number, "5550100"}}},
        {"MESG = 070A414C492052455A414549", {{CallerIdField::Name, "ALI REZAEI"}}},
        {"MESG = 06034242431", {{CallerIdField::Message, "06034242431"}}},
        {"MESG = 0603424243", {{CallerIdField::Message, "0603424243"}}},
        {mdmf, full},
        {mdmf + "97", full},
        // A single-message packet: date, time and the number only.
        {"0412303332323234303539313435353132333435",
         {{CallerIdField::Date, "0322"},
          {CallerIdField::Time, "2405"},
          {CallerIdField::Number, "9145512345"}}},
        {"8006040150080150", {{CallerIdField::Number, "P"}}},
        {"+CLIP: \"5550100\",129,,,\"ALI REZAEI\",0",
         {{CallerIdField::Number, "5550100"}, {CallerIdField::Name, "ALI REZAEI"}}},
        {"+CLIP: \"\",128,,,,1", {{CallerIdField::Number, "P"}}},
        {"+CLIP: \"5550100\",129", {{CallerIdField::Number, "5550100"}}},
    };
    for (const Row& r : rows) {
        const AtLine line = ClassifyAtLine(r.line);
        EXPECT_EQ(line.kind, AtKind::CallerId) << r.line.constData();
        EXPECT_EQ(line.items, r.items) << r.line.constData();
        if (!r.items.empty()) {
            EXPECT_EQ(line.field, r.items.front().field);
            EXPECT_EQ(line.value, r.items.front().value);
        }
    }
    // Hex whose lengths do not add up is not a packet, and numbers that
    // happen to be hex stay information.
    for (const char* other : {"801D0108", "80020603414243", "04123033", "12345678", "0000000000", "8002"})
        EXPECT_EQ(ClassifyAtLine(other).kind, AtKind::Info) << other;
    EXPECT_TRUE(DecodeCallerIdHex("80FF01", true).empty());
    EXPECT_TRUE(DecodeCallerIdHex("zz", false).empty());
}

std::vector<QByteArray> Split(const QByteArray& input, const std::vector<qsizetype>& cuts)
{
    AtLineSplitter splitter;
    std::vector<QByteArray> lines;
    qsizetype from = 0;
    for (qsizetype cut : cuts) {
        splitter.Feed(QByteArrayView(input).sliced(from, cut - from), lines);
        from = cut;
    }
    splitter.Feed(QByteArrayView(input).sliced(from), lines);
    return lines;
}

TEST(AtSplitter, SameLinesWholeByteByByteAndAtEverySplit)
{
    const QByteArray input = "ATDT5551234\r\r\nRING/0\r\n\r\nNMBR = 5551234\r\nCONNECT 33600/ARQ\r\n0\r3\r"
                             "+CLIP: \"5551234\",129\r\n";
    const std::vector<QByteArray> expected = {
        "ATDT5551234", "RING/0", "NMBR = 5551234", "CONNECT 33600/ARQ", "0", "3", "+CLIP: \"5551234\",129"};
    EXPECT_EQ(Split(input, {}), expected);
    std::vector<qsizetype> every;
    for (qsizetype i = 1; i < input.size(); ++i)
        every.push_back(i);
    EXPECT_EQ(Split(input, every), expected);
    for (qsizetype cut = 0; cut <= input.size(); ++cut)
        EXPECT_EQ(Split(input, {cut}), expected) << cut;
}

TEST(AtSplitter, AnEndlessLineIsCutAndItsRestDropped)
{
    AtLineSplitter splitter;
    std::vector<QByteArray> lines;
    splitter.Feed(QByteArray(100000, 'x'), lines);
    EXPECT_LE(splitter.Pending(), AtLineSplitter::MaxLine);
    splitter.Feed("\r\nOK\r\n", lines);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), AtLineSplitter::MaxLine);
    EXPECT_EQ(lines[1], "OK");
}

TEST(DialAlphabet, OnlyDialCharactersPass)
{
    for (const char* good : {"5551234", "T5551234", "9W5551234", "*70,,5551234", "#31#555 1234", "P1A2B3C4D",
                             "1@", "1!", "555;"})
        EXPECT_TRUE(IsValidDialString(good)) << good;
    for (const char* bad :
         {"", "W", "555\r1234", "555\rATH", "555;ATZ", "5551234\n", "555-1234", "555+", "5/5", "555\x1b"})
        EXPECT_FALSE(IsValidDialString(bad)) << bad;
    EXPECT_TRUE(IsValidDtmf("0123456789*#ABCDabcd"));
    EXPECT_FALSE(IsValidDtmf(""));
    EXPECT_FALSE(IsValidDtmf("1,2"));
    EXPECT_FALSE(IsValidDtmf("1\r"));
}

class Sequencer : public ::testing::Test
{
protected:
    qv::ScopedVirtualClock clock;
    QByteArray written;
    bool writeOk = true;
    std::vector<AtLine> unsolicited;
    AtSequencer seq{[this](const QByteArray& b) {
                        written += b;
                        return writeOk;
                    },
                    [this](const AtLine& l) { unsolicited.push_back(l); }};
};

TEST_F(Sequencer, OneCommandAtATimeWithItsOwnResult)
{
    std::vector<AtReply> replies;
    seq.Send("ATZ", 1000, [&](const AtReply& r) { replies.push_back(r); });
    seq.Send("ATI3", 1000, [&](const AtReply& r) { replies.push_back(r); });
    EXPECT_TRUE(written.isEmpty()) << "nothing happens inside Send";
    clock->Advance(1);
    EXPECT_EQ(written, "ATZ\r");
    seq.Feed("ATZ\r\r\nOK\r\n");
    EXPECT_EQ(written, "ATZ\rATI3\r");
    seq.Feed("ATI3\r\r\nVH 56K\r\nRING\r\nOK\r\n");
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].final.kind, AtKind::Ok);
    ASSERT_EQ(replies[1].info.size(), 1u);
    EXPECT_EQ(replies[1].info[0].text, "VH 56K");
    ASSERT_EQ(unsolicited.size(), 1u) << "RING in the middle of a reply is still news";
    EXPECT_EQ(unsolicited[0].kind, AtKind::Ring);
    EXPECT_FALSE(seq.Busy());
}

TEST_F(Sequencer, ALateReplyNeverAnswersTheNextCommand)
{
    std::vector<AtReply> replies;
    seq.Send("ATDT5551234", 5000, [&](const AtReply& r) { replies.push_back(r); });
    clock->Advance(1);
    clock->Advance(5000);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].outcome, AtOutcome::Timeout);
    EXPECT_TRUE(seq.Discarding());

    seq.Send("ATH", 1000, [&](const AtReply& r) { replies.push_back(r); });
    clock->Advance(1);
    // The dial's late BUSY arrives first: it must not be taken as ATH's reply.
    seq.Feed("BUSY\r\n");
    EXPECT_EQ(replies.size(), 1u);
    seq.Feed("OK\r\n");
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1].final.kind, AtKind::Ok);
}

TEST_F(Sequencer, FailuresAndCancellationEndEveryCommandOnce)
{
    std::vector<AtOutcome> outcomes;
    writeOk = false;
    seq.Send("ATZ", 1000, [&](const AtReply& r) { outcomes.push_back(r.outcome); });
    clock->Advance(1);
    ASSERT_EQ(outcomes, std::vector<AtOutcome>{AtOutcome::WriteFailed});

    writeOk = true;
    seq.Send("ATA", 60000, [&](const AtReply& r) { outcomes.push_back(r.outcome); });
    seq.Send("ATS0?", 1000, [&](const AtReply& r) { outcomes.push_back(r.outcome); });
    clock->Advance(1);
    seq.Feed("CONN"); // a partial line is forgotten on the switch to data
    seq.CancelAll();
    EXPECT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(outcomes[1], AtOutcome::Cancelled);
    EXPECT_EQ(outcomes[2], AtOutcome::Cancelled);
    clock->Advance(100000);
    EXPECT_EQ(outcomes.size(), 3u) << "no time-out after cancellation";
}

TEST_F(Sequencer, ResultsWithoutACommandAreUnsolicited)
{
    seq.Feed("RING\r\nNMBR = 5551234\r\nNAME = ALICE\r\nNO CARRIER\r\n");
    ASSERT_EQ(unsolicited.size(), 4u);
    EXPECT_EQ(unsolicited[1].field, CallerIdField::Number);
    EXPECT_EQ(unsolicited[3].kind, AtKind::NoCarrier);
}

} // namespace
