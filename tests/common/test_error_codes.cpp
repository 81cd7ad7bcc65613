#include "common/Component.h"
#include "common/ErrorCodes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>

namespace {

using qv::ErrorCodeToMessage;

int Mapped(int osError)
{
    qv::OSErrorToErrorCode(osError);
    return osError;
}

TEST(ErrorMessages, EveryCodeHasExactlyItsMessage)
{
    // The whole table, byte for byte; a code outside it has no message.
    const std::pair<int, const char*> table[] = {
        {-100, "The file is protected and cannot be opened."},
        {-98, "The network is not responding to the request to open a remote file."},
        {-97, "The filename, directory name or volume label was not found."},
        {-96, "The file is being used by another application and is unavailable."},
        {-95, "Too many files already open."},
        {-94, "The filename, directory name or volume label syntax is incorrect."},
        {-93, "Read/write operations on the file failed."},
        {-92, "Cannot write into the file."},
        {-90, "File is exclusively allocated by another application."},
        {-89, "File cannot be opened."},
        {-88, "The file contains no data."},
        {-51, "The disk is full."},
        {-50, "Unable to allocate memory."},
        {-10, "One or more of the arguments is invalid."},
        {-2, "The operation requested is already in progress."},
        {-1, "Operation failed to complete successfully."},
        {99, "Could not initialize the application under the TAPI."},
        {100, "Could not open the line device."},
        {101, "No TAPI-capable line device installed."},
        {102, "Bad line device ID."},
        {103, "Could not negotiate the version of TAPI."},
        {105, "Could not setup the line device."},
        {106, "Line device is exclusively allocated by another application."},
        {107, "Line device is unavailable."},
        {108, "Error has occurred during call operation."},
        {109, "Error has occurred during answer operation."},
        {110, "Cannot answer the call because it's not being offered."},
        {111, "Error has occurred during hang up operation."},
        {112, "Error has occurred during line device close operation."},
        {113, "Telephony Device Time out: telephony device response to the application request was not "
              "received in the expected time."},
        {114, "The property AddressID is out of range."},
        {115, "The call handle specified is invalid."},
        {116, "Application does not have owner privilege to this call."},
        {150, "Device name is unavailable."},
        {151, "External Auxiliary Device is not supported by this line device."},
        {152, "External Handset Device is not supported by this line device."},
        {153, "Caller ID is unavailable for this call."},
        {154, "This device does not support Caller ID."},
        {155, "Invalid dial number."},
        {156, "Set/Read mic and speaker state failed."},
        {157, "Line device is not active. Use the LineActive method to activate it."},
        {158, "The requested action can not be done while the call is in progress. Wait until it is "
              "disconnected."},
        {159, "The requested action can not be done while the offering call is in progress. Wait until it is "
              "dropped."},
        {160, "Another application request is in progress. Wait until it is complete."},
        {161, "The call is already disconnected."},
        {162, "The telephony device is not compatible with the value specified by the MediaMode property."},
        {163, "The LineConfigLoad method failed because the key specified could not be found."},
        {164, "The required operation on the external device is unavailable."},
        // Added by this system for the far side of an internet line.
        {165, "The remote side refused the call: nothing accepts calls at that number."},
        {166, "The remote side cannot be reached: there is no route to it."},
        {167, "The remote side did not answer in time."},
        {170, "Operation failed because there is no consultation call."},
        {400, "Unsupported file compression."},
        {411, "Unsupported clipboard format."},
        {420, "Invalid BMP format."},
        {500, "Could not access the Serial Port because the call connected by QvPhone control was closed. "
              "The port will be closed."},
        {501, "Could not setup the serial port device."},
        {502, "Could not flush the serial port buffer."},
        {503, "The serial port number is invalid. Check if the serial port is already opened."},
        {504, "Serial port device was abruptly closed."},
        {505, "A Communication error (frame, overrun or parity error) occurred."},
        {506, "Unable to send data completely to the serial port device."},
        {507, "Unable to read data from the serial port device."},
        {508, "Serial Port is not opened."},
        {509, "Serial Port is already opened."},
        {510, "The buffer size can not be changed while the Serial Port is opened."},
        {512, "The method WaitResponse cannot be used because no response is set or enabled."},
        {513, "Another WaitResponse method is in progress. Wait until it is finished."},
        {514, "The WaitResponse operation was aborted due to a call to AbortWaitResponse method."},
        {600, "No response from the remote."},
        {601, "The maximum number of retries is exceeded."},
        {603, "The property LinkedTo is unassigned."},
        {604, "The QvSerialPort control which is linked to this control has invalid settings for file "
              "transmission."},
        {605, "Another sending or receiving operation is in progress. Wait until it is complete."},
        {606, "There is no file for transmission."},
        {607, "The remote aborted the transmission while the file was being sent or received."},
        {650, "Unknown compression file format."},
        {651, "Compressed file is corrupted."},
        {652, "The password to decompress the file is invalid."},
        {653,
         "Another file compression or decompression operation is in progress. Wait until it is complete."},
        {654, "The file compression or decompression operation was aborted by the user."},
    };
    std::map<int, QString> expected;
    for (const auto& [code, text] : table)
        expected[code] = QString::fromLatin1(text);
    ASSERT_EQ(expected.size(), std::size(table));
    for (int code = -1000; code <= 2000; ++code) {
        const auto it = expected.find(code);
        EXPECT_EQ(ErrorCodeToMessage(code), it == expected.end() ? QString() : it->second) << code;
    }
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
