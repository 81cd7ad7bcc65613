// The receive options dialog and the line selection dialog, driven as the
// operator drives them; the lines telephony.conf names as the dialog lists
// them.
#include "AppTestSupport.h"

#include "app/FormDlgLineSelection.h"
#include "app/FormReceiveOptions.h"
#include "frontend/LineProviders.h"
#include "telephony/QvPhone.h"
#include "telephony/service/Service.h"

#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <map>

#include <pty.h>
#include <unistd.h>

namespace vh {
namespace {

using test::Control;

// --- Receive options ---------------------------------------------------------

class ReceiveOptionsTest : public ::testing::Test
{
protected:
    ReceiveOptionsTest()
        : m_store(m_folder.Store()), m_dialog(m_store, [this](QWidget*, const QString& prompt) {
              m_prompts << prompt;
              return m_nextChoice;
          })
    {}

    void Click(const char* name) { QTest::mouseClick(Control<QPushButton>(&m_dialog, name), Qt::LeftButton); }

    // A folder that may be chosen.
    QString Writable(const QString& sub = QString()) const
    {
        const QString path = m_target.path() + (sub.isEmpty() ? QString() : "/" + sub);
        QDir().mkpath(path);
        return path;
    }

    test::MessageBoxCapture m_boxes;
    QTemporaryDir m_target;
    test::SettingsFolder m_folder;
    SettingsStore m_store;
    std::optional<QString> m_nextChoice;
    QStringList m_prompts;
    TFormReceiveOptions m_dialog;
};

TEST_F(ReceiveOptionsTest, ChosenFolderGetsOneSlashAndOkStoresIt)
{
    m_dialog.SetReceiveDirectory(QStringLiteral("/srv/in/"));
    m_dialog.SetFileExistsIndex(3);
    m_dialog.show();
    m_nextChoice = Writable("recv");
    Click("Button1");
    EXPECT_EQ(m_dialog.ReceiveDirectory(), Writable("recv") + "/");
    ASSERT_EQ(m_prompts.size(), 1);
    EXPECT_EQ(m_prompts[0], QStringLiteral(u": لطفا مسير مورد نظر را انتخاب کنيد"));
    m_nextChoice = Writable() + "/";
    Click("Button1");
    EXPECT_EQ(m_dialog.ReceiveDirectory(), Writable() + "/");
    Click("ButtonOK");
    EXPECT_EQ(m_dialog.result(), QDialog::Accepted);
    EXPECT_EQ(m_dialog.FileExistsIndex(), 3);
    EXPECT_EQ(m_folder.Get(settings::ReceiveFolder), (Writable() + "/\r\n").toUtf8());
    EXPECT_TRUE(m_boxes.Texts().isEmpty());
}

TEST_F(ReceiveOptionsTest, CancelledBrowserChangesNothing)
{
    m_dialog.SetReceiveDirectory(QStringLiteral("/srv/in/"));
    m_dialog.show();
    m_nextChoice.reset();
    Click("Button1");
    EXPECT_EQ(m_dialog.ReceiveDirectory(), "/srv/in/");
}

TEST_F(ReceiveOptionsTest, CancelRestoresTheShownFolderAndKeepsTheFile)
{
    m_folder.Put(settings::ReceiveFolder, "/stored/\r\n");
    m_dialog.SetReceiveDirectory(QStringLiteral("/from/component/"));
    m_dialog.show();
    // The stored folder wins over the one the caller filled in.
    EXPECT_EQ(m_dialog.ReceiveDirectory(), "/stored/");
    m_nextChoice = Writable("elsewhere");
    Click("Button1");
    EXPECT_EQ(m_dialog.ReceiveDirectory(), Writable("elsewhere") + "/");
    Click("ButtonCancel");
    EXPECT_EQ(m_dialog.result(), QDialog::Rejected);
    EXPECT_EQ(m_dialog.ReceiveDirectory(), "/stored/");
    EXPECT_EQ(m_folder.Get(settings::ReceiveFolder), QByteArray("/stored/\r\n"));
}

TEST_F(ReceiveOptionsTest, OkWithoutChangesRewritesTheFile)
{
    m_folder.Put(settings::ReceiveFolder, "  /stored/  ");
    m_dialog.show();
    Click("ButtonOK");
    EXPECT_EQ(m_folder.Get(settings::ReceiveFolder), QByteArray("/stored/\r\n"));
}

TEST_F(ReceiveOptionsTest, UnwritableFileKeepsTheDialogOpenWithTheError)
{
    // A directory in the file's place cannot be replaced by a file.
    ASSERT_TRUE(QDir(m_folder.Path()).mkdir(settings::ReceiveFolder));
    m_dialog.SetReceiveDirectory(QStringLiteral("/x/"));
    m_dialog.show();
    Click("ButtonOK");
    EXPECT_TRUE(m_dialog.isVisible());
    ASSERT_EQ(m_boxes.Texts().size(), 1);
    EXPECT_TRUE(m_boxes.Texts()[0].contains(QStringLiteral("saved.ctx")));
    Click("ButtonCancel");
    EXPECT_EQ(m_dialog.result(), QDialog::Rejected);
}

TEST_F(ReceiveOptionsTest, ExistingFileChoicesInOrder)
{
    auto* combo = Control<QComboBox>(&m_dialog, "ComboBoxFileExists");
    ASSERT_EQ(combo->count(), 5);
    EXPECT_EQ(combo->itemText(0), "Create With New Name");
    EXPECT_EQ(combo->itemText(1), "Overwrite");
    EXPECT_EQ(combo->itemText(2), "Overwrite If Newer");
    EXPECT_EQ(combo->itemText(3), "Skip");
    EXPECT_EQ(combo->itemText(4), "Resume");
    EXPECT_TRUE(Control<QLineEdit>(&m_dialog, "EditReceiveDirectory")->isReadOnly());
    EXPECT_EQ(m_dialog.size(), QSize(444, 152));
}

TEST_F(ReceiveOptionsTest, SettingsFolderAndUnwritableFoldersAreRefused)
{
    m_dialog.SetReceiveDirectory(Writable() + "/");
    m_dialog.show();
    // The settings folder, and a folder inside it, under any of their names.
    const QString settingsFolder = m_folder.Path();
    ASSERT_TRUE(QDir().mkpath(settingsFolder + "inside"));
    for (const QString& choice : {settingsFolder, settingsFolder + "inside", settingsFolder + "inside/../"}) {
        m_boxes.Clear();
        m_nextChoice = choice;
        Click("Button1");
        EXPECT_EQ(m_dialog.ReceiveDirectory(), Writable() + "/") << choice.toStdString();
        ASSERT_EQ(m_boxes.Texts().size(), 1) << choice.toStdString();
        EXPECT_TRUE(m_boxes.Texts()[0].contains("settings")) << m_boxes.Texts()[0].toStdString();
    }
    // A folder that cannot be written (for root, one of the kernel's).
    QString readOnly = Writable("ro");
    if (::geteuid() == 0)
        readOnly = QStringLiteral("/proc/1");
    else
        QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::ExeOwner);
    if (::access(QFile::encodeName(readOnly).constData(), W_OK) == 0)
        GTEST_SKIP() << "no folder here that cannot be written";
    m_boxes.Clear();
    m_nextChoice = readOnly;
    Click("Button1");
    EXPECT_EQ(m_dialog.ReceiveDirectory(), Writable() + "/");
    ASSERT_EQ(m_boxes.Texts().size(), 1);
    EXPECT_TRUE(m_boxes.Texts()[0].contains("cannot be written")) << m_boxes.Texts()[0].toStdString();
}

TEST_F(ReceiveOptionsTest, StoredSettingsFolderIsNotAcceptedOnOk)
{
    // An older version stored the settings folder itself.
    m_folder.Put(settings::ReceiveFolder, m_folder.Path().toUtf8() + "\r\n");
    m_dialog.show();
    Click("ButtonOK");
    EXPECT_TRUE(m_dialog.isVisible());
    ASSERT_EQ(m_boxes.Texts().size(), 1);
    m_nextChoice = Writable();
    Click("Button1");
    Click("ButtonOK");
    EXPECT_EQ(m_dialog.result(), QDialog::Accepted);
    EXPECT_EQ(m_folder.Get(settings::ReceiveFolder), (Writable() + "/\r\n").toUtf8());
}

// --- Line selection ----------------------------------------------------------

class FakeLines : public LineDevices
{
public:
    int NumberOfLines() override { return static_cast<int>(names.size()); }
    int GetLineName(int lineId, QString& name) override
    {
        if (lineId == failingName)
            return 102;
        name = names.at(lineId);
        return 0;
    }
    int GetLineCaps(int lineId, int& capsOut) override
    {
        capsRequests.push_back(lineId);
        auto it = capsError.find(lineId);
        if (it != capsError.end())
            return it->second;
        capsOut = caps.at(lineId);
        return 0;
    }
    int LineActive(int lineId, bool activate) override
    {
        activations.push_back(lineId);
        EXPECT_TRUE(activate);
        if (lineId == refused)
            return 106;
        active = lineId;
        return 0;
    }
    int LineID() const override { return active; }
    QString GetErrorMessage(int code) const override { return QStringLiteral("message %1").arg(code); }

