#include "app/terminal/TerminalCodec.h"

#include <QList>

#include <iconv.h>

#include <map>
#include <mutex>

namespace vh {

namespace {

const char* IconvName(TerminalCodePage page)
{
    switch (page) {
    case TerminalCodePage::Cp437:
        return "IBM437";
    case TerminalCodePage::Windows1256:
        return "CP1256";
    case TerminalCodePage::Iso8859_1:
        return "ISO-8859-1";
    case TerminalCodePage::Iso8859_6:
        return "ISO-8859-6";
    case TerminalCodePage::Utf8:
        break;
    }
    return nullptr;
}

// The upper half of a single-byte page, read once from the C library's
// converters rather than typed in by hand.
struct PageTable
{
    std::array<char32_t, 128> upper{};
    std::map<char32_t, char> reverse;
};

PageTable BuildTable(TerminalCodePage page)
{
    PageTable table;
    table.upper.fill(U'\uFFFD');
    iconv_t cd = iconv_open("UTF-32LE", IconvName(page));
    if (cd == iconv_t(-1))
        return table;
    for (int b = 0x80; b <= 0xFF; ++b) {
        char in = char(b);
        char out[8] = {};
        char* inPtr = &in;
        char* outPtr = out;
        size_t inLeft = 1, outLeft = sizeof out;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != size_t(-1) && outLeft == sizeof out - 4) {
            const char32_t u = char32_t(std::uint8_t(out[0])) | char32_t(std::uint8_t(out[1])) << 8 |
                               char32_t(std::uint8_t(out[2])) << 16 | char32_t(std::uint8_t(out[3])) << 24;
            table.upper[std::size_t(b - 0x80)] = u;
            table.reverse.emplace(u, char(b));
        }
    }
    iconv_close(cd);
    return table;
}

const PageTable& Table(TerminalCodePage page)
{
    static std::map<TerminalCodePage, PageTable> tables;
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    auto it = tables.find(page);
    if (it == tables.end())
        it = tables.emplace(page, BuildTable(page)).first;
    return it->second;
}

} // namespace

QString CodePageName(TerminalCodePage page)
{
    switch (page) {
    case TerminalCodePage::Utf8:
        return QStringLiteral("UTF-8");
    case TerminalCodePage::Cp437:
        return QStringLiteral("CP437");
    case TerminalCodePage::Windows1256:
        return QStringLiteral("WINDOWS-1256");
    case TerminalCodePage::Iso8859_1:
        return QStringLiteral("ISO-8859-1");
    case TerminalCodePage::Iso8859_6:
        return QStringLiteral("ISO-8859-6");
    }
    return QString();
}

std::optional<TerminalCodePage> CodePageFromName(const QString& name)
{
    for (TerminalCodePage page : kCodePages)
        if (name.compare(CodePageName(page), Qt::CaseInsensitive) == 0)
            return page;
    return std::nullopt;
}

QByteArray TerminalCodec::ToScreen(const QByteArray& bytes) const
{
    if (m_page == TerminalCodePage::Utf8)
        return bytes;
    const PageTable& table = Table(m_page);
    QByteArray out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto b = std::uint8_t(c);
        if (b < 0x80) {
            out.append(c);
            continue;
        }
        const char32_t u = table.upper[b - 0x80];
        out.append(QString::fromUcs4(&u, 1).toUtf8());
    }
    return out;
}

QByteArray TerminalCodec::FromKeyboard(const QString& text) const
{
    if (m_page == TerminalCodePage::Utf8)
        return text.toUtf8();
    const PageTable& table = Table(m_page);
    QByteArray out;
    for (char32_t u : text.toUcs4()) {
        if (u < 0x80) {
            out.append(char(u));
            continue;
        }
        const auto it = table.reverse.find(u);
        out.append(it == table.reverse.end() ? '?' : it->second);
    }
    return out;
}

} // namespace vh
