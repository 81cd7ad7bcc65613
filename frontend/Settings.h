// Where the program keeps the operator's choices, and the small text files
// that hold them.
//
// Every settings file holds one line of text written as the text followed by
// CR LF in the locale's encoding (UTF-8); reading takes the whole content and
// trims blanks and control characters at both ends.
#pragma once

#include <QString>

#include <functional>
#include <optional>

namespace vh {

// Names of the settings files.
namespace settings {
inline const QString WriteTest = QStringLiteral("best.ctx");
inline const QString ReceiveFolder = QStringLiteral("saved.ctx");
inline const QString TelephoneNumber = QStringLiteral("saved N.ctx");
inline const QString RingCount = QStringLiteral("RN.ctx");
inline const QString AutoAnswerOff = QStringLiteral("false.ctx");
inline const QString ListenModeOff = QStringLiteral("About.txt");

inline const QString WriteTestMarker = QStringLiteral("01010101000010100110");
inline const QString AutoAnswerOffMarker = QStringLiteral("00010000100010001");
} // namespace settings

// What decides the settings folder. Each field is what the environment says;
// an empty string means "not given".
struct SettingsFolderInputs
{
    QString commandLineDir;  // --settings-dir DIR
    QString environmentHome; // VH_TERMINAL_HOME
    QString executableDir;   // folder of the running program
    QString xdgConfigHome;   // XDG_CONFIG_HOME
    QString home;            // HOME, for the XDG default ~/.config
    std::function<bool(const QString& dir)> isWritable;
};

// The settings folder, ending with "/": the command-line folder, else the
// environment's, else the executable's folder when it is writable, else
// <config home>/vh-terminal. Never empty: with nothing at all to go on it is
// "./".
QString ResolveSettingsFolder(const SettingsFolderInputs& inputs);

// The inputs of the running process (environment variables, the
// executable's folder, a write-access probe).
SettingsFolderInputs ProcessSettingsFolderInputs(const QString& commandLineDir);

// Where received files go unless the operator chose a folder: the user's
// download folder + "VH Terminal/", ending with "/". The window creates it
// when a receive first needs it.
QString DefaultReceiveFolder();

// Why `folder` must not take received files, as a sentence for the
// operator; empty when it may. The settings folder and every folder inside
// it are refused, since a peer could send "saved.ctx" or "About.txt" and
// change how the program starts.
QString SettingsFolderRefusal(const QString& folder, const QString& settingsFolder);
// As SettingsFolderRefusal, and a folder that cannot be written is refused
// too (for one not made yet, the nearest folder that exists decides): the
// rule for a folder the operator chooses.
QString ReceiveFolderRefusal(const QString& folder, const QString& settingsFolder);

// Reads and writes the settings files of one folder. A failure comes back
// as false or nullopt with a message naming the file and the cause, ready to
// be shown to the operator.
class SettingsStore
{
public:
    explicit SettingsStore(QString folder);

    // The folder, ending with "/".
    const QString& Folder() const { return m_folder; }
    QString PathOf(const QString& name) const { return m_folder + name; }

    bool Exists(const QString& name) const;
    // The trimmed content; nullopt when the file cannot be read.
    std::optional<QString> Read(const QString& name, QString& error) const;
    // Writes `text` + CR LF, replacing the file.
    bool Write(const QString& name, const QString& text, QString& error) const;
    // Deletes the file; a file that does not exist is not an error.
    bool Remove(const QString& name, QString& error) const;

private:
    QString m_folder;
};

// Leading and trailing characters up to and including the blank (control
// characters and spaces) removed, the way the settings files are read.
QString TrimSettingText(const QString& text);

} // namespace vh
