// Renders the program's icon at one size from its scalable picture; run by
// hand when the picture changes, and the result is kept beside it:
//
//   vh_make_icon app/icons/vh-terminal.svg app/icons/vh-terminal-48.png 48

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: vh_make_icon <input.svg> <output.png> <size>\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
    if (!renderer.isValid()) {
        std::fprintf(stderr, "vh_make_icon: %s is not a picture it can read\n", argv[1]);
        return 1;
    }
    const int size = QString::fromLocal8Bit(argv[3]).toInt();
    if (size < 16 || size > 1024) {
        std::fprintf(stderr, "vh_make_icon: a size from 16 to 1024 pixels\n");
        return 2;
    }
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    painter.end();
    if (!image.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "vh_make_icon: %s cannot be written\n", argv[2]);
        return 1;
    }
    return 0;
}
