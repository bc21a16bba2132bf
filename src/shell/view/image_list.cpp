#include "shell/view/image_list.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace {

const QColor kOutline(0x30, 0x38, 0x40);

// A monitor with its screen lit, standing on the network line it is plugged into.
void drawComputer(QPainter& p) {
    QLinearGradient frame(0, 1, 0, 11);
    frame.setColorAt(0, QColor(0xf0, 0xf2, 0xf4));
    frame.setColorAt(1, QColor(0xb8, 0xbe, 0xc4));
    p.setPen(QPen(kOutline, 1));
    p.setBrush(frame);
    p.drawRoundedRect(QRectF(1.5, 1.5, 13, 9), 1.2, 1.2);

    QLinearGradient screen(3, 3, 13, 9);
    screen.setColorAt(0, QColor(0x9c, 0xd0, 0xff));
    screen.setColorAt(1, QColor(0x1f, 0x5a, 0xc0));
    p.setPen(Qt::NoPen);
    p.setBrush(screen);
    p.drawRect(QRectF(3, 3, 10, 6));

    // The stand doubles as the drop cable to the network line.
    p.fillRect(QRect(7, 11, 2, 3), QColor(0x50, 0x58, 0x60));
    p.fillRect(QRect(0, 14, 16, 1), QColor(0x3a, 0x7b, 0xd5));
    p.fillRect(QRect(0, 15, 16, 1), QColor(0x1a, 0x40, 0x88));
    p.fillRect(QRect(6, 13, 4, 1), QColor(0x50, 0x58, 0x60));
}

// A network adapter card: green board, chip, gold contacts and the metal bracket with its socket.
void drawAdapter(QPainter& p) {
    p.setPen(QPen(QColor(0x14, 0x50, 0x1c), 1));
    p.setBrush(QColor(0x2e, 0x8b, 0x3a));
    p.drawRect(QRectF(0.5, 3.5, 12, 8));

    for (int x = 2; x <= 10; x += 2)
        p.fillRect(QRect(x, 12, 1, 2), QColor(0xe0, 0xb0, 0x30));

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x20, 0x20, 0x24));
    p.drawRect(QRectF(3, 5, 4, 4));
    p.setBrush(QColor(0xd8, 0xd8, 0xd0));
    p.drawRect(QRectF(8.5, 5, 2, 1.5));
    p.drawRect(QRectF(8.5, 7.5, 2, 1.5));

    QLinearGradient metal(12, 0, 16, 0);
    metal.setColorAt(0, QColor(0xe8, 0xea, 0xee));
    metal.setColorAt(1, QColor(0x90, 0x96, 0x9c));
    p.setPen(QPen(kOutline, 1));
    p.setBrush(metal);
    p.drawRect(QRectF(12.5, 1.5, 3, 13));
    p.fillRect(QRect(13, 6, 2, 3), QColor(0x20, 0x20, 0x24));
}

// An hourglass with most of its sand already run down.
void drawHourglass(QPainter& p) {
    const QColor wood(0x9a, 0x60, 0x28);
    const QColor woodDark(0x50, 0x30, 0x10);

    QPainterPath glass;
    glass.moveTo(4, 2.5);
    glass.lineTo(12, 2.5);
    glass.cubicTo(12, 6, 9, 7, 9, 8);
    glass.cubicTo(9, 9, 12, 10, 12, 13.5);
    glass.lineTo(4, 13.5);
    glass.cubicTo(4, 10, 7, 9, 7, 8);
    glass.cubicTo(7, 7, 4, 6, 4, 2.5);
    glass.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xe4, 0xf2, 0xff));
    p.drawPath(glass);

    const QColor sand(0xe8, 0xb0, 0x30);
    p.setBrush(sand);
    p.drawPolygon(QPolygonF({QPointF(5.5, 5), QPointF(10.5, 5), QPointF(8, 7.8)}));
    p.drawPolygon(QPolygonF({QPointF(4.3, 13.5), QPointF(11.7, 13.5), QPointF(8, 10)}));
    p.setPen(QPen(sand, 1));
    p.drawLine(QPointF(8, 7.5), QPointF(8, 12));

    p.setPen(QPen(QColor(0x50, 0x68, 0x80), 1));
    p.setBrush(Qt::NoBrush);
    p.drawPath(glass);

    p.setPen(QPen(woodDark, 1));
    p.setBrush(wood);
    p.drawRoundedRect(QRectF(1.5, 0.5, 13, 2), 0.8, 0.8);
    p.drawRoundedRect(QRectF(1.5, 13.5, 13, 2), 0.8, 0.8);
    p.fillRect(QRect(2, 3, 1, 10), wood);
    p.fillRect(QRect(13, 3, 1, 10), wood);
}

