// Draws the program's own pictures: the logo of the main window's white top band, the About
// window's banner, the wait symbol and the application icon. The output folder is the only
// argument; the PNGs are committed, so this runs only when a picture is redrawn.
#include <QDir>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cmath>
#include <cstdio>

namespace {

const QColor Navy(23, 39, 98);
const QColor Gold(242, 193, 25);
const QColor Amber(246, 148, 30);
const QColor PanelBlue(31, 86, 170);
const QColor PanelDeep(16, 48, 112);
const QColor PanelLine(150, 190, 240);

QFont SansFont(double pixels, bool bold) {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(qRound(pixels));
    font.setBold(bold);
    font.setHintingPreference(QFont::PreferFullHinting);
    return font;
}

// A sun: a glowing disc with rays around it.
void DrawSun(QPainter& p, QPointF centre, double radius, double rayLength, int rays,
             double rayWidth) {
    p.save();
    QPen rayPen(Gold, rayWidth, Qt::SolidLine, Qt::RoundCap);
    p.setPen(rayPen);
    for (int i = 0; i < rays; ++i) {
        const double angle = 2 * M_PI * i / rays;
        const QPointF direction(std::cos(angle), std::sin(angle));
        p.drawLine(centre + direction * (radius + rayLength * 0.35),
                   centre + direction * (radius + rayLength));
    }
    QRadialGradient glow(centre - QPointF(radius * 0.3, radius * 0.3), radius * 1.3);
    glow.setColorAt(0, QColor(255, 236, 140));
    glow.setColorAt(0.6, Gold);
    glow.setColorAt(1, Amber);
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(centre, radius, radius);
    p.restore();
}

QPointF Lerp(QPointF a, QPointF b, double t) {
    return a + (b - a) * t;
}

// A solar panel seen in perspective: the quad's corners are top-left, top-right, bottom-right,
// bottom-left; the cells form a grid of rows by columns.
void DrawPanel(QPainter& p, const QPolygonF& quad, int rows, int columns, double lineWidth) {
    p.save();
    QLinearGradient fill(quad[0], quad[2]);
    fill.setColorAt(0, PanelBlue);
    fill.setColorAt(1, PanelDeep);
    p.setPen(
        QPen(QColor(205, 215, 230), lineWidth * 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(fill);
    p.drawPolygon(quad);
    p.setPen(QPen(PanelLine, lineWidth));
    for (int r = 1; r < rows; ++r) {
        const double t = double(r) / rows;
        p.drawLine(Lerp(quad[0], quad[3], t), Lerp(quad[1], quad[2], t));
    }
    for (int c = 1; c < columns; ++c) {
        const double t = double(c) / columns;
        p.drawLine(Lerp(quad[0], quad[1], t), Lerp(quad[3], quad[2], t));
    }
    // A soft reflection across the upper cells.
    QPolygonF shine;
    shine << Lerp(quad[0], quad[1], 0.15) << Lerp(quad[0], quad[1], 0.45)
          << Lerp(Lerp(quad[0], quad[3], 0.6), Lerp(quad[1], quad[2], 0.6), 0.2)
          << Lerp(Lerp(quad[0], quad[3], 0.6), Lerp(quad[1], quad[2], 0.6), -0.05);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 28));
    p.drawPolygon(shine);
    p.restore();
}

QImage Canvas(int width, int height, QColor background) {
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(background);
    return image;
}

// The sales brand on white, for the main window's white top band.
QImage Logo() {
    QImage image = Canvas(121, 41, Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    DrawSun(p, QPointF(16, 17), 6.5, 5.5, 10, 1.6);
    // A little panel under the sun.
    DrawPanel(p,
              QPolygonF() << QPointF(8, 27) << QPointF(26, 27) << QPointF(29, 36) << QPointF(5, 36),
              2, 4, 0.6);
    // The largest size at which the brand fits beside the sun.
    const QString brand = QStringLiteral("Moravel");
    double size = 21;
    while (size > 10 && QFontMetricsF(SansFont(size, true)).horizontalAdvance(brand) > 80) {
        size -= 0.5;
    }
    p.setFont(SansFont(size, true));
    p.setPen(Navy);
    p.drawText(QRectF(36, 4, 85, 27), Qt::AlignLeft | Qt::AlignVCenter, brand);
    p.setPen(QPen(Gold, 2));
    p.drawLine(QPointF(37, 33), QPointF(115, 33));
    return image;
}

// The band across the top of the About window, on the window colour.
QImage Banner() {
    QImage image = Canvas(445, 48, Navy);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    QLinearGradient sky(0, 0, 0, 48);
    sky.setColorAt(0, QColor(12, 22, 62));
    sky.setColorAt(1, Navy);
    p.fillRect(image.rect(), sky);
    // Morning light behind the sun.
    QRadialGradient haze(QPointF(58, 20), 70);
    haze.setColorAt(0, QColor(242, 193, 25, 70));
    haze.setColorAt(1, QColor(242, 193, 25, 0));
    p.fillRect(image.rect(), haze);
    DrawSun(p, QPointF(58, 17), 8, 7, 12, 1.8);
    DrawPanel(
        p, QPolygonF() << QPointF(16, 30) << QPointF(56, 30) << QPointF(60, 45) << QPointF(10, 45),
        2, 5, 0.7);
    DrawPanel(
        p,
        QPolygonF() << QPointF(64, 30) << QPointF(104, 30) << QPointF(110, 45) << QPointF(60, 45),
        2, 5, 0.7);
    // The window names the product below the band; the band shows what it is for, in no
    // language: a day's yield as bars under the curve of the power.
    const QRectF day(132, 6, 300, 34);
    const int bars = 24;
    QPainterPath curve;
    for (int i = 0; i <= 120; ++i) {
        const double x = day.left() + day.width() * i / 120.0;
        const double power = std::pow(std::sin(M_PI * i / 120.0), 2);
        const QPointF point(x, day.bottom() - day.height() * power);
        if (i == 0) {
            curve.moveTo(point);
        } else {
            curve.lineTo(point);
        }
    }
    const double slot = day.width() / bars;
    for (int i = 0; i < bars; ++i) {
        const double middle = (i + 0.5) / bars;
        const double height = day.height() * 0.85 * std::pow(std::sin(M_PI * middle), 2);
        p.fillRect(QRectF(day.left() + i * slot + 1.5, day.bottom() - height, slot - 3, height),
                   QColor(242, 193, 25, 90));
    }
    p.setPen(QPen(Gold, 1.8));
    p.setBrush(Qt::NoBrush);
    p.drawPath(curve);
    QLinearGradient rule(128, 0, 440, 0);
    rule.setColorAt(0, Gold);
    rule.setColorAt(1, QColor(242, 193, 25, 0));
    p.setPen(QPen(QBrush(rule), 1.5));
    p.drawLine(QPointF(128, 41), QPointF(440, 41));
    return image;
}

// An hourglass on pure blue, the colour the wait window makes transparent. The edges are blended
// with the window colour behind it rather than with blue, so no blue fringe shows.
QImage Wait() {
    QImage drawing(20, 20, QImage::Format_ARGB32_Premultiplied);
    drawing.fill(Qt::transparent);
    {
        QPainter p(&drawing);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath glass;
        glass.moveTo(5, 3);
        glass.lineTo(15, 3);
        glass.cubicTo(15, 8, 11, 9, 11, 10);
        glass.cubicTo(11, 11, 15, 12, 15, 17);
        glass.lineTo(5, 17);
        glass.cubicTo(5, 12, 9, 11, 9, 10);
        glass.cubicTo(9, 9, 5, 8, 5, 3);
        p.setPen(QPen(QColor(230, 236, 248), 1.2));
        p.setBrush(QColor(60, 80, 150));
        p.drawPath(glass);
        // Sand: a little left on top, a heap below, a thread between.
        p.setPen(Qt::NoPen);
        p.setBrush(Gold);
        QPainterPath top;
        top.moveTo(7.2, 6.5);
        top.lineTo(12.8, 6.5);
        top.cubicTo(12.5, 8, 10.5, 9, 10, 9.6);
        top.cubicTo(9.5, 9, 7.5, 8, 7.2, 6.5);
        p.drawPath(top);
        QPainterPath heap;
        heap.moveTo(6.2, 16.2);
        heap.cubicTo(7, 13.5, 9, 13, 10, 12.8);
        heap.cubicTo(11, 13, 13, 13.5, 13.8, 16.2);
        heap.closeSubpath();
        p.drawPath(heap);
        p.drawRect(QRectF(9.6, 9.6, 0.8, 3.4));
        p.setBrush(Gold);
        p.drawRoundedRect(QRectF(3, 1.5, 14, 2.2), 1, 1);
        p.drawRoundedRect(QRectF(3, 16.3, 14, 2.2), 1, 1);
    }
    QImage image(20, 20, QImage::Format_RGB32);
    for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < 20; ++x) {
            const QColor c = QColor::fromRgba(drawing.pixel(x, y));
            if (c.alpha() < 64) {
                image.setPixel(x, y, qRgb(0, 0, 255));
                continue;
            }
            const double a = c.alphaF();
            image.setPixel(x, y,
                           qRgb(qRound(c.red() * a + Navy.red() * (1 - a)),
                                qRound(c.green() * a + Navy.green() * (1 - a)),
                                qRound(c.blue() * a + Navy.blue() * (1 - a))));
        }
    }
    return image;
}

