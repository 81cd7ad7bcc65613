// The main window "VH TERMINAL": connection panel, settings panel, log,
// Persian status line, terminal area, transfer panel and status bar.
//
// The window only wires and displays: it owns the phone, the serial port and
// the file transfer component, reacts to their events, and keeps the
// operator's choices in the settings files of its settings folder.
#pragma once

#include "app/FormReceiveOptions.h"

#include "frontend/ClockTimer.h"
#include "frontend/NoCarrierDetector.h"
#include "frontend/Settings.h"
#include "frontend/TransferRate.h"

#include "serial/QvSerialPort.h"
#include "telephony/QvPhone.h"
#include "transfer/QvFile.h"

#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QCheckBox;
class QComboBox;
class QDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QToolButton;

namespace vh {

class EventLogFile;
class InstanceLock;
class TForm1;
class TerminalArea;
class TerminalSession;

// What the window needs from its surroundings; tests replace the choosers
// and the modal runner so that nothing waits for an operator.
struct TerminalWindowServices
{
    QString settingsFolder;
    // Where files are received unless the operator chose a folder. Empty:
    // DefaultReceiveFolder(), in the user's download folder.
    QString defaultReceiveFolder;
    // The files the operator picks to send (OpenDialog1), or nullopt when
    // the dialog is cancelled. Empty: the file dialog.
    std::function<std::optional<QStringList>(QWidget* parent)> chooseFiles;
    // The receive options dialog's folder browser. Empty: the folder dialog.
    FolderChooser chooseFolder;
    // Runs a dialog modally and returns its result. Empty: QDialog::exec.
    std::function<int(QDialog& dialog)> runDialog;
    // The log file every log line goes to as well; null: none. Outlives the window.
    EventLogFile* eventLog = nullptr;
};

// The file dialog of the send button: several existing files.
std::optional<QStringList> ChooseFilesWithDialog(QWidget* parent);

class TFormTerminalEmulator : public QWidget
{
    Q_OBJECT
public:
    // Runs the window's creation steps; the window is not shown.
    explicit TFormTerminalEmulator(TerminalWindowServices services, QWidget* parent = nullptr);
    ~TFormTerminalEmulator() override;

    // Whether the creation steps asked for the program to end (the settings
    // folder cannot be written).
    bool TerminateRequested() const { return m_terminateRequested; }

    // The picture window the "?" button shows; not owned.
    void SetPictureWindow(TForm1* pictureWindow) { m_pictureWindow = pictureWindow; }

    const SettingsStore& Settings() const { return m_settings; }

