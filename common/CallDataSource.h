// What a linked QvSerialPort needs of the phone component: whether its current
// call is connected, the call's data channel, and the MSG_CALL_DATA_READY
// exchange on the phone's window. QvPhone implements it; the port depends on
// this narrow interface only, and tests of the port use a fake.
#pragma once

#include "common/Component.h"

#include <cstdint>

namespace qv {

// Sent by the port to the phone's window (WParam 0, LParam = the port's window
// handle), answered with a code (0 = accepted); the phone then sends or posts
// the same message (WParam 0, LParam 0) to the port's window once the call
// carries raw data, possibly before the request returns. When the call cannot
// be switched after all, the answer is WParam kCallDataRefused with the code
// in LParam, and the port reports it.
constexpr std::uint32_t MSG_CALL_DATA_READY = 0x594;
constexpr std::uintptr_t kCallDataRefused = 1;

class TCallDataSource : public TQVT_ComponentVCL
{
public:
    using TQVT_ComponentVCL::TQVT_ComponentVCL;

    // The current call is connected (connected, on hold, unheld, in or
    // removed from a conference).
    virtual bool IsConnected() const = 0;
    // The same test for a given call; an unknown handle is not connected.
    virtual bool IsCallConnected(int callHandle) const = 0;
    // The current call handle; 0 when there is none.
    virtual int CurrentCallHandle() const = 0;
    // The data channel of the current call: a descriptor owned by the phone,
    // valid until the call goes idle. The port never closes it. Returns 0 and
    // sets `handle`, or a code of the phone.
    virtual int GetCommHandle(int& handle) = 0;
};

} // namespace qv
