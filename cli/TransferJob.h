// A send or a receive with the transfer component, as vh-term runs it: the
// component's events become the window's log lines and the progress bar, and
// the operation's end becomes the job's result. During a chat the job lasts
// as long as the chat: every operation the far side starts (an sz typed at
// its shell, a download from a board) or the chat answers is reported on its
// own when it ends.
//
// A send has succeeded when every file was sent and the closing exchange
// was made; a file the far side skipped was not sent. A receive has
// succeeded when the operation ended with its closing exchange; files
// skipped under the chosen policy are what was asked for.
#pragma once

#include "cli/Report.h"

#include "frontend/TransferRate.h"

#include "transfer/QvFile.h"

#include <QStringList>

#include <functional>

namespace vh::cli {

struct JobResult
{
    int status = 0;  // an exit status
    QString message; // for the operator when the status is not 0
};

// Why the file `name` cannot be sent ("cannot send 'x': no such file"), or
// empty when it can.
QString SendableProblem(const QString& name);

class TransferJob
{
public:
    using Finished = std::function<void(const JobResult& result)>;
    enum class Span
    {
        OneOperation,   // `finished` once, for the first operation to end
        EveryOperation, // `finished` for each operation as it ends
    };

    // Sends `files` (sending: not empty) or receives into the file's
    // receive folder. The file component's two events are the job's for its
    // lifetime.
    TransferJob(qv::QvFile& file, Report& report, QStringList files, Finished finished,
                Span span = Span::OneOperation);
    ~TransferJob();
    TransferJob(const TransferJob&) = delete;
    TransferJob& operator=(const TransferJob&) = delete;

    // Receiving: listen from now on, so that a sender that starts at once is
    // caught. 0, or the component's code.
    int Listen();
    // The port is open: a send starts.
    void PortOpened();
    // Starts sending `files` (full names) now. False when it could not
    // start; `finished` has said why.
    bool Send(const QStringList& files);
    // Ends what runs, with the cancel sequence to the far side; `reason`
    // (the first one given) is what the result will say stopped it.
    void Stop(const QString& reason);
    // What stopped it, should it fail without another reason.
    void NoteStopReason(const QString& reason);
    bool Running() const;

private:
    void StateEvent(qv::TTransferState state, const QString& name, int param1);
    void ProgressEvent(const QString& name, int fileIndex, int fileBytes, int totalBytes);
    void Finish(const JobResult& result);

    qv::QvFile& m_file;
    Report& m_report;
    QStringList m_files;
    Finished m_finished;
    Span m_span;
    TransferRate m_rate;
    bool m_sending;
    bool m_started = false;
    bool m_done = false;
    int m_errorCode = 0;
    int m_skipped = 0;
    QString m_stopReason;
};

} // namespace vh::cli
