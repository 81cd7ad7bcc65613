// The picture window: the program's own picture of 546 x 330 pixels, decoded
// from its stored JPEG, shown modally from the main window's "?" button.
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
    // Why the stored picture could not be shown; empty when it is shown.
    QString LoadError() const { return m_loadError; }

private:
    QLabel* m_image1;
    QImage m_picture;
    QString m_loadError;
};

} // namespace vh
