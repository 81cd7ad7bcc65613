// The picture window: one picture of 546 x 330 pixels, shown modally from
// the main window's "?" button.
#pragma once

#include <QDialog>
#include <QImage>

class QLabel;

namespace vh {

class TForm1 : public QDialog
{
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);

    // Shows `picture` at 0, 0 in its own size.
    void SetPicture(const QImage& picture);
    QImage Picture() const { return m_picture; }

private:
    QLabel* m_image1;
    QImage m_picture;
};

} // namespace vh