    // The window's components, for the program's own tests and tools.
    qv::QvPhone& QvPhone1() { return *m_qvPhone1; }
    qv::QvSerialPort& QvSerialPort1() { return *m_qvSerialPort1; }
    qv::QvFile& QvFile1() { return *m_qvFile1; }
    // The terminal area with its settings and bigger view.
    TerminalSession& Terminal() { return *m_terminal; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateComponents();
    void BuildForm();
    void BuildConnectionPanel();
    void BuildSettingsPanel();
    void BuildTransferPanel();
    void BuildStatusBar();
    void ConnectControls();

    void FormCreate();
    void FormShow();
    void FormClose();
    // The question to ask before closing during a call or a transfer; empty
    // when there is nothing to lose.
    QString CloseQuestion() const;

    // Decides from the window's state which controls are enabled.
    void UpdateControls();

    void AddLog(const QString& line);
    // Status colour, then the status line emptied and given `line`.
    void SetStatus(int color, const QString& line);

    void EditRingNumberExit();
    void Timer1Timer();

    // Connection panel and settings panel (call handling).
    void BitBtn2Click();
    void BitBtn1Click();
    void ButtonAnswerClick();
    void ComboBoxSpeakerModeChange();
    void ComboBoxSpeakerVolChange();
    void ReactivateLine();
    int Reactivate();
    QString PhoneErrorText(int code) const;
    void ButtonConfigurationClick();
    void Button1Click();
    void QvPhone1LineState(qv::TLineState state, int param1);
    void QvPhone1CallState(qv::TCallState state, int param1, int param2, int callHandle);
    void QvPhone1BeforeDisconnect(int callHandle);
    void AnswerRule(int ringCount);

    // Terminal area and port.
    void QvSerialPort1ReceiveData(const char* data, int size, qv::WindowHandle& displayHandle);
    void QvSerialPort1PortState(qv::TPortState state, int param1);

    // Transfer panel.
    void ButtonSendFileClick();
    // The file dialog, then SendFiles: true when files went to the component.
    bool SendChosenFiles();
    void QvFile1RemoteReceiverReady();
    void ButtonStartListenModeClick();
    void ButtonExitListenModeClick();
    void ButtonTransferStopClick();
    void BitBtn3Click();
    void QvFile1TransferStateEvent(qv::TTransferState state, const QString& fullFileName, int param1);
    void QvFile1TransferProgress(qv::TTransferOperation operation, const QString& fullFileName, int fileIndex,
                                 int fileBytes, int filePerc, int totalBytes, int totalPerc);

    // Settings file access that shows a failure in a message box and carries
    // on with the default.
    std::optional<QString> ReadSetting(const QString& name);
    bool WriteSetting(const QString& name, const QString& text);
    void RemoveSetting(const QString& name);

    TerminalWindowServices m_services;
    SettingsStore m_settings;
    std::unique_ptr<qv::QvPhone> m_qvPhone1;
    std::unique_ptr<qv::QvSerialPort> m_qvSerialPort1;
    std::unique_ptr<qv::QvFile> m_qvFile1;
    std::unique_ptr<TerminalSession> m_terminal;
    std::unique_ptr<InstanceLock> m_instanceLock;
    NoCarrierDetector m_noCarrier;
    TransferRate m_transferRate;
    TForm1* m_pictureWindow = nullptr;
    bool m_terminateRequested = false;
    bool m_callConnected = false;
    bool m_reactivating = false;

    // Window.
    QLabel* m_label7;
    QLabel* m_label2;
    QLabel* m_label8;
    QPlainTextEdit* m_memoLog;
    QPlainTextEdit* m_memo2;
    QGroupBox* m_connection;
    QGroupBox* m_groupBox1;
    TerminalArea* m_memoTerminal;
    QGroupBox* m_groupBox3;
    QWidget* m_panel1;
    QLabel* m_labelConnection;
    QLabel* m_labelListenMode;
    QLabel* m_labelTransferRate;
    QPlainTextEdit* m_memo1;
    ClockTimer* m_timer1;

    // Connection panel.
    QToolButton* m_speedButton2;
    QToolButton* m_speedButton1;
    QLabel* m_label1;
    QLineEdit* m_editTelephoneNumber;
    QPushButton* m_bitBtn2;
    QPushButton* m_bitBtn1;
    QGroupBox* m_groupBox2;
    QCheckBox* m_checkBox1;
    QLabel* m_label3;
    QLineEdit* m_editRingNumber;
    QLabel* m_label11;
    QPushButton* m_buttonAnswer;
    QLabel* m_label6;
    QComboBox* m_comboBoxSpeakerMode;
    QLabel* m_label5;
    QComboBox* m_comboBoxSpeakerVol;

    // Settings panel.
    QToolButton* m_speedButton3;
    QLabel* m_image1;
    QPushButton* m_buttonConfiguration;
    QPushButton* m_button1;

    // Transfer panel.
    QPushButton* m_bitBtn3;
    QPushButton* m_buttonStartListenMode;
    QPushButton* m_buttonExitListenMode;
    QPushButton* m_buttonTransferStop;
    QPushButton* m_buttonSendFile;
    QLabel* m_label4;
    QLabel* m_labelTransmitFileName;
    QLabel* m_labelFileIndex;
    QLabel* m_label9;
    QProgressBar* m_progressBarFile;
    QLabel* m_labelFileProgress;
    QLabel* m_label10;
    QProgressBar* m_progressBarTotal;
    QLabel* m_labelTotalProgress;
};

} // namespace vh