// A stopwatch: crown and side button, silver case, white face with one red hand.
void drawStopwatch(QPainter& p) {
    const QColor silverDark(0x70, 0x78, 0x80);
    p.setPen(QPen(kOutline, 1));
    p.setBrush(QColor(0xc8, 0xcc, 0xd0));
    p.drawRect(QRectF(6.5, 0.5, 3, 2));
    p.setPen(QPen(kOutline, 2, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(QPointF(12.2, 5.2), QPointF(13.8, 3.6));

    const QPointF centre(8, 9.5);
    QRadialGradient caseShade(QPointF(6, 7), 8);
    caseShade.setColorAt(0, QColor(0xf4, 0xf6, 0xf8));
    caseShade.setColorAt(1, QColor(0x98, 0xa0, 0xa8));
    p.setPen(QPen(kOutline, 1));
    p.setBrush(caseShade);
    p.drawEllipse(centre, 6, 6);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(centre, 4.5, 4.5);

    p.setPen(QPen(silverDark, 1));
    p.drawLine(QPointF(8, 5.2), QPointF(8, 6.4));
    p.drawLine(QPointF(8, 12.6), QPointF(8, 13.8));
    p.drawLine(QPointF(3.7, 9.5), QPointF(4.9, 9.5));
    p.drawLine(QPointF(11.1, 9.5), QPointF(12.3, 9.5));

    p.setPen(QPen(QColor(0xd0, 0x18, 0x18), 1.3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(centre, QPointF(10.6, 6.6));
    p.setPen(Qt::NoPen);
    p.setBrush(kOutline);
    p.drawEllipse(centre, 1, 1);
}

// One key lying along the x axis, bow at the origin, bit towards +x.
void drawKey(QPainter& p, const QColor& light, const QColor& dark) {
    QPainterPath key;
    key.addEllipse(QPointF(0, 0), 3, 3);
    key.addRect(QRectF(2, -1, 9.5, 2));
    key.addRect(QRectF(7.5, 0.5, 1.5, 2.5));
    key.addRect(QRectF(10, 0.5, 1.5, 2));
    key = key.simplified();
    QPainterPath hole;
    hole.addEllipse(QPointF(-0.8, 0), 1.1, 1.1);
    key = key.subtracted(hole);

    QLinearGradient shade(0, -3, 0, 3);
    shade.setColorAt(0, light);
    shade.setColorAt(1, dark);
    p.setPen(QPen(dark.darker(170), 0.9));
    p.setBrush(shade);
    p.drawPath(key);
}

// Two keys crossed, a silver one under a gold one.
void drawKeys(QPainter& p) {
    p.save();
    p.translate(12, 4);
    p.rotate(135);
    p.scale(1, -1);
    drawKey(p, QColor(0xe0, 0xe4, 0xe8), QColor(0x68, 0x70, 0x78));
    p.restore();

    p.save();
    p.translate(4, 4);
    p.rotate(45);
    drawKey(p, QColor(0xff, 0xe0, 0x70), QColor(0xc0, 0x88, 0x10));
    p.restore();
}

// A green check mark with a dark rim.
void drawCheck(QPainter& p) {
    QPainterPath tick;
    tick.moveTo(2.5, 8.5);
    tick.lineTo(6.3, 12.3);
    tick.lineTo(13.5, 3.5);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0x10, 0x60, 0x18), 4.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(tick);
    p.setPen(QPen(QColor(0x40, 0xc8, 0x40), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(tick);
}

} // namespace

QPixmap imgLstPixmap(int number) {
    if (number < 1 || number > kImgLstCount)
        return {};

    QPixmap picture(kImgLstSize, kImgLstSize);
    picture.fill(Qt::transparent);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    switch (static_cast<ImgLstPicture>(number)) {
    case ImgLstPicture::Computer:
        drawComputer(p);
        break;
    case ImgLstPicture::Adapter:
        drawAdapter(p);
        break;
    case ImgLstPicture::Hourglass:
        drawHourglass(p);
        break;
    case ImgLstPicture::Stopwatch:
        drawStopwatch(p);
        break;
    case ImgLstPicture::Keys:
        drawKeys(p);
        break;
    case ImgLstPicture::Check:
        drawCheck(p);
        break;
    }
    return picture;
}

QIcon ImgLst(int number) {
    const QPixmap picture = imgLstPixmap(number);
    return picture.isNull() ? QIcon() : QIcon(picture);
}