    std::vector<QString> names;
    std::vector<int> caps;
    std::map<int, int> capsError;
    int failingName = -1;
    int refused = -1;
    int active = 0;
    std::vector<int> capsRequests;
    std::vector<int> activations;
};

class LineSelectionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_lines.names = {QStringLiteral("Internet line"), QStringLiteral("Modem on ttyS0"),
                         QStringLiteral("Simulated line")};
        m_lines.caps = {0x2, 0x4 | 0x20 | 0x2, 0x40 | 0x2000 | 0x1F00};
        m_dialog.SetPhone(&m_lines);
    }
    QComboBox* Lines() { return Control<QComboBox>(&m_dialog, "ComboBoxLines"); }

    test::MessageBoxCapture m_boxes;
    FakeLines m_lines;
    TFormDlgLineSelection m_dialog;
};

TEST_F(LineSelectionTest, ListsLinesSelectsTheActiveOneAndItsCapabilities)
{
    m_lines.active = 1;
    m_lines.failingName = 2;
    m_dialog.Fill();
    ASSERT_EQ(Lines()->count(), 3);
    EXPECT_EQ(Lines()->itemText(0), "Internet line");
    EXPECT_EQ(Lines()->itemText(2), ""); // a failed name is listed empty
    EXPECT_EQ(Lines()->currentIndex(), 1);
    EXPECT_EQ(m_dialog.Listing(), LineCapsListing(0x4 | 0x20 | 0x2));
}

