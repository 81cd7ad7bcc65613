#include "app/FormBuilder.h"

#include <QFontMetrics>
#include <QPainter>

namespace vh {

void FormLabel::paintEvent(QPaintEvent* event)
{
    if (!pixmap().isNull()) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    drawFrame(&painter);
    QRect area = contentsRect();
    if (frameWidth() > 0)
        area.adjust(2, 0, -2, 0);
    QFont shown = font();
    int pixels = shown.pixelSize() > 0 ? shown.pixelSize() : QFontMetrics(shown).height();
    while (pixels > 8 && QFontMetrics(shown).horizontalAdvance(text()) > area.width()) {
        shown.setPixelSize(--pixels);
    }
    painter.setFont(shown);
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, foregroundRole()));
    painter.drawText(area, int(alignment()) | Qt::TextForceLeftToRight | Qt::TextSingleLine, text());
}

} // namespace vh
