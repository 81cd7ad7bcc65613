#include "app/Form1.h"

#include "app/FormBuilder.h"

#include "imaging/TerminalPicture.h"

#include <QLabel>
#include <QPixmap>

namespace vh {

TForm1::TForm1(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("VH TERMINAL"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(546, 330);
    m_image1 = Place<QLabel>(this, "Image1", 0, 0, 0, 0);
    const qv::JpegDecodeResult picture = qv::LoadTerminalPicture();
    if (picture.Ok())
        SetPicture(picture.image);
    else
        m_loadError = picture.error;
}

void TForm1::SetPicture(const QImage& picture)
{
    m_picture = picture;
    m_image1->setPixmap(QPixmap::fromImage(picture));
    m_image1->setGeometry(0, 0, picture.width(), picture.height());
}

} // namespace vh
