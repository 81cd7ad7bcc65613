#include "common/Component.h"
#include "common/ErrorCodes.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using qv::ErrorCodeToMessage;

int Mapped(int osError)
{
    qv::OSErrorToErrorCode(osError);
    return osError;
}

TEST(ErrorMessages, CodesWithoutRowsHaveNoMessage)
{
    for (int code : {0, 104, 511, 602, 1000, -3, -99, 8, 53, 301, 455, 700, 709, 171, 515, 608, 655})
        EXPECT_TRUE(ErrorCodeToMessage(code).isEmpty()) << code;
}

TEST(ErrorMessages, MessagesAreExactToTheByte)
{
    EXPECT_EQ(ErrorCodeToMessage(-1), "Operation failed to complete successfully.");
    EXPECT_EQ(ErrorCodeToMessage(603), "The property LinkedTo is unassigned.");
    EXPECT_EQ(ErrorCodeToMessage(113),
              "Telephony Device Time out: telephony device response to the application request was not "
              "received in the expected time.");
    EXPECT_EQ(ErrorCodeToMessage(110), "Cannot answer the call because it's not being offered.");
    EXPECT_EQ(ErrorCodeToMessage(505), "A Communication error (frame, overrun or parity error) occurred.");
    EXPECT_EQ(ErrorCodeToMessage(-93), "Read/write operations on the file failed.");
    EXPECT_EQ(ErrorCodeToMessage(420), "Invalid BMP format.");
    EXPECT_EQ(ErrorCodeToMessage(411), "Unsupported clipboard format.");
    EXPECT_EQ(ErrorCodeToMessage(400), "Unsupported file compression.");
    EXPECT_EQ(ErrorCodeToMessage(157),
              "Line device is not active. Use the LineActive method to activate it.");
}

TEST(ErrorMessages, EveryBlockIsCompleteAndEveryMessageIsASentence)
{
    const int assigned[] = {-100, -98, -97, -96, -95, -94, -93, -92, -90, -89, -88, -51, -50, -10,
                            -2,   -1,  99,  100, 101, 102, 103, 105, 106, 107, 108, 109, 110, 111,
                            112,  113, 114, 115, 116, 150, 151, 152, 153, 154, 155, 156, 157, 158,
                            159,  160, 161, 162, 163, 164, 165, 166, 167, 170, 400, 411, 420, 500,
                            501,  502, 503, 504, 505, 506, 507, 508, 509, 510, 512, 513, 514, 600,
                            601,  603, 604, 605, 606, 607, 650, 651, 652, 653, 654};
    int count = 0;
    for (int code = -200; code <= 1000; ++code) {
        const QString text = ErrorCodeToMessage(code);
        if (text.isEmpty())
            continue;
        ++count;
        EXPECT_NE(std::find(std::begin(assigned), std::end(assigned), code), std::end(assigned)) << code;
        EXPECT_TRUE(text.endsWith('.')) << code;
        EXPECT_FALSE(text.contains("  ")) << code;
    }
    EXPECT_EQ(count, static_cast<int>(std::size(assigned)));
}

TEST(ErrorMessages, TheComponentMethodIgnoresWhichComponentAsks)
{
    qv::TQVT_ComponentVCL phone, port;
    EXPECT_EQ(phone.GetErrorMessage(500), port.GetErrorMessage(500));
    EXPECT_TRUE(port.GetErrorMessage(500).contains("QvPhone control"));
    EXPECT_TRUE(port.GetErrorMessage(0).isEmpty());
}

TEST(OsErrorMapping, FixedTable)
{
    const std::pair<int, int> rows[] = {
        {2, -97},  {3, -97},  {53, -97}, {67, -97},  {4, -95},  {5, -100},  {8, -50},   {14, -50},
        {15, -89}, {21, -89}, {26, -89}, {27, -89},  {30, -89}, {34, -89},  {19, -92},  {29, -92},
        {82, -92}, {32, -96}, {33, -96}, {36, -96},  {51, -98}, {54, -98},  {55, -98},  {57, -98},
        {58, -98}, {59, -98}, {64, -98}, {65, -98},  {66, -98}, {69, -98},  {70, -98},  {71, -98},
        {86, -98}, {88, -98}, {62, -51}, {112, -51}, {87, -10}, {123, -94}, {161, -94}, {206, -94}};
    for (auto [os, suite] : rows)
        EXPECT_EQ(Mapped(os), suite) << os;
}

TEST(OsErrorMapping, EverythingElseIsTheGenericFailure)
{
    for (int os : {0, 1, 6, 120, 183, -1, -97, 31, 1000, 0x7fffffff, int(0x80000000)})
        EXPECT_EQ(Mapped(os), -1) << os;
    // The mapping never invents the codes that only their detectors report.
    for (int os = -300; os < 2000; ++os) {
        const int code = Mapped(os);
        EXPECT_TRUE(code != -93 && code != -90 && code != -88) << os;
    }
}

TEST(OsErrorMapping, ErrnoReachesTheSameMeaning)
{
    // errno -> Win32 number -> suite code: what a failed open reports.
    const std::pair<int, int> rows[] = {{ENOENT, -97},       {ENOTDIR, -97}, {EMFILE, -95}, {EACCES, -100},
                                        {EPERM, -100},       {ENOMEM, -50},  {EROFS, -92},  {EBUSY, -96},
                                        {ETXTBSY, -96},      {ENOSPC, -51},  {EDQUOT, -51}, {EINVAL, -10},
                                        {ENAMETOOLONG, -94}, {EISDIR, -100}};
    for (auto [e, suite] : rows) {
        errno = e;
        EXPECT_EQ(qv::LastErrorCode(), suite) << e;
    }
    EXPECT_EQ(qv::ErrnoToOsError(0), 0);
    EXPECT_NE(qv::ErrnoToOsError(EPROTO), 0) << "an unknown errno must never read as success";
}

} // namespace
