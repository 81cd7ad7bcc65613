// Small helpers that lay the forms out as they were drawn: every control
// named after its form name, at its bounds in pixels, with fonts sized in
// pixels as the designer's 96 dpi screen had them.
#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QPalette>
#include <QString>
#include <QWidget>

#include <utility>

namespace vh {

template <class W, class... Args>
W* Place(QWidget* parent, const char* name, int x, int y, int width, int height, Args&&... args)
{
    auto* widget = new W(std::forward<Args>(args)..., parent);
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(x, y, width, height);
    return widget;
}

// A font of `family` (asked for by name; the font system substitutes what is
// installed) at `points` as a 96 dpi screen shows them.
inline QFont FormFont(const QString& family, int points, bool bold = false)
{
    QFont font(family);
    font.setPixelSize((points * 96 + 36) / 72);
    font.setBold(bold);
    return font;
}

// A label as the forms draw one: one line, left-to-right paragraph order
// whatever script the text is in (so the colon of ": ..." stays at the left,
// where the Persian reader expects the end of the caption), and a font made
// smaller when the installed font is wider than the one the bounds were
// drawn for, so that nothing is cut off or runs into its neighbour.
class FormLabel : public QLabel
{
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent* event) override;
};

inline void SetTextColor(QWidget* widget, const QColor& color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::ButtonText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

// The fill colour of an edit or memo.
inline void SetFillColor(QWidget* widget, const QColor& color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Base, color);
    widget->setPalette(palette);
}

inline QColor FillColor(const QWidget* widget)
{
    return widget->palette().color(QPalette::Base);
}

} // namespace vh
