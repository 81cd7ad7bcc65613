// The suite's one numbering of failures, the English message of each code,
// and the translation of operating-system error numbers into it.
//
// A code is a signed 32-bit integer: 0 is success, negative codes are general
// and file-system failures, 99..170 belong to QvPhone, 400/411/420 to
// TQvGraphic, 500..514 to QvSerialPort and 600..654 to QvFile.
#pragma once

#include <QString>

namespace qv {

// Named codes for the places that produce them. The messages live in one table
// in ErrorCodes.cpp; ErrorCodeToMessage is the only way to read them.
namespace err {
constexpr int Success = 0;
constexpr int Failed = -1;
constexpr int InProgress = -2;
constexpr int InvalidArgument = -10;
constexpr int OutOfMemory = -50;
constexpr int DiskFull = -51;
constexpr int NoData = -88;
constexpr int CannotOpen = -89;
constexpr int ExclusivelyAllocated = -90;
constexpr int CannotWrite = -92;
constexpr int ReadWriteFailed = -93;
constexpr int BadNameSyntax = -94;
constexpr int TooManyOpenFiles = -95;
constexpr int SharingViolation = -96;
constexpr int NotFound = -97;
constexpr int NetworkNotResponding = -98;
constexpr int Protected = -100;

constexpr int GraphicUnsupportedCompression = 400;
constexpr int GraphicUnsupportedClipboardFormat = 411;
constexpr int GraphicInvalidBmp = 420;
} // namespace err

// The message of `code`, exactly as the table has it; empty for 0 and for any
// number without a row. Stateless, never fails, callable from any thread.
QString ErrorCodeToMessage(int code);

// On entry `code` holds an operating-system error number (Win32 numbering, as
// LastOsError() yields it); on return it holds the suite code. Every number
// without a row, 0 and negative numbers included, becomes -1.
void OSErrorToErrorCode(int& code);

// Win32 error numbers that the rest of the suite names.
namespace oserr {
constexpr int FileNotFound = 2;
constexpr int PathNotFound = 3;
constexpr int TooManyOpenFiles = 4;
constexpr int AccessDenied = 5;
constexpr int InvalidHandle = 6;
constexpr int NotEnoughMemory = 8;
constexpr int WriteProtect = 19;
constexpr int NotReady = 21;
constexpr int SharingViolation = 32;
constexpr int LockViolation = 33;
constexpr int DevNotExist = 55;
constexpr int FileExists = 80;
constexpr int InvalidParameter = 87;
constexpr int BrokenPipe = 109;
constexpr int DiskFull = 112;
constexpr int CallNotImplemented = 120;
constexpr int InvalidName = 123;
constexpr int DirNotEmpty = 145;
constexpr int BadPathname = 161;
constexpr int AlreadyExists = 183;
constexpr int FilenameTooLong = 206;
constexpr int OperationAborted = 995;
constexpr int IoIncomplete = 996;
constexpr int IoPending = 997;
constexpr int Timeout = 1460;
} // namespace oserr

// The one place where errno becomes an error number: the Win32 number of the
// same meaning (ENOENT -> 2, EACCES -> 5, ENOSPC -> 112, ...). Unknown errno
// values map to 31 (ERROR_GEN_FAILURE) so that they never read as success.
int ErrnoToOsError(int errnoValue);

// ErrnoToOsError(errno): call right after the failing POSIX call.
int LastOsError();

// The failing POSIX call's errno, already turned into a suite code.
int LastErrorCode();

} // namespace qv