// The application icon: a sun rising behind a solar panel on a rounded tile.
QImage Icon() {
    QImage image = Canvas(256, 256, Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient tile(0, 0, 0, 256);
    tile.setColorAt(0, QColor(34, 58, 140));
    tile.setColorAt(1, QColor(14, 24, 64));
    p.setPen(Qt::NoPen);
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(8, 8, 240, 240), 44, 44);
    QRadialGradient haze(QPointF(160, 92), 110);
    haze.setColorAt(0, QColor(242, 193, 25, 90));
    haze.setColorAt(1, QColor(242, 193, 25, 0));
    p.setBrush(haze);
    p.drawRoundedRect(QRectF(8, 8, 240, 240), 44, 44);
    DrawSun(p, QPointF(160, 88), 34, 30, 12, 9);
    DrawPanel(p,
              QPolygonF() << QPointF(54, 136) << QPointF(202, 136) << QPointF(222, 214)
                          << QPointF(34, 214),
              3, 5, 3);
    return image;
}

bool Save(const QImage& image, const QString& folder, const QString& name) {
    const QString path = QDir(folder).filePath(name);
    if (!image.save(path, "PNG", 0)) {
        std::fprintf(stderr, "artwork: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s %dx%d\n", qPrintable(path), image.width(), image.height());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: artwork <output folder>\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const bool ok = Save(Logo(), folder, "logo.png") && Save(Banner(), folder, "banner.png") &&
                    Save(Wait(), folder, "wait.png") && Save(Icon(), folder, "quarnel.png");
    return ok ? 0 : 1;
}
