// Renders the picture-window image: an evening sky over a telephone line whose
// wires carry a carrier wave to a desk modem, written as a JPEG.
//
//   vh_make_picture <output.jpg>

#include "imaging/JpegDecoder.h"
#include "imaging/TerminalPicture.h"

#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <cstdio>

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Pole
{
    double x;      // foot of the pole
    double ground; // y of the foot
    double height;
};

void DrawSky(QPainter& p, const QRectF& area)
{
    QLinearGradient sky(area.topLeft(), area.bottomLeft());
    sky.setColorAt(0.0, QColor(12, 22, 52));
    sky.setColorAt(0.45, QColor(34, 76, 118));
    sky.setColorAt(0.78, QColor(196, 122, 92));
    sky.setColorAt(1.0, QColor(238, 176, 104));
    p.fillRect(area, sky);

    // A low sun behind the hills.
    QRadialGradient sun(QPointF(150, 262), 120);
    sun.setColorAt(0.0, QColor(255, 226, 160, 230));
    sun.setColorAt(0.25, QColor(255, 196, 120, 120));
    sun.setColorAt(1.0, QColor(255, 160, 90, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(sun);
    p.drawEllipse(QPointF(150, 262), 120, 120);

    // A few stars high up.
    p.setBrush(QColor(235, 240, 255, 180));
    const QPointF stars[] = {{40, 22},  {96, 48},  {188, 18}, {262, 40},
                             {330, 14}, {402, 52}, {470, 26}, {520, 60}};
    for (const QPointF& s : stars)
        p.drawEllipse(s, 1.1, 1.1);
}

void DrawHills(QPainter& p)
{
    QPainterPath far;
    far.moveTo(0, 262);
    far.cubicTo(90, 236, 170, 250, 250, 240);
    far.cubicTo(340, 228, 430, 252, 546, 236);
    far.lineTo(546, 330);
    far.lineTo(0, 330);
    far.closeSubpath();
    p.fillPath(far, QColor(58, 52, 78));

    QPainterPath near;
    near.moveTo(0, 290);
    near.cubicTo(120, 270, 220, 296, 330, 282);
    near.cubicTo(420, 272, 480, 286, 546, 278);
    near.lineTo(546, 330);
    near.lineTo(0, 330);
    near.closeSubpath();
    QLinearGradient shade(0, 270, 0, 330);
    shade.setColorAt(0, QColor(30, 34, 52));
    shade.setColorAt(1, QColor(14, 16, 28));
    p.fillPath(near, shade);
}

QPointF Insulator(const Pole& pole, int wire)
{
    const double arm = pole.height * 0.22;
    const double y = pole.ground - pole.height + pole.height * 0.05;
    return {pole.x - arm + wire * arm, y};
}

void DrawPole(QPainter& p, const Pole& pole)
{
    const double w = std::max(2.0, pole.height / 40.0);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(22, 18, 24));
    p.drawRect(QRectF(pole.x - w / 2, pole.ground - pole.height, w, pole.height));
    const double arm = pole.height * 0.22;
    const double armY = pole.ground - pole.height + pole.height * 0.05;
    p.drawRect(QRectF(pole.x - arm - w, armY, 2 * arm + 2 * w, w * 0.9));
    for (int i = 0; i < 3; ++i) {
        const QPointF at = Insulator(pole, i);
        p.drawEllipse(QPointF(at.x(), at.y() - w * 0.3), w * 0.7, w * 0.7);
    }
}

// A sagging wire from a to b; returns the path so the carrier can follow it.
QPainterPath Wire(QPointF a, QPointF b)
{
    QPainterPath path(a);
    const QPointF mid((a.x() + b.x()) / 2, (a.y() + b.y()) / 2 + std::abs(b.x() - a.x()) * 0.08);
    path.quadTo(mid, b);
    return path;
}

void DrawCarrier(QPainter& p, const QPainterPath& wire, double phase)
{
    // A carrier riding just above the wire, fading out towards the far pole.
    const int steps = 220;
    QPainterPath wave;
    for (int i = 0; i <= steps; ++i) {
        const double t = double(i) / steps;
        const QPointF at = wire.pointAtPercent(t);
        const double amplitude = 3.2 * (0.35 + 0.65 * t);
        const double y = at.y() - 6 - amplitude * std::sin(phase + t * 26 * kPi);
        if (i == 0)
            wave.moveTo(at.x(), y);
        else
            wave.lineTo(at.x(), y);
    }
    QPen glow(QColor(120, 230, 255, 60), 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.strokePath(wave, glow);
    QPen line(QColor(170, 245, 255, 220), 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.strokePath(wave, line);
}

void DrawModem(QPainter& p)
{
    const QRectF body(376, 262, 150, 44);
    // Shadow on the ground.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 90));
    p.drawEllipse(QRectF(body.left() - 6, body.bottom() - 4, body.width() + 12, 14));

    QLinearGradient shell(body.topLeft(), body.bottomLeft());
    shell.setColorAt(0, QColor(214, 218, 226));
    shell.setColorAt(0.55, QColor(168, 174, 186));
    shell.setColorAt(1, QColor(112, 118, 132));
    p.setBrush(shell);
    p.setPen(QPen(QColor(60, 64, 76), 1.2));
    p.drawRoundedRect(body, 7, 7);

    // Front panel with its lamps: power, carrier, send, receive, off hook.
    const QRectF panel(body.left() + 10, body.top() + 22, body.width() - 20, 14);
    p.setBrush(QColor(38, 42, 54));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(panel, 3, 3);
    const QColor lamps[] = {QColor(90, 255, 120), QColor(90, 255, 120), QColor(255, 190, 70),
                            QColor(255, 190, 70), QColor(255, 96, 80)};
    for (int i = 0; i < 5; ++i) {
        const QPointF c(panel.left() + 14 + i * 22, panel.center().y());
        QRadialGradient halo(c, 7);
        halo.setColorAt(0, QColor(lamps[i].red(), lamps[i].green(), lamps[i].blue(), 160));
        halo.setColorAt(1, QColor(lamps[i].red(), lamps[i].green(), lamps[i].blue(), 0));
        p.setBrush(halo);
        p.drawEllipse(c, 7, 7);
        p.setBrush(lamps[i]);
        p.drawEllipse(c, 2.4, 2.4);
    }
    // Ventilation slots on the top.
    p.setPen(QPen(QColor(92, 98, 112), 1.4, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 9; ++i)
        p.drawLine(QPointF(body.left() + 40 + i * 8, body.top() + 8),
                   QPointF(body.left() + 46 + i * 8, body.top() + 8));
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: vh_make_picture <output.jpg>\n");
        return 2;
    }

    QImage image(qv::kTerminalPictureWidth, qv::kTerminalPictureHeight, QImage::Format_RGB32);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing, true);
        DrawSky(p, QRectF(image.rect()));

        // The line recedes from the modem on the right towards the horizon.
        const Pole poles[] = {{470, 250, 200}, {330, 248, 128}, {228, 246, 84},
                              {160, 246, 56},  {116, 247, 38},  {86, 248, 26}};
        DrawHills(p);
        QPainterPath firstWire;
        for (size_t i = 0; i + 1 < std::size(poles); ++i) {
            for (int w = 0; w < 3; ++w) {
                const QPainterPath wire = Wire(Insulator(poles[i + 1], w), Insulator(poles[i], w));
                p.strokePath(wire, QPen(QColor(20, 18, 26, 220), std::max(0.7, poles[i].height / 150.0)));
                if (i == 0 && w == 1)
                    firstWire = wire;
                if (w == 1 && i < 3)
                    DrawCarrier(p, wire, i * 1.3);
            }
        }
        for (const Pole& pole : poles)
            DrawPole(p, pole);

        // The drop wire from the nearest pole down to the modem.
        QPainterPath drop(Insulator(poles[0], 2));
        drop.cubicTo(QPointF(512, 150), QPointF(540, 236), QPointF(520, 270));
        p.strokePath(drop, QPen(QColor(20, 18, 26), 1.6));
        DrawModem(p);
    }

    QString error;
    const QByteArray jpeg = qv::EncodeJpeg(image, 88, &error);
    if (jpeg.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    QFile out(QString::fromLocal8Bit(argv[1]));
    if (!out.open(QIODevice::WriteOnly) || out.write(jpeg) != jpeg.size()) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("%s: %lld bytes\n", argv[1], static_cast<long long>(jpeg.size()));
    return 0;
}