TEST_F(LineSelectionTest, ChoosingAnotherLineRefreshesAtOnce)
{
    m_dialog.Fill();
    m_dialog.show();
    m_lines.capsRequests.clear();
    Lines()->setCurrentIndex(2);
    emit Lines()->activated(2);
    EXPECT_EQ(m_lines.capsRequests, std::vector<int>{2});
    EXPECT_EQ(m_dialog.Listing(), LineCapsListing(0x40 | 0x2000 | 0x1F00));
    EXPECT_TRUE(m_lines.activations.empty());
}

TEST_F(LineSelectionTest, CapabilityErrorIsOneLine)
{
    m_lines.capsError[0] = 100;
    m_dialog.Fill();
    EXPECT_EQ(m_dialog.Listing(), QStringList{"Error: message 100"});
}

TEST_F(LineSelectionTest, RefusedActivationKeepsDialogOpenThenAnotherLineWorks)
{
    m_lines.refused = 1;
    m_dialog.Fill();
    m_dialog.show();
    Lines()->setCurrentIndex(1);
    QTest::mouseClick(Control<QPushButton>(&m_dialog, "ButtonOk"), Qt::LeftButton);
    EXPECT_TRUE(m_dialog.isVisible());
    EXPECT_EQ(m_boxes.Texts(), QStringList{"Error: message 106"});
    Lines()->setCurrentIndex(2);
    QTest::mouseClick(Control<QPushButton>(&m_dialog, "ButtonOk"), Qt::LeftButton);
    EXPECT_FALSE(m_dialog.isVisible());
    EXPECT_EQ(m_dialog.result(), QDialog::Accepted);
    EXPECT_EQ(m_lines.active, 2);
}

