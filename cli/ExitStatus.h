// What vh-term's exit status says, for the scripts that run it. 0 means that
// everything asked for was done; the others name what stopped it.
#pragma once

namespace vh::cli::exitstatus {

constexpr int Success = 0;
// A file was not sent or not received, or the chat could not go on.
constexpr int WorkFailed = 1;
constexpr int Usage = 2;
// The line, the device or the standard streams could not be used.
constexpr int LineUnusable = 3;
constexpr int Busy = 4;
constexpr int NoAnswer = 5;
// The call did not go through for another reason: refused, unreachable,
// no dial tone, a failed request.
constexpr int NotCompleted = 6;

// Ended by a signal, after hanging up: 128 + its number, as a shell says.
constexpr int Interrupted(int signalNumber)
{
    return 128 + signalNumber;
}

} // namespace vh::cli::exitstatus
