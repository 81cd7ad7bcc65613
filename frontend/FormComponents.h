// The components' property values as the main window's form stores them.
// Every front end that drives the phone, the port and the transfer component
// gives them these values, so that a call or a transfer behaves the same
// whichever program placed it; each front end adds its own handlers.
#pragma once

namespace qv {
class QvFile;
class QvPhone;
class QvSerialPort;
} // namespace qv

namespace vh {

// QvPhone1: data calls, owner privilege, a 10 s request time-out, hang-up
// when the far side leaves.
void SetFormProperties(qv::QvPhone& phone);
// QvSerialPort1, on the call of `linkedTo` (nullptr: manual settings, COM3
// at 115200 bit/s, 8N1, RTS/CTS), with 4096-byte reads and output queue.
void SetFormProperties(qv::QvSerialPort& port, qv::QvPhone* linkedTo);
// QvFile1 on `port`: a new name for a file that exists, the sender's dates.
void SetFormProperties(qv::QvFile& file, qv::QvSerialPort& port);

} // namespace vh
