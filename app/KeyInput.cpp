#include "app/KeyInput.h"

#include <optional>

namespace vh {

namespace {

std::optional<TerminalKey> NamedKey(int key)
{
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return TerminalKey::Enter;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return TerminalKey::Tab;
    case Qt::Key_Backspace:
        return TerminalKey::Backspace;
    case Qt::Key_Escape:
        return TerminalKey::Escape;
    case Qt::Key_Up:
        return TerminalKey::Up;
    case Qt::Key_Down:
        return TerminalKey::Down;
    case Qt::Key_Left:
        return TerminalKey::Left;
    case Qt::Key_Right:
        return TerminalKey::Right;
    case Qt::Key_Insert:
        return TerminalKey::Insert;
    case Qt::Key_Delete:
        return TerminalKey::Delete;
    case Qt::Key_Home:
        return TerminalKey::Home;
    case Qt::Key_End:
        return TerminalKey::End;
    case Qt::Key_PageUp:
        return TerminalKey::PageUp;
    case Qt::Key_PageDown:
        return TerminalKey::PageDown;
    default:
        break;
    }
    if (key >= Qt::Key_F1 && key <= Qt::Key_F12)
        return TerminalKey(int(TerminalKey::F1) + (key - Qt::Key_F1));
    return std::nullopt;
}

} // namespace

TerminalKeyAction ClassifyTerminalKey(int key, Qt::KeyboardModifiers modifiers, const QString& text)
{
    TerminalKeyAction action;
    const bool shift = modifiers & Qt::ShiftModifier;
    const bool control = modifiers & Qt::ControlModifier;
    const bool alt = modifiers & Qt::AltModifier;
    if (control && shift && key == Qt::Key_C) {
        action.kind = TerminalKeyAction::Copy;
        return action;
    }
    if ((control && shift && key == Qt::Key_V) || (shift && !control && key == Qt::Key_Insert)) {
        action.kind = TerminalKeyAction::Paste;
        return action;
    }
    if (shift && !control && !alt && (key == Qt::Key_PageUp || key == Qt::Key_PageDown)) {
        action.kind = key == Qt::Key_PageUp ? TerminalKeyAction::ScrollUp : TerminalKeyAction::ScrollDown;
        return action;
    }
    action.modifiers =
        (shift ? ShiftModifier : 0) | (alt ? AltModifier : 0) | (control ? ControlModifier : 0);
    if (const auto named = NamedKey(key)) {
        action.kind = TerminalKeyAction::Key;
        action.key = *named;
        if (key == Qt::Key_Backtab)
            action.modifiers |= ShiftModifier;
        return action;
    }
    // Control or Alt with a key of the ASCII range: the key's own character,
    // whatever text the keyboard layout gave it. Both together is AltGr on
    // many layouts, which types text.
    if ((control != alt) && key >= Qt::Key_Space && key <= Qt::Key_AsciiTilde) {
        action.kind = TerminalKeyAction::Character;
        char32_t ch = char32_t(key);
        if (ch >= U'A' && ch <= U'Z' && !(alt && shift))
            ch = ch - U'A' + U'a';
        action.ch = ch;
        return action;
    }
    if (!text.isEmpty() && text.at(0).unicode() >= 0x20 && text.at(0).unicode() != 0x7F) {
        action.kind = TerminalKeyAction::Text;
        action.text = text;
    }
    return action;
}

bool IsDroppedByDigitField(const QString& text)
{
    if (text.size() != 1)
        return !text.isEmpty();
    const QChar c = text.at(0);
    if (c == QLatin1Char('\b'))
        return false;
    if (c.unicode() < 0x20 || c.unicode() == 0x7F)
        return false; // a control key: shortcuts, not typed text
    return !(c >= QLatin1Char('0') && c <= QLatin1Char('9'));
}

} // namespace vh
