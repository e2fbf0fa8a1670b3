// Draws the window's two pictures at build time: the square logo (PNG) and the banner (JPEG).
// Usage: drawbrandimages <logo.png> <banner.jpg>. Only shapes are drawn, so no font is needed
// and the result does not depend on the build machine.
#include <QCoreApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <cstdio>

namespace {

const QColor kDeep(18, 52, 86);
const QColor kTeal(38, 166, 154);
const QColor kLight(224, 247, 244);

// A "V" made of two thick strokes, the mark of the product.
void drawMark(QPainter& p, const QRectF& box, const QColor& color)
{
    QPainterPath v;
    v.moveTo(box.left() + box.width() * 0.18, box.top() + box.height() * 0.22);
    v.lineTo(box.center().x(), box.top() + box.height() * 0.80);
    v.lineTo(box.right() - box.width() * 0.18, box.top() + box.height() * 0.22);
    p.setPen(QPen(color, box.width() * 0.13, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(v);
}

QImage drawLogo()
{
    const int size = 64;
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient fill(QPointF(size * 0.35, size * 0.3), size * 0.75);
    fill.setColorAt(0, kTeal);
    fill.setColorAt(1, kDeep);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawEllipse(QRectF(1, 1, size - 2, size - 2));
    drawMark(p, QRectF(8, 8, size - 16, size - 16), kLight);
    return image;
}

// A gradient strip with a row of level bars, like a voice meter, and the mark on the left.
QImage drawBanner()
{
    const int width = 468;
    const int height = 60;
    QImage image(width, height, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient fill(0, 0, width, height);
    fill.setColorAt(0, kDeep);
    fill.setColorAt(1, kTeal);
    p.fillRect(image.rect(), fill);
    drawMark(p, QRectF(10, 6, 48, 48), kLight);
    p.setPen(Qt::NoPen);
    const int bars = 48;
    for (int i = 0; i < bars; ++i) {
        const double level = 0.25 + 0.7 * std::fabs(std::sin(i * 0.45) * std::cos(i * 0.13));
        const double barHeight = (height - 16) * level;
        QColor color = kLight;
        color.setAlpha(90 + 140 * i / bars);
        p.setBrush(color);
        p.drawRoundedRect(QRectF(72 + i * 8, (height - barHeight) / 2, 5, barHeight), 2, 2);
    }
    return image;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: drawbrandimages <logo.png> <banner.jpg>\n");
        return 2;
    }
    if (!drawLogo().save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    if (!drawBanner().save(QString::fromLocal8Bit(argv[2]), "JPEG", 90)) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
