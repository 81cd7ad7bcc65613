#include "common/Component.h"
#include "serial/BufferIn.h"

#include <gtest/gtest.h>

namespace {

using qv::TBufferIn;

class BufferInTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qv::SetShowMessageHandler([this](const QString& text) { messages << text; });
    }
    void TearDown() override { qv::SetShowMessageHandler(nullptr); }
    QStringList messages;
};

TEST_F(BufferInTest, AppendKeepsTheNewestBytesOldestFirst)
{
    TBufferIn buffer;
    buffer.SetSize(10);
    buffer.Append("abcdefgh", 8);
    EXPECT_EQ(buffer.Contents(), "abcdefgh");
    buffer.Append("12345", 5);
    EXPECT_EQ(buffer.Used(), 10);
    EXPECT_EQ(buffer.Contents(), "defgh12345") << "the newest five held bytes, then the chunk";
    buffer.Append("XY", 2);
    EXPECT_EQ(buffer.Contents(), "fgh12345XY");

    buffer.Append("0123456789abc", 13);
    EXPECT_EQ(buffer.Contents(), "3456789abc") << "a chunk larger than the buffer leaves its last Size bytes";
    buffer.Append("0123456789", 10);
    EXPECT_EQ(buffer.Contents(), "0123456789");
    EXPECT_EQ(buffer.Data()[10], 0) << "the zero byte at position Size stays";
}

TEST_F(BufferInTest, SizeChangesDiscardTheContentsAndZeroIsRefused)
{
    TBufferIn buffer;
    EXPECT_EQ(buffer.Size(), 4000);
    EXPECT_FALSE(buffer.Enabled());
    buffer.Append("hello", 5);
    buffer.SetSize(4000);
    EXPECT_EQ(buffer.Used(), 5) << "the same size changes nothing";
    buffer.SetSize(0);
    buffer.SetSize(-3);
    EXPECT_EQ(messages.size(), 2);
    EXPECT_EQ(buffer.Size(), 4000);
    EXPECT_EQ(buffer.Contents(), "hello");
    buffer.SetSize(1);
    EXPECT_EQ(buffer.Used(), 0);
    buffer.Append("xyz", 3);
    EXPECT_EQ(buffer.Contents(), "z");
    buffer.Clear();
    EXPECT_EQ(buffer.Used(), 0);
}

TEST_F(BufferInTest, FindLimitsAndCase)
{
    TBufferIn buffer;
    buffer.SetSize(32);
    buffer.Append("xxNO CARRIER\r\nabc", 17);
    const int used = buffer.Used();

    EXPECT_EQ(buffer.Find(0, "NO CARRIER", true), 2);
    EXPECT_EQ(buffer.Find(3, "NO CARRIER", true), -1);
    EXPECT_EQ(buffer.Find(0, "abc", true), used - 3) << "a text at the very end of the held bytes";
    EXPECT_EQ(buffer.Find(0, "abcd", true), -1) << "a text whose last byte lies beyond Used";
    EXPECT_EQ(buffer.Find(used, "c", true), -1);
    EXPECT_EQ(buffer.Find(used - 1, "c", true), used - 1);
    EXPECT_EQ(buffer.Find(0, "", true), -1);
    EXPECT_EQ(buffer.Find(-5, "xx", true), 0) << "a negative start searches from 0";

    EXPECT_EQ(buffer.Find(0, "no carrier", true), -1);
    EXPECT_EQ(buffer.Find(0, "no carrier", false), 2);
    EXPECT_EQ(buffer.Find(0, "ABC", false), used - 3);
    EXPECT_EQ(buffer.Find(0, "aBc", false), used - 3);
    EXPECT_EQ(buffer.Contents(), "xxNO CARRIER\r\nabc") << "Find never changes the buffer";

    // Only ASCII letters fold: bytes above 127 compare as they are.
    buffer.Clear();
    buffer.Append("\xe0\xc0", 2);
    EXPECT_EQ(buffer.Find(0, "\xc0", false), 1);
}

} // namespace
