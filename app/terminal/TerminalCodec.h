// The far side's code page: received bytes become the UTF-8 the screen reads,
// typed text becomes the far side's bytes.
#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>

namespace vh {

enum class TerminalCodePage
{
    Utf8,
    Cp437,       // the IBM PC's, which BBS menus draw their boxes in
    Windows1256, // Persian and Arabic Windows hosts
    Iso8859_1,
    Iso8859_6
};

// The name the settings file keeps ("UTF-8", "CP437", "WINDOWS-1256",
// "ISO-8859-1", "ISO-8859-6"), which is also what the list shows.
QString CodePageName(TerminalCodePage page);
// The page of a stored name, case-insensitive; nullopt for an unknown one.
std::optional<TerminalCodePage> CodePageFromName(const QString& name);
constexpr std::array<TerminalCodePage, 5> kCodePages = {
    TerminalCodePage::Utf8, TerminalCodePage::Cp437, TerminalCodePage::Windows1256,
    TerminalCodePage::Iso8859_1, TerminalCodePage::Iso8859_6};

class TerminalCodec
{
public:
    explicit TerminalCodec(TerminalCodePage page = TerminalCodePage::Utf8) : m_page(page) {}

    TerminalCodePage CodePage() const { return m_page; }
    void SetCodePage(TerminalCodePage page) { m_page = page; }

    // Received bytes as UTF-8. ASCII, and with it every control and escape
    // sequence, passes unchanged; UTF-8 passes whole (the screen keeps a
    // character split between two pieces); a byte a single-byte page does
    // not define becomes U+FFFD.
    QByteArray ToScreen(const QByteArray& bytes) const;
    // Typed or pasted text in the far side's bytes; a character the page
    // cannot carry becomes "?".
    QByteArray FromKeyboard(const QString& text) const;

private:
    TerminalCodePage m_page;
};

} // namespace vh
