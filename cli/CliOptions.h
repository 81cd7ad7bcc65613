// vh-term's command line:
//
//   vh-term [--settings-dir DIR] [--line N] [--wait SECONDS] dial NUMBER [WORK]
//   vh-term [--settings-dir DIR] [--line N] [--wait SECONDS] answer [--rings N] [WORK]
//   vh-term send [--device PATH [--speed BPS] [--flow FLOW]] FILE...
//   vh-term receive [--device PATH [--speed BPS] [--flow FLOW]] [RECEIVING]
//
// WORK is what to do once the call is connected: --send FILE..., --receive
// [RECEIVING] or --chat [RECEIVING] (the default); RECEIVING is [--folder DIR]
// [--existing new-name|overwrite|newer|skip|resume]. Options may come in any
// order; the words after --send (or after the send command) up to the next
// option are the files, and "--" makes every word after it a file.
#pragma once

#include "transfer/TransferTypes.h"

#include <QString>
#include <QStringList>

namespace vh::cli {

enum class Command
{
    None,
    Dial,
    Answer,
    Send,    // over the standard streams or a device, no line
    Receive, // likewise
};

enum class Work
{
    Chat,
    Send,
    Receive,
};

enum class Flow
{
    None,
    RtsCts,
    XonXoff,
};

struct Options
{
    bool help = false;
    bool version = false;
    Command command = Command::None;
    Work work = Work::Chat;

    QString settingsDir; // empty: as the window finds it
    int line = 0;
    QString number;
    int rings = 1;
    int waitSeconds = 0; // 0: no limit of our own (dial: 90 unless given)

    QStringList files;
    QString folder; // empty: the current folder
    qv::TReceiveExistingFiles existing = qv::efCreateWithNewName;

    QString device; // empty: the standard streams
    int speed = 115200;
    Flow flow = Flow::None;

    QString error; // not empty: the command line is wrong, and why
};

// The arguments after the program name.
Options ParseOptions(const QStringList& arguments);

// The policy a name of --existing stands for; false for an unknown name.
bool ExistingPolicyFromName(const QString& name, qv::TReceiveExistingFiles& policy);

QString HelpText();
QString VersionText();

} // namespace vh::cli
