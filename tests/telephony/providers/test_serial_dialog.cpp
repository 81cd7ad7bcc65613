// The serial line's configuration dialog: it shows the line's settings and
// hands back what the operator chose, the dial time limit only with the
// carrier waited for; and through lineConfigDialog it refuses a device that
// cannot be had, with why, and gives the line what it accepts.
#include "telephony/service/Service.h"
#include "telephony/service/Tapi.h"
#include "telephony/service/providers/serial/SerialConfigDialog.h"
#include "telephony/service/providers/serial/SerialLineProvider.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <pty.h>
#include <unistd.h>

namespace {

using namespace qv::serialline;
using qv::tty::FlowControl;

TEST(SerialDialog, ShowsTheSettingsAndHandsBackTheOperatorsChoice)
{
    SerialLineConfig config;
    config.port = {"/dev/ttyUSB3", 57600, FlowControl::XonXoff, "/run/lock"};
    config.carrier = CarrierMode::Wait;
    config.dialTimeoutSeconds = 30;
    SerialConfigDialog dialog(config);
    auto* device = dialog.findChild<QComboBox*>("ComboDevice");
    auto* speed = dialog.findChild<QComboBox*>("ComboSpeed");
    auto* flow = dialog.findChild<QComboBox*>("ComboFlow");
    auto* carrier = dialog.findChild<QComboBox*>("ComboCarrier");
    auto* timeout = dialog.findChild<QSpinBox*>("SpinTimeout");
    auto* lockDir = dialog.findChild<QLabel*>("LabelLockDir");
    auto* buttons = dialog.findChild<QDialogButtonBox*>("Buttons");
    ASSERT_TRUE(device && speed && flow && carrier && timeout && lockDir && buttons);
    EXPECT_EQ(dialog.Config(), config) << "nothing changed, nothing different";
    EXPECT_EQ(device->currentText(), "/dev/ttyUSB3");
    EXPECT_EQ(speed->currentText(), "57600");
    EXPECT_EQ(lockDir->text(), "/run/lock");
    EXPECT_TRUE(timeout->isEnabled());

    device->setCurrentText(" /dev/ttyACM1 ");
    speed->setCurrentIndex(speed->findData(9600));
    flow->setCurrentIndex(1);
    timeout->setValue(120);
    carrier->setCurrentIndex(0);
    EXPECT_FALSE(timeout->isEnabled()) << "nothing waits for a carrier that is ignored";
    const SerialLineConfig c = dialog.Config();
    EXPECT_EQ(c.port, (qv::tty::TtySettings{"/dev/ttyACM1", 9600, FlowControl::RtsCts, "/run/lock"}));
    EXPECT_EQ(c.carrier, CarrierMode::Ignore);
    EXPECT_EQ(c.dialTimeoutSeconds, 120);

    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    EXPECT_TRUE(ok->isEnabled());
    device->setCurrentText("  ");
    EXPECT_FALSE(ok->isEnabled()) << "a line needs a device";
}

TEST(SerialDialog, RefusesADeviceThatCannotBeHadAndTheLineKeepsWhatWasAccepted)
{
    int master = -1;
    int slave = -1;
    char pty[128] = {};
    ASSERT_EQ(::openpty(&master, &slave, pty, nullptr, nullptr), 0);
    ::close(slave);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString missing = dir.filePath("ttyUSB9");
    SerialLineConfig config;
    config.port.device = missing;
    config.port.lockDir = dir.path();
    config.carrier = CarrierMode::Wait;
    auto provider = std::make_unique<SerialLineProvider>(std::vector<SerialLineConfig>{config});
    SerialLineProvider* serial = provider.get();
    ASSERT_TRUE(tapi::Service::Install(std::move(provider)));
    RegisterSerialConfigDialog();

    QStringList refusals;
    bool accepted = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<SerialConfigDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        QPushButton* ok = dialog->findChild<QDialogButtonBox*>("Buttons")->button(QDialogButtonBox::Ok);
        ok->click();
        refusals << dialog->Problem();
        // A pty has no modem-control lines to show a carrier on.
        dialog->findChild<QComboBox*>("ComboDevice")->setCurrentText(QString::fromLocal8Bit(pty));
        ok->click();
        refusals << dialog->Problem();
        dialog->findChild<QComboBox*>("ComboCarrier")->setCurrentIndex(0);
        ok->click();
        accepted = dialog->result() == QDialog::Accepted;
        if (!accepted)
            dialog->reject();
    });
    EXPECT_EQ(tapi::lineConfigDialogW(0, nullptr, u"comm/datamodem"), 0);
    ASSERT_EQ(refusals.size(), 2);
    EXPECT_EQ(refusals[0], "The serial device " + missing + " does not exist (is it plugged in?).");
    EXPECT_TRUE(refusals[1].startsWith("The serial device " + QString::fromLocal8Bit(pty) +
                                       " has no modem-control lines"))
        << refusals[1].toStdString();
    EXPECT_TRUE(accepted);
    EXPECT_EQ(serial->LineConfig(0).port.device, QString::fromLocal8Bit(pty));
    EXPECT_EQ(serial->LineConfig(0).carrier, CarrierMode::Ignore);
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).isEmpty()) << "the trial's lock file is gone";
    tapi::Service::SetConfigDialogHandler("serial", {});
    tapi::Service::Uninstall();
    ::close(master);
}

} // namespace
