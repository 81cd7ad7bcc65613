// What the window logs and shows for each component event, and the
// automatic answer rule.
#include "app/Colors.h"

#include "frontend/Reactions.h"

#include <gtest/gtest.h>

namespace vh {
namespace {

TEST(Reactions, LineStates)
{
    auto activated = LineStateReaction(qv::lsActivated, QString());
    ASSERT_TRUE(activated && activated->status);
    EXPECT_EQ(activated->log, ">Telephone device is activated");
    EXPECT_EQ(activated->status->color, color::StatusNormal);
    EXPECT_EQ(activated->status->text, QStringLiteral(u"سخت افزار فعال است"));
    auto deactivated = LineStateReaction(qv::lsDeactivated, QString());
    ASSERT_TRUE(deactivated && deactivated->status);
    EXPECT_EQ(deactivated->status->color, color::StatusError);
    EXPECT_EQ(deactivated->status->text, QStringLiteral(u"سخت افزار غير فعال است"));
    auto error = LineStateReaction(qv::lsError, QStringLiteral("Bad line device ID."));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->log, ">Error: Bad line device ID.");
    EXPECT_FALSE(error->status);
}

TEST(Reactions, CallStatesLogAndStatus)
{
    struct Row
    {
        qv::TCallState state;
        const char* log;
        int color; // -1: status unchanged
        QString status;
    };
    const Row rows[] = {
        {qv::csDisconnected, ">Disconnected", color::StatusError, QStringLiteral(u"ارتباط قطع گرديد")},
        {qv::csConnected, ">Connected.", color::StatusSuccess, QStringLiteral(u"ارتباط برقرار گرديد")},
        {qv::csProceeding, ">Proceeding...", color::StatusNormal, QStringLiteral(u"در حال انجام عمليات")},
        {qv::csDialing, ">Dialing...", color::StatusNormal, QStringLiteral(u"در حال شماره گيري...")},
        {qv::csRemotePartyDisconnected, ">The remote party has disconnected", color::StatusNormal,
         QStringLiteral(u"قطع ارتباط از جانب سيستم مقابل")},
        {qv::csBusy, ">Busy", color::StatusNormal, QStringLiteral(u"خط اشغال است")},
        {qv::csOffering, ">A new call arrives", -1, {}},
        {qv::csRing, ">Ring: 4", -1, {}},
        {qv::csError, ">Error: boom", -1, {}},
        {qv::csOfferedCallDropped, ">Offered Call Dropped", -1, {}},
        {qv::csWaitingDisconnection, ">Waiting for disconnection", color::StatusNormal,
         QStringLiteral(u"در حال انتظار جهت قطع ارتباط")},
        {qv::csNoDialTone, ">No dial tone detected", -1, {}},
        {qv::csRingBack, ">Ringback tone detected", -1, {}},
    };
    for (const Row& row : rows) {
        const auto reaction =
            CallStateReaction(row.state, row.state == qv::csRing ? 4 : 0, QStringLiteral("boom"));
        ASSERT_TRUE(reaction) << row.log;
        EXPECT_EQ(reaction->log, QString::fromUtf8(row.log));
        EXPECT_EQ(reaction->status.has_value(), row.color >= 0) << row.log;
        if (reaction->status && row.color >= 0) {
            EXPECT_EQ(reaction->status->color, row.color) << row.log;
            EXPECT_EQ(reaction->status->text, row.status) << row.log;
        }
    }
    // A call that did not go through says why, on the busy status.
    const auto refused =
        CallStateReaction(qv::csBusy, 165, QStringLiteral("The remote side refused the call."));
    ASSERT_TRUE(refused && refused->status);
    EXPECT_EQ(refused->log, ">The remote side refused the call.");
    EXPECT_EQ(refused->status->text, QStringLiteral(u"خط اشغال است"));
    for (qv::TCallState quiet : {qv::csDialTone, qv::csOnHold, qv::csUnhold, qv::csInConference,
                                 qv::csRemovedFromConference, qv::csWaitingForFaxCommand})
        EXPECT_FALSE(CallStateReaction(quiet, 0, QString())) << int(quiet);
}

TEST(Reactions, TransferStatesWithTheirParamRules)
{
    const QString name = QStringLiteral(u"/home/op/گزارش.txt");
    auto line = [&](qv::TTransferState state, int param1) {
        return TransferStateReaction(state, name, param1, QStringLiteral("msg"));
    };
    EXPECT_EQ(line(qv::tsIdleModeStart, 0).log, "TRANSFER>Idle Mode");
    EXPECT_EQ(line(qv::tsIdleModeStart, 0).status->text, QStringLiteral(u"در حالت عادي"));
    EXPECT_EQ(line(qv::tsListenModeStart, 0).status->text, QStringLiteral(u"در حالت انتظار"));
    EXPECT_FALSE(line(qv::tsSendModeStart, 0).status);
    EXPECT_EQ(line(qv::tsFileSendBegin, 0).log, "TRANSFER>Sending File: " + name);
    EXPECT_EQ(line(qv::tsFileSendRemoteSkipped, 0).log, "TRANSFER>Remote Skipped the file " + name);
    EXPECT_EQ(line(qv::tsFileSendResumeAt, 4096).log,
              "TRANSFER>Request to resume file transmition at position 4096");

    // Only 1 means a failed file; 2 is a success.
    EXPECT_EQ(line(qv::tsFileSendDone, 1).log, "TRANSFER>File NOT sent successfully: " + name);
    EXPECT_EQ(line(qv::tsFileSendDone, 1).status->color, color::StatusError);
    EXPECT_EQ(line(qv::tsFileSendDone, 1).status->text, QStringLiteral(u"خطا :ارسال با مشکل مواجه گرديد"));
    EXPECT_EQ(line(qv::tsFileSendDone, 2).log, "TRANSFER>File sent successfully: " + name);
    EXPECT_EQ(line(qv::tsFileSendDone, 2).status->color, color::StatusSuccess);
    EXPECT_EQ(line(qv::tsSendModeEnd, 1).log, "TRANSFER>Send operation did NOT complete successfully");
    EXPECT_EQ(line(qv::tsSendModeEnd, 1).status->text, QStringLiteral(u"خطا : عمليات با مشکل  مواجه گرديد"));
    EXPECT_EQ(line(qv::tsSendModeEnd, 0).log, "TRANSFER>Send operation complete successfully");

    EXPECT_EQ(line(qv::tsReceiveModeStart, 0).log, "TRANSFER>Receive Mode");
    EXPECT_EQ(line(qv::tsFileReceiveBegin, 0).log, "TRANSFER>Receiving File: " + name);
    EXPECT_EQ(line(qv::tsFileReceiveBegin, 1).log, "TRANSFER>File Skipped: " + name);
    EXPECT_EQ(line(qv::tsFileReceiveBadPacket, 0).log, "TRANSFER>Bad Packet Received: " + name);
    EXPECT_EQ(line(qv::tsFileReceiveDone, 0).status->text, QStringLiteral(u"فايل با موفقيت دريافت گرديد"));
    // Anything but 0 means a failed receive operation.
    EXPECT_EQ(line(qv::tsReceiveModeEnd, 0).log, "TRANSFER>Receive operation complete successfully");
    EXPECT_EQ(line(qv::tsReceiveModeEnd, 0).status->color, color::StatusSuccess);
    EXPECT_EQ(line(qv::tsReceiveModeEnd, 2).log, "TRANSFER>Receive operation did NOT complete successfully");
    EXPECT_EQ(line(qv::tsReceiveModeEnd, 2).status->text,
              QStringLiteral(u"خطا : عمليات دريافت با مشکل مواجه گرديد"));
    EXPECT_EQ(line(qv::tsError, 620).log,
              "TRANSFER>Following error occurred during transmission of the file " + name + " : msg");
    EXPECT_FALSE(line(qv::tsError, 620).status);
    // What a receive keeps or declines to resume is said with the name.
    EXPECT_EQ(line(qv::tsFilePartiallyReceived, 77777).log,
              "TRANSFER>Partial file kept for a later resume: " + name + " (77777 bytes)");
    EXPECT_TRUE(
        line(qv::tsFileReceiveNotResumed, 0).log.endsWith("not the start of the one received: " + name));
    EXPECT_TRUE(
        line(qv::tsFileReceiveNotResumed, 1).log.endsWith("did not confirm the file in place: " + name));
}

TEST(Reactions, RingIsAnsweredOnExactlyTheNamedRing)
{
    EXPECT_FALSE(DecideRing(2, QStringLiteral("3"), true).answer);
    EXPECT_TRUE(DecideRing(3, QStringLiteral("3"), true).answer);
    EXPECT_FALSE(DecideRing(4, QStringLiteral("3"), true).answer);
    EXPECT_FALSE(DecideRing(3, QStringLiteral("3"), false).answer);
    const RingDecision empty = DecideRing(1, QString(), true);
    EXPECT_FALSE(empty.answer);
    EXPECT_EQ(empty.conversionError, "'' is not a valid integer value");
    EXPECT_FALSE(DecideRing(1, QStringLiteral("99999999999"), true).conversionError.isEmpty());
}

} // namespace
} // namespace vh
