// The growing reads of variable-size structures and the strings inside them,
// against a scripted query that answers the way the service does.
#include "telephony/TapiBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace qv {
namespace {

constexpr std::int32_t kTooSmall = -77;

struct Header
{
    std::uint32_t total, needed, used, format, size, offset;
};

// A service whose answer needs `needed` bytes; a buffer below `fixed` is
// refused as too small.
struct Answerer
{
    std::uint32_t fixed = 24;
    std::uint32_t needed = 24;
    std::vector<std::uint32_t> totals;
    std::int32_t operator()(void* data)
    {
        auto* h = static_cast<Header*>(data);
        totals.push_back(h->total);
        if (h->total < fixed)
            return kTooSmall;
        h->needed = needed;
        h->used = h->total >= needed ? needed : fixed;
        return 0;
    }
};

TEST(TapiBufferTest, GrowsToTheNeededSizeOrStepsAfterTooSmall)
{
    TapiBuffer buffer;
    Answerer fits;
    EXPECT_TRUE(ReadGrowing(24, kTooSmall, std::ref(fits), buffer).ok());
    EXPECT_EQ(fits.totals, std::vector<std::uint32_t>({24}));

    Answerer grows;
    grows.needed = 300;
    EXPECT_TRUE(ReadGrowing(24, kTooSmall, std::ref(grows), buffer).ok());
    EXPECT_EQ(grows.totals, std::vector<std::uint32_t>({24, 300}));
    EXPECT_EQ(buffer.Size(), 300u);

    // Too small for the fixed part: start + 10, + 20, ... until it fits.
    Answerer fixedPart;
    fixedPart.fixed = fixedPart.needed = 45;
    EXPECT_TRUE(ReadGrowing(24, kTooSmall, std::ref(fixedPart), buffer).ok());
    EXPECT_EQ(fixedPart.totals, std::vector<std::uint32_t>({24, 34, 44, 54}));
}

TEST(TapiBufferTest, GivesUpAfterTenRetriesAndRefusesAbsurdSizes)
{
    TapiBuffer buffer;
    Answerer never;
    never.fixed = never.needed = 1000;
    ReadResult r = ReadGrowing(24, kTooSmall, std::ref(never), buffer);
    EXPECT_EQ(r.status, ReadStatus::TooManyRetries);
    EXPECT_EQ(never.totals.size(), 11u);

    // A service that keeps asking for more than it used.
    int calls = 0;
    auto greedy = [&](void* data) {
        auto* h = static_cast<Header*>(data);
        h->needed = h->total + 1;
        ++calls;
        return 0;
    };
    EXPECT_EQ(ReadGrowing(24, kTooSmall, greedy, buffer).status, ReadStatus::TooManyRetries);
    EXPECT_EQ(calls, 11);

    auto huge = [](void* data) {
        static_cast<Header*>(data)->needed = 0xFFFFFFF0u;
        return 0;
    };
    EXPECT_EQ(ReadGrowing(24, kTooSmall, huge, buffer).status, ReadStatus::NoMemory);

    auto refuses = [](void*) { return -5; };
    r = ReadGrowing(24, kTooSmall, refuses, buffer);
    EXPECT_EQ(r.status, ReadStatus::ServiceError);
    EXPECT_EQ(r.error, -5);
}

TEST(TapiBufferTest, StringsAreCutAtNulDecodedByFormatAndBoundsChecked)
{
    TapiBuffer buffer;
    ASSERT_TRUE(buffer.Allocate(64));
    auto* h = buffer.As<Header>();
    h->used = 64;
    auto* bytes = static_cast<std::uint8_t*>(buffer.Data());
    const char16_t wide[] = u"L\u00e9n\0zz";
    std::memcpy(bytes + 24, wide, sizeof wide);
    QString text;
    ASSERT_TRUE(buffer.String(sizeof wide, 24, true, text));
    EXPECT_EQ(text, QString::fromUtf8("L\xc3\xa9n"));

    std::memcpy(bytes + 40, "abc", 3); // no NUL of its own
    ASSERT_TRUE(buffer.String(3, 40, false, text));
    EXPECT_EQ(text, "abc");

    EXPECT_FALSE(buffer.String(0, 40, false, text));
    EXPECT_FALSE(buffer.String(3, 0, false, text));
    EXPECT_FALSE(buffer.String(8, 60, false, text)); // runs past the buffer
    h->used = 30;
    EXPECT_FALSE(buffer.String(3, 40, false, text)); // past what the service wrote
    EXPECT_TRUE(text.isEmpty());
}

} // namespace
} // namespace qv
