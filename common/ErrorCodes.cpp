#include "common/ErrorCodes.h"

#include <cerrno>

namespace qv {

namespace {

const char* MessageOf(int code)
{
    switch (code) {
    case -100:
        return "The file is protected and cannot be opened.";
    case -98:
        return "The network is not responding to the request to open a remote file.";
    case -97:
        return "The filename, directory name or volume label was not found.";
    case -96:
        return "The file is being used by another application and is unavailable.";
    case -95:
        return "Too many files already open.";
    case -94:
        return "The filename, directory name or volume label syntax is incorrect.";
    case -93:
        return "Read/write operations on the file failed.";
    case -92:
        return "Cannot write into the file.";
    case -90:
        return "File is exclusively allocated by another application.";
    case -89:
        return "File cannot be opened.";
    case -88:
        return "The file contains no data.";
    case -51:
        return "The disk is full.";
    case -50:
        return "Unable to allocate memory.";
    case -10:
        return "One or more of the arguments is invalid.";
    case -2:
        return "The operation requested is already in progress.";
    case -1:
        return "Operation failed to complete successfully.";
    case 99:
        return "Could not initialize the application under the TAPI.";
    case 100:
        return "Could not open the line device.";
    case 101:
        return "No TAPI-capable line device installed.";
    case 102:
        return "Bad line device ID.";
    case 103:
        return "Could not negotiate the version of TAPI.";
    case 105:
        return "Could not setup the line device.";
    case 106:
        return "Line device is exclusively allocated by another application.";
    case 107:
        return "Line device is unavailable.";
    case 108:
        return "Error has occurred during call operation.";
    case 109:
        return "Error has occurred during answer operation.";
    case 110:
        return "Cannot answer the call because it's not being offered.";
    case 111:
        return "Error has occurred during hang up operation.";
    case 112:
        return "Error has occurred during line device close operation.";
    case 113:
        return "Telephony Device Time out: telephony device response to the application request was not "
               "received in the expected time.";
    case 114:
        return "The property AddressID is out of range.";
    case 115:
        return "The call handle specified is invalid.";
    case 116:
        return "Application does not have owner privilege to this call.";
    case 150:
        return "Device name is unavailable.";
    case 151:
        return "External Auxiliary Device is not supported by this line device.";
    case 152:
        return "External Handset Device is not supported by this line device.";
    case 153:
        return "Caller ID is unavailable for this call.";
    case 154:
        return "This device does not support Caller ID.";
    case 155:
        return "Invalid dial number.";
    case 156:
        return "Set/Read mic and speaker state failed.";
    case 157:
        return "Line device is not active. Use the LineActive method to activate it.";
    case 158:
        return "The requested action can not be done while the call is in progress. Wait until it is "
               "disconnected.";
    case 159:
        return "The requested action can not be done while the offering call is in progress. Wait until it "
               "is dropped.";
    case 160:
        return "Another application request is in progress. Wait until it is complete.";
    case 161:
        return "The call is already disconnected.";
    case 162:
        return "The telephony device is not compatible with the value specified by the MediaMode property.";
    case 163:
        return "The LineConfigLoad method failed because the key specified could not be found.";
    case 164:
        return "The required operation on the external device is unavailable.";
    case 165:
        return "The remote side refused the call: nothing accepts calls at that number.";
    case 166:
        return "The remote side cannot be reached: there is no route to it.";
    case 167:
        return "The remote side did not answer in time.";
    case 170:
        return "Operation failed because there is no consultation call.";
    case 400:
        return "Unsupported file compression.";
    case 411:
        return "Unsupported clipboard format.";
    case 420:
        return "Invalid BMP format.";
    case 500:
        return "Could not access the Serial Port because the call connected by QvPhone control was closed. "
               "The port will be closed.";
    case 501:
        return "Could not setup the serial port device.";
    case 502:
        return "Could not flush the serial port buffer.";
    case 503:
        return "The serial port number is invalid. Check if the serial port is already opened.";
    case 504:
        return "Serial port device was abruptly closed.";
    case 505:
        return "A Communication error (frame, overrun or parity error) occurred.";
    case 506:
        return "Unable to send data completely to the serial port device.";
    case 507:
        return "Unable to read data from the serial port device.";
    case 508:
        return "Serial Port is not opened.";
    case 509:
        return "Serial Port is already opened.";
    case 510:
        return "The buffer size can not be changed while the Serial Port is opened.";
    case 512:
        return "The method WaitResponse cannot be used because no response is set or enabled.";
    case 513:
        return "Another WaitResponse method is in progress. Wait until it is finished.";
    case 514:
        return "The WaitResponse operation was aborted due to a call to AbortWaitResponse method.";
    case 600:
        return "No response from the remote.";
    case 601:
        return "The maximum number of retries is exceeded.";
    case 603:
        return "The property LinkedTo is unassigned.";
    case 604:
        return "The QvSerialPort control which is linked to this control has invalid settings for file "
               "transmission.";
    case 605:
        return "Another sending or receiving operation is in progress. Wait until it is complete.";
    case 606:
        return "There is no file for transmission.";
    case 607:
        return "The remote aborted the transmission while the file was being sent or received.";
    case 650:
        return "Unknown compression file format.";
    case 651:
        return "Compressed file is corrupted.";
    case 652:
        return "The password to decompress the file is invalid.";
    case 653:
        return "Another file compression or decompression operation is in progress. Wait until it is "
               "complete.";
    case 654:
        return "The file compression or decompression operation was aborted by the user.";
    default:
        return nullptr;
    }
}

} // namespace

QString ErrorCodeToMessage(int code)
{
    const char* text = MessageOf(code);
    return text ? QString::fromLatin1(text) : QString();
}

void OSErrorToErrorCode(int& code)
{
    switch (code) {
    case 2:
    case 3:
    case 53:
    case 67:
        code = -97;
        break;
    case 4:
        code = -95;
        break;
    case 5:
        code = -100;
        break;
    case 8:
    case 14:
        code = -50;
        break;
    case 15:
    case 21:
    case 26:
    case 27:
    case 30:
    case 34:
        code = -89;
        break;
    case 19:
    case 29:
    case 82:
        code = -92;
        break;
    case 32:
    case 33:
    case 36:
        code = -96;
        break;
    case 51:
    case 54:
    case 55:
    case 57:
    case 58:
    case 59:
    case 64:
    case 65:
    case 66:
    case 69:
    case 70:
    case 71:
    case 86:
    case 88:
        code = -98;
        break;
    case 62:
    case 112:
        code = -51;
        break;
    case 87:
        code = -10;
        break;
    case 123:
    case 161:
    case 206:
        code = -94;
        break;
    default:
        code = -1;
        break;
    }
}

int ErrnoToOsError(int e)
{
    switch (e) {
    case 0:
        return 0;
    case ENOENT:
        return oserr::FileNotFound;
    case ENOTDIR:
    case ELOOP:
        return oserr::PathNotFound;
    case EMFILE:
    case ENFILE:
        return oserr::TooManyOpenFiles;
    case EACCES:
    case EPERM:
        return oserr::AccessDenied;
    case EBADF:
        return oserr::InvalidHandle;
    case ENOMEM:
        return oserr::NotEnoughMemory;
    case EROFS:
        return oserr::WriteProtect;
    case ENXIO:
    case ENODEV:
        return oserr::DevNotExist;
    case EBUSY:
    case ETXTBSY:
    case EWOULDBLOCK:
        return oserr::SharingViolation;
    case EEXIST:
        return oserr::FileExists;
    case EINVAL:
    case EFAULT:
        return oserr::InvalidParameter;
    case EPIPE:
        return oserr::BrokenPipe;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return oserr::DiskFull;
    case ENOSYS:
    case EOPNOTSUPP:
        return oserr::CallNotImplemented;
    case EILSEQ:
        return oserr::InvalidName;
    case ENOTEMPTY:
        return oserr::DirNotEmpty;
    case EISDIR:
        return oserr::AccessDenied;
    case ENAMETOOLONG:
        return oserr::FilenameTooLong;
    case EIO:
        return 30; // ERROR_READ_FAULT
    case ETIMEDOUT:
        return oserr::Timeout;
    case ECANCELED:
        return oserr::OperationAborted;
    case EINTR:
        return oserr::OperationAborted;
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTUNREACH:
        return 51; // ERROR_REM_NOT_LIST
    case ECONNRESET:
    case ECONNABORTED:
        return 64; // ERROR_NETNAME_DELETED
    default:
        return 31; // ERROR_GEN_FAILURE
    }
}

int LastOsError()
{
    return ErrnoToOsError(errno);
}

int LastErrorCode()
{
    int code = LastOsError();
    OSErrorToErrorCode(code);
    return code;
}

} // namespace qv
