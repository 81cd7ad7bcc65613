// What the main window writes for each event of its components: the log line
// and, for some events, the status line with its colour. Pure tables, so
// that every row is checked on its own; the window adds the actions that
// touch its controls and components (labels, the port, the answer rule).
#pragma once

#include "telephony/PhoneTypes.h"
#include "transfer/TransferTypes.h"

#include <QString>

#include <optional>

namespace vh {

struct StatusLine
{
    int color = 0; // a colour number (see Colors.h)
    QString text;
};

struct Reaction
{
    QString log; // never empty
    std::optional<StatusLine> status;
};

// `errorText` is the component's message for Param1, used by the error rows.
std::optional<Reaction> LineStateReaction(qv::TLineState state, const QString& errorText);
// Nothing for the states the window ignores (dial tone, hold, conference,
// fax). csRing gives ">Ring: N"; csBusy with a code in Param1 (a call refused,
// unreachable or not answered) logs its message; the answer rule is the
// window's.
std::optional<Reaction> CallStateReaction(qv::TCallState state, int param1, const QString& errorText);
Reaction TransferStateReaction(qv::TTransferState state, const QString& fullFileName, int param1,
                               const QString& errorText);

// The automatic answer rule for one ring: answer when automatic answering is
// on and this is the ring the field names. A field that does not hold a
// number cannot be compared: that ring is not answered and the conversion
// error is reported.
struct RingDecision
{
    bool answer = false;
    QString conversionError; // not empty: the field's text is no number
};
RingDecision DecideRing(int ringCount, const QString& ringField, bool autoAnswer);

// The log's other lines: an error of the phone or the port (">Error: " and
// the component's message), of a transfer ("TRANSFER>Error: ..."), the
// modem's report of a lost carrier found in the terminal's text, a file
// chosen for sending whose name a send list cannot carry, a receiver the far
// side started (an "rz" typed at its shell) that waits for files, and keys
// typed while a transfer runs, which are not sent.
QString ErrorLine(const QString& message);
QString TransferErrorLine(const QString& message);
QString NoCarrierLine();
QString UnsendableNameLine(const QString& name);
QString RemoteWaitingLine();
QString KeysNotSentLine();
// A code's message followed by the line's own account of the failure, for
// the error box and the log: "Could not open the line device. No permission
// to open the modem device /dev/ttyS0: join the dialout group ...".
QString WithLineFailure(const QString& message, const QString& failure);
// What the operator is told when line device `lineName` cannot be
// activated: the name and the phone's message, on lines of their own.
QString LineActivationError(const QString& lineName, const QString& message);

} // namespace vh