TEST_F(LineSelectionTest, CancelLeavesTheActiveLine)
{
    m_dialog.Fill();
    m_dialog.show();
    Lines()->setCurrentIndex(2);
    QTest::mouseClick(Control<QPushButton>(&m_dialog, "ButtonCancel"), Qt::LeftButton);
    EXPECT_EQ(m_dialog.result(), QDialog::Rejected);
    EXPECT_TRUE(m_lines.activations.empty());
    EXPECT_EQ(m_lines.active, 0);
}

// --- Lines from telephony.conf ------------------------------------------------

// A serial line is listed with what it can do (a data channel and nothing
// more); one whose device is missing says why, in the listing and when it is
// chosen, and another line can be chosen after it.
TEST(ConfiguredLineSelection, SerialLinesAreListedWithTheirCapabilitiesOrWhyNot)
{
    int master = -1;
    int slave = -1;
    char tty[128] = {};
    ASSERT_EQ(::openpty(&master, &slave, tty, nullptr, nullptr), 0);
    test::SettingsFolder folder;
    const QString missing = folder.Path() + "ttyUSB9";
    folder.Put("telephony.conf", QStringLiteral("[line0]\ntype = serial\nname = Board console\ndevice = %1\n"
                                                "lockdir = %2\n\n[line1]\ntype = serial\nname = Adapter\n"
                                                "device = %3\n")
                                     .arg(QString::fromLocal8Bit(tty), folder.Path(), missing)
                                     .toUtf8());
    QStringList problems;
    ASSERT_EQ(InstallLineProviders(folder.Path(), problems), 2) << problems.join('\n').toStdString();
    {
        test::MessageBoxCapture boxes;
        qv::QvPhone phone;
        PhoneLineDevices lines(phone);
        TFormDlgLineSelection dialog;
        dialog.SetPhone(&lines);
        dialog.Fill();
        auto* combo = Control<QComboBox>(&dialog, "ComboBoxLines");
        ASSERT_EQ(combo->count(), 2);
        EXPECT_EQ(combo->itemText(0), "Board console");
        EXPECT_EQ(combo->itemText(1), "Adapter");
        EXPECT_EQ(dialog.Listing(), LineCapsListing(0x2));
        EXPECT_TRUE(dialog.Listing().contains("Serial port device  - OK"));
        EXPECT_TRUE(dialog.Listing().contains("Caller ID - UNAVAILABLE"));

        dialog.show();
        combo->setCurrentIndex(1);
        emit combo->activated(1);
        const QString why = "The serial device " + missing + " does not exist";
        ASSERT_EQ(dialog.Listing().size(), 1);
        EXPECT_TRUE(dialog.Listing()[0].startsWith("Error: ") && dialog.Listing()[0].contains(why))
            << dialog.Listing()[0].toStdString();
        QTest::mouseClick(Control<QPushButton>(&dialog, "ButtonOk"), Qt::LeftButton);
        EXPECT_TRUE(dialog.isVisible());
        ASSERT_EQ(boxes.Texts().size(), 1);
        EXPECT_TRUE(boxes.Texts()[0].contains(why)) << boxes.Texts()[0].toStdString();

        combo->setCurrentIndex(0);
        QTest::mouseClick(Control<QPushButton>(&dialog, "ButtonOk"), Qt::LeftButton);
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        EXPECT_TRUE(phone.IsActive());
        EXPECT_EQ(phone.LineID(), 0);
    }
    tapi::Service::Uninstall();
    ::close(master);
    ::close(slave);
}

} // namespace
} // namespace vh
