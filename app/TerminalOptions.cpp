#include "app/TerminalOptions.h"

#include <QFileInfo>

#include <optional>

namespace vh {

namespace {

std::optional<QString> ReadIfPresent(const SettingsStore& store, const QString& name, QStringList& errors)
{
    // Anything in the file's place counts, so that a folder of that name is
    // reported rather than passed over.
    if (!QFileInfo::exists(store.PathOf(name)))
        return std::nullopt;
    QString error;
    auto text = store.Read(name, error);
    if (!text)
        errors << error;
    return text;
}

} // namespace

QString LocalEchoText(bool on)
{
    return on ? QStringLiteral("on") : QStringLiteral("off");
}

QString EnterText(EnterSends enter)
{
    switch (enter) {
    case EnterSends::CrLf:
        return QStringLiteral("CRLF");
    case EnterSends::Cr:
        return QStringLiteral("CR");
    case EnterSends::AsLineAsks:
        break;
    }
    return QStringLiteral("line");
}

TerminalOptions ReadTerminalOptions(const SettingsStore& store, QStringList& errors)
{
    TerminalOptions options;
    if (const auto echo = ReadIfPresent(store, settings::LocalEcho, errors)) {
        if (echo->compare(LocalEchoText(false), Qt::CaseInsensitive) == 0)
            options.localEcho = false;
    }
    if (const auto enter = ReadIfPresent(store, settings::EnterKey, errors)) {
        for (EnterSends choice : {EnterSends::AsLineAsks, EnterSends::CrLf, EnterSends::Cr})
            if (enter->compare(EnterText(choice), Qt::CaseInsensitive) == 0)
                options.enter = choice;
    }
    if (const auto name = ReadIfPresent(store, settings::CodePage, errors)) {
        if (const auto page = CodePageFromName(*name))
            options.codePage = *page;
    }
    return options;
}

} // namespace vh
