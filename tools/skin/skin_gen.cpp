// Draws the salvor skin: every background, button strip, icon and frame strip
// the dialogs load from the "image" folder. Run it with the output folder as
// its argument; the images are regenerated whole each time.
//
//   salvor_skin_gen assets/image [app/resources]
//
// With a second folder it also draws the images built into the executable:
// the window icon and the strip of result-tree node images.

#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QString>

#include <cmath>
#include <cstdio>
#include <functional>

namespace {

// One palette for the whole program.
const QColor kGreen(0x81, 0xB8, 0x77);
const QColor kGreenLight(0x95, 0xC7, 0x8B);
const QColor kGreenDark(0x66, 0x9C, 0x5D);
const QColor kGreenDeep(0x4E, 0x84, 0x46);
const QColor kSlate(0x4C, 0x53, 0x59);
const QColor kSlateLight(0x8A, 0x93, 0x9A);
const QColor kBlue(0xB6, 0xD7, 0xEE);
const QColor kBlueDeep(0x4A, 0x8B, 0xC2);
const QColor kPale(0xF2, 0xFD, 0xED);
const QColor kBright(0x00, 0xBE, 0x00);
const QColor kLine(0xD6, 0xE6, 0xD1);
const QColor kAmber(0xE3, 0xA3, 0x1B);
const QColor kRed(0xD0, 0x55, 0x4C);
const QColor kWhite(0xFF, 0xFF, 0xFF);

QString g_out;
int g_failures = 0;

QFont Face(int pixels, bool bold = false)
{
    QFont f(QStringLiteral("Liberation Sans"));
    f.setPixelSize(pixels);
    f.setBold(bold);
    f.setStyleStrategy(QFont::PreferAntialias);
    return f;
}

QImage Canvas(int w, int h, bool opaque = false)
{
    QImage img(w, h, opaque ? QImage::Format_RGB32 : QImage::Format_ARGB32);
    img.fill(opaque ? kWhite : Qt::transparent);
    return img;
}

void Save(const QImage& img, const char* name)
{
    const QString path = g_out + "/" + name;
    QImage out = img;
    if (QString(name).endsWith(".bmp"))
        out = img.convertToFormat(QImage::Format_RGB888);
    if (!out.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        ++g_failures;
    }
}

void Smooth(QPainter& p)
{
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
}

// Window body: white with a thin border, a green top band holding the name.
void Body(QPainter& p, int w, int h, int band, int title_px, int title_x, int title_y)
{
    p.fillRect(0, 0, w, h, kWhite);
    QLinearGradient g(0, 0, 0, band);
    g.setColorAt(0, kGreen);
    g.setColorAt(1, kGreenDark);
    p.fillRect(0, 0, w, band, g);
    p.fillRect(0, band, w, 1, kGreenDeep);
    p.setPen(kWhite);
    p.setFont(Face(title_px, true));
    p.drawText(QPoint(title_x, title_y), QStringLiteral("salvor"));
    p.setPen(QPen(kGreenDeep, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(0, 0, w - 1, h - 1);
}

void Panel(QPainter& p, const QRect& r, const QColor& fill = kPale)
{
    p.save();
    Smooth(p);
    p.setPen(QPen(kLine, 1));
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    p.restore();
}

void Heading(QPainter& p, int x, int y, const QString& text, int px = 16)
{
    p.setPen(kSlate);
    p.setFont(Face(px, true));
    p.drawText(QPoint(x, y), text);
}

// Three frames side by side: normal, hover, pressed.
QImage LabelButton(int w, int h, const QString& label)
{
    QImage img = Canvas(w * 3, h);
    QPainter p(&img);
    Smooth(p);
    const QColor fills[3] = {kGreen, kGreenLight, kGreenDark};
    for (int f = 0; f < 3; ++f) {
        const QRectF r(f * w + 0.5, 0.5, w - 1.0, h - 1.0);
        p.setPen(QPen(f == 2 ? kGreenDeep : kGreenDark, 1));
        p.setBrush(fills[f]);
        p.drawRoundedRect(r, 6, 6);
        // A light inner line on top gives the face a slight lift.
        if (f != 2) {
            p.setPen(QPen(QColor(255, 255, 255, 70), 1));
            p.drawLine(QPointF(f * w + 6, 1.5), QPointF(f * w + w - 6, 1.5));
        }
        p.setPen(kWhite);
        p.setFont(Face(h >= 34 ? 15 : 14, true));
        const int shift = f == 2 ? 1 : 0;
        p.drawText(QRect(f * w + shift, shift, w, h), Qt::AlignCenter, label);
    }
    return img;
}

// Title-bar buttons (on the green band): a white glyph; hover and press
// give a soft backdrop.
QImage GlyphButton(int w, int h, const std::function<void(QPainter&, QRectF)>& glyph)
{
    QImage img = Canvas(w * 3, h);
    QPainter p(&img);
    Smooth(p);
    for (int f = 0; f < 3; ++f) {
        const QRectF r(f * w + 1, 1, w - 2, h - 2);
        if (f == 1) {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(255, 255, 255, 60));
            p.drawRoundedRect(r, 5, 5);
        } else if (f == 2) {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(0, 0, 0, 45));
            p.drawRoundedRect(r, 5, 5);
        }
        p.setPen(QPen(kWhite, 2, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        glyph(p, QRectF(f * w, 0, w, h));
    }
    return img;
}

QImage Icon(const QColor& colour, const std::function<void(QPainter&)>& mark, bool triangle = false)
{
    QImage img = Canvas(40, 40);
    QPainter p(&img);
    Smooth(p);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    if (triangle) {
        QPainterPath t;
        t.moveTo(20, 3);
        t.lineTo(38, 36);
        t.lineTo(2, 36);
        t.closeSubpath();
        QPainterPathStroker s;
        s.setWidth(4);
        s.setJoinStyle(Qt::RoundJoin);
        p.drawPath(t.united(s.createStroke(t)));
    } else {
        p.drawEllipse(QRectF(2, 2, 36, 36));
    }
    p.setPen(QPen(kWhite, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    mark(p);
    return img;
}

void DriveGlyph(QPainter& p, const QRectF& r, const QColor& body)
{
    p.setPen(QPen(kSlate, 1.2));
    p.setBrush(body);
    p.drawRoundedRect(r, 4, 4);
    p.setPen(Qt::NoPen);
    p.setBrush(kBright);
    const double led = r.height() >= 20 ? 5 : 2;
    p.drawEllipse(QRectF(r.right() - 4 - led, r.bottom() - 4 - led, led, led));
    p.setPen(QPen(kSlateLight, 1.2));
    p.drawLine(QPointF(r.left() + 6, r.bottom() - 6.5), QPointF(r.right() - 14, r.bottom() - 6.5));
}

// Step markers in the main band: the current step is filled.
void Steps(QPainter& p, int current)
{
    const char* names[3] = {"Mode", "Source", "Results"};
    int x = 500;
    for (int i = 0; i < 3; ++i) {
        const QRectF r(x, 72, 86, 24);
        p.setPen(QPen(QColor(255, 255, 255, i == current ? 255 : 120), 1));
        p.setBrush(i == current ? QColor(255, 255, 255) : QColor(255, 255, 255, 30));
        p.drawRoundedRect(r, 12, 12);
        p.setPen(i == current ? kGreenDeep : kWhite);
        p.setFont(Face(12, true));
        p.drawText(r, Qt::AlignCenter, QString("%1  %2").arg(i + 1).arg(names[i]));
        x += 96;
    }
}

QImage MainBackground(int page)
{
    const int w = 800, h = 600;
    QImage img = Canvas(w, h, true);
    QPainter p(&img);
    Smooth(p);
    Body(p, w, h, 110, 34, 34, 58);
    p.setPen(QColor(255, 255, 255, 215));
    p.setFont(Face(13));
    p.drawText(QPoint(36, 84), QStringLiteral("Recover deleted files, formatted volumes and lost partitions"));
    Steps(p, page);
    // Bottom band for the page buttons.
    p.fillRect(1, h - 68, w - 2, 67, QColor(0xF7, 0xFA, 0xF6));
    p.fillRect(1, h - 68, w - 2, 1, kLine);

    if (page == 0) {
        // A drive with a rescued file above the mode panel.
        DriveGlyph(p, QRectF(340, 170, 120, 62), kPale);
        p.setPen(QPen(kGreenDeep, 1.5));
        p.setBrush(kWhite);
        QPainterPath doc;
        doc.moveTo(430, 130);
        doc.lineTo(452, 130);
        doc.lineTo(462, 140);
        doc.lineTo(462, 170);
        doc.lineTo(430, 170);
        doc.closeSubpath();
        p.drawPath(doc);
        p.setPen(QPen(kBright, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF({QPointF(437, 152), QPointF(444, 159), QPointF(456, 145)}));
        Heading(p, 98, 290, QStringLiteral("Choose a recovery mode"));
        Panel(p, QRect(60, 305, 680, 140));
        p.fillRect(75, 358, 655, 1, kLine);
    } else if (page == 1) {
        Heading(p, 25, 142, QStringLiteral("Select the disk or partition to scan"));
        Panel(p, QRect(20, 152, 760, 256), kWhite);
        Panel(p, QRect(10, 420, 200, 110 - 2));
    } else {
        Panel(p, QRect(10, 115, 177, 336), kWhite);
        Panel(p, QRect(181, 116, 614, 161), kWhite);
        Panel(p, QRect(181, 273, 614, 160), kWhite);
    }
    return img;
}

QImage PreviewBackground(const QString& line)
{
    QImage img = Canvas(609, 155, true);
    QPainter p(&img);
    Smooth(p);
    p.fillRect(0, 0, 609, 155, kPale);
    // A picture frame glyph.
    p.setPen(QPen(kSlateLight, 2));
    p.setBrush(kWhite);
    p.drawRoundedRect(QRectF(274, 36, 60, 46), 4, 4);
    p.setPen(Qt::NoPen);
    p.setBrush(kGreen);
    QPainterPath hill;
    hill.moveTo(280, 76);
    hill.lineTo(298, 56);
    hill.lineTo(312, 70);
    hill.lineTo(318, 64);
    hill.lineTo(328, 76);
    hill.closeSubpath();
    p.drawPath(hill);
    p.setBrush(kBlue);
    p.drawEllipse(QRectF(314, 44, 9, 9));
    p.setPen(kSlate);
    p.setFont(Face(13));
    p.drawText(QRect(0, 92, 609, 24), Qt::AlignCenter, line);
    return img;
}

QImage ScanAnimation()
{
    // Six frames, 54 pixels apart: a platter with a sweeping read arm.
    QImage img = Canvas(54 * 6, 48);
    QPainter p(&img);
    Smooth(p);
    for (int f = 0; f < 6; ++f) {
        const QPointF c(f * 54 + 27, 24);
        p.setPen(QPen(kSlate, 1.5));
        p.setBrush(kPale);
        p.drawEllipse(c, 20, 20);
        p.setPen(QPen(kLine, 1));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(c, 13, 13);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x81, 0xB8, 0x77, 150));
        p.drawPie(QRectF(c.x() - 19, c.y() - 19, 38, 38), (90 - f * 60) * 16, 60 * 16);
        p.setBrush(kSlate);
        p.drawEllipse(c, 3, 3);
        const double a = (90 - f * 60) * M_PI / 180.0;
        p.setPen(QPen(kGreenDeep, 2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(c, c + QPointF(19 * std::cos(a), -19 * std::sin(a)));
    }
    return img;
}

QImage LoadingStrip()
{
    // Eight frames of 16 pixels: a ring of dots with one bright dot going round.
    QImage img = Canvas(16 * 8, 16);
    QPainter p(&img);
    Smooth(p);
    for (int f = 0; f < 8; ++f) {
        for (int d = 0; d < 8; ++d) {
            const double a = d * M_PI / 4;
            const QPointF c(f * 16 + 8 + 5.5 * std::sin(a), 8 - 5.5 * std::cos(a));
            const int age = (f - d + 8) % 8;
            QColor col = age == 0 ? kGreenDeep : kGreen;
            col.setAlpha(age == 0 ? 255 : 200 - age * 22);
            p.setPen(Qt::NoPen);
            p.setBrush(col);
            p.drawEllipse(c, age == 0 ? 2.2 : 1.7, age == 0 ? 2.2 : 1.7);
        }
    }
    return img;
}

QImage RadioStrip(bool opaque)
{
    QImage img = Canvas(24, 13, opaque);
    QPainter p(&img);
    Smooth(p);
    // Frame 0 checked, frame 1 unchecked.
    p.setPen(QPen(kGreenDeep, 1.2));
    p.setBrush(kWhite);
    p.drawEllipse(QRectF(0.6, 0.6, 11.8, 11.8));
    p.setPen(Qt::NoPen);
    p.setBrush(kGreen);
    p.drawEllipse(QRectF(3, 3, 7, 7));
    p.setPen(QPen(kSlateLight, 1.2));
    p.setBrush(kWhite);
    p.drawEllipse(QRectF(12.6, 0.6, 10.8, 11.8));
    return img;
}

QImage CheckStrip(bool opaque)
{
    QImage img = Canvas(26, 13, opaque);
    QPainter p(&img);
    Smooth(p);
    // Frame 0 ticked, frame 1 empty.
    p.setPen(QPen(kGreenDeep, 1));
    p.setBrush(kGreen);
    p.drawRoundedRect(QRectF(0.5, 0.5, 12, 12), 2.5, 2.5);
    p.setPen(QPen(kWhite, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF({QPointF(3.2, 6.6), QPointF(5.6, 9.0), QPointF(9.8, 4.0)}));
    p.setPen(QPen(kSlateLight, 1));
    p.setBrush(kWhite);
    p.drawRoundedRect(QRectF(13.5, 0.5, 12, 12), 2.5, 2.5);
    return img;
}

QImage DriverLogo()
{
    QImage img = Canvas(52, 33, true);
    QPainter p(&img);
    Smooth(p);
    p.fillRect(0, 0, 52, 33, kPale);
    DriveGlyph(p, QRectF(4, 5, 44, 24), kWhite);
    return img;
}

QImage DialogBackground(int w, int h, int band)
{
    QImage img = Canvas(w, h, true);
    QPainter p(&img);
    Smooth(p);
    Body(p, w, h, band, 15, 14, 23);
    return img;
}


QImage AppIcon(int size)
{
    QImage img = Canvas(size, size);
    QPainter p(&img);
    Smooth(p);
    const double s = size / 48.0;
    p.scale(s, s);
    p.setPen(Qt::NoPen);
    p.setBrush(kGreen);
    p.drawRoundedRect(QRectF(2, 2, 44, 44), 10, 10);
    // A platter with a rescued-file tick.
    p.setBrush(kWhite);
    p.drawEllipse(QRectF(9, 9, 30, 30));
    p.setBrush(kGreen);
    p.drawEllipse(QRectF(20, 20, 8, 8));
    p.setPen(QPen(kGreenDeep, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF({QPointF(26, 36), QPointF(32, 42), QPointF(44, 28)}));
    return img;
}

// Node images of the result tree, 16 x 16 each: 0 folder, 1 open folder,
// 2 file, 3 lost folder, 4 volume, 5 selected volume.
QImage TreeNodes()
{
    QImage img = Canvas(16 * 6, 16, true);
    QPainter p(&img);
    Smooth(p);
    auto folder = [&](int x, bool open, const QColor& fill) {
        p.setPen(QPen(kGreenDeep, 1));
        p.setBrush(fill);
        QPainterPath tab;
        tab.moveTo(x + 1.5, 3.5);
        tab.lineTo(x + 6.5, 3.5);
        tab.lineTo(x + 8.0, 5.0);
        tab.lineTo(x + 14.5, 5.0);
        tab.lineTo(x + 14.5, 13.5);
        tab.lineTo(x + 1.5, 13.5);
        tab.closeSubpath();
        p.drawPath(tab);
        if (open) {
            p.setBrush(kGreenLight);
            p.drawPolygon(QPolygonF({QPointF(x + 3.5, 7.5), QPointF(x + 15.5, 7.5), QPointF(x + 13.5, 13.5),
                                     QPointF(x + 1.5, 13.5)}));
        }
    };
    folder(0, false, kGreen);
    folder(16, true, kGreen);
    p.setPen(QPen(kSlate, 1));
    p.setBrush(kWhite);
    p.drawPolygon(QPolygonF({QPointF(35.5, 1.5), QPointF(42.5, 1.5), QPointF(45.5, 4.5), QPointF(45.5, 14.5),
                             QPointF(35.5, 14.5)}));
    folder(48, false, QColor(0xC9, 0xCF, 0xD3));
    p.setPen(kSlate);
    p.setFont(Face(9, true));
    p.drawText(QRect(48, 5, 16, 10), Qt::AlignCenter, QStringLiteral("?"));
    DriveGlyph(p, QRectF(64.5, 4.5, 15, 9), kPale);
    p.fillRect(80, 0, 16, 16, kBlue);
    DriveGlyph(p, QRectF(80.5, 4.5, 15, 9), kWhite);
    return img;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s IMAGE_FOLDER [RESOURCE_FOLDER]\n", argv[0]);
        return 2;
    }
    g_out = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(g_out)) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }

    Save(MainBackground(0), "mainbg.png");
    Save(MainBackground(1), "mainbgsel.png");
    Save(MainBackground(2), "mainbgscan.png");
    Save(LoadingStrip(), "loading.png");
    Save(PreviewBackground(QStringLiteral("No preview is available for this file")), "nopreviewbk.png");
    Save(PreviewBackground(QStringLiteral("Click a photo in the list to preview it")), "notepreviewbk.png");

    Save(GlyphButton(30, 26, [](QPainter& p, QRectF r) {
             const QPointF c = r.center();
             p.drawLine(c + QPointF(-5, -5), c + QPointF(5, 5));
             p.drawLine(c + QPointF(-5, 5), c + QPointF(5, -5));
         }), "close.png");
    Save(GlyphButton(30, 26, [](QPainter& p, QRectF r) {
             const QPointF c = r.center();
             p.drawLine(c + QPointF(-6, 4), c + QPointF(6, 4));
         }), "min.png");
    Save(GlyphButton(30, 26, [](QPainter& p, QRectF r) {
             const QPointF c = r.center();
             for (int dy : {-5, 0, 5})
                 p.drawLine(c + QPointF(-6, dy), c + QPointF(6, dy));
         }), "menu.png");

    Save(LabelButton(96, 34, QStringLiteral("Next")), "next.png");
    Save(LabelButton(96, 34, QStringLiteral("Back")), "back.png");
    Save(LabelButton(96, 34, QStringLiteral("Scan")), "scan.png");
    Save(LabelButton(96, 34, QStringLiteral("Recover")), "recover.png");
    Save(LabelButton(150, 34, QStringLiteral("Backup")), "backup_par.png");
    Save(LabelButton(150, 34, QStringLiteral("Restore")), "restore_par.png");
    Save(LabelButton(150, 34, QStringLiteral("Search")), "recover_par.png");
    Save(LabelButton(100, 32, QStringLiteral("Stop")), "stop.png");
    Save(LabelButton(100, 32, QStringLiteral("OK")), "ok.png");
    Save(LabelButton(100, 32, QStringLiteral("Yes")), "yes.png");
    Save(LabelButton(100, 32, QStringLiteral("No")), "no.png");
    Save(LabelButton(100, 32, QStringLiteral("Cancel")), "cancel.png");

    Save(DriverLogo(), "driverlogo.bmp");
    Save(DialogBackground(500, 175, 36), "box_bg.png");
    Save(ScanAnimation(), "scan_animation.png");
    Save(DialogBackground(340, 170, 36), "msgboxbk.png");

    Save(Icon(kAmber, [](QPainter& p) {
             p.drawLine(QPointF(20, 14), QPointF(20, 24));
             p.drawPoint(QPointF(20, 30.5));
         }, true), "warn.png");
    Save(Icon(kRed, [](QPainter& p) {
             p.drawLine(QPointF(14, 14), QPointF(26, 26));
             p.drawLine(QPointF(14, 26), QPointF(26, 14));
         }), "error.png");
    Save(Icon(kBlueDeep, [](QPainter& p) {
             p.drawPoint(QPointF(20, 12));
             p.drawLine(QPointF(20, 18), QPointF(20, 29));
         }), "info.png");
    Save(Icon(kBright, [](QPainter& p) {
             p.drawPolyline(QPolygonF({QPointF(12, 20.5), QPointF(18, 26.5), QPointF(28.5, 14)}));
         }), "right.png");

    {
        QImage about = DialogBackground(386, 250, 64);
        QPainter p(&about);
        Smooth(p);
        p.fillRect(1, 64, 384, 185, kWhite);
        p.setPen(kWhite);
        p.setFont(Face(30, true));
        p.fillRect(1, 1, 384, 63, kGreenDark);
        QLinearGradient g(0, 0, 0, 64);
        g.setColorAt(0, kGreen);
        g.setColorAt(1, kGreenDark);
        p.fillRect(1, 1, 384, 63, g);
        p.drawText(QRect(0, 8, 386, 48), Qt::AlignCenter, QStringLiteral("salvor"));
        p.setPen(kSlate);
        p.setFont(Face(13, true));
        p.drawText(QRect(0, 72, 386, 20), Qt::AlignCenter, QStringLiteral("File and partition recovery"));
        p.fillRect(60, 150, 266, 1, kLine);
        p.setPen(kSlateLight);
        p.setFont(Face(11));
        p.drawText(QRect(0, 158, 386, 30), Qt::AlignCenter,
                   QStringLiteral("Work on an image of a failing drive;\nthe source is only ever read."));
        Save(about, "about_bg.png");
    }

    Save(RadioStrip(false), "radioico.png");
    Save(RadioStrip(true), "radioico.bmp");
    Save(CheckStrip(false), "check.png");
    Save(CheckStrip(true), "check.bmp");

    if (argc == 3) {
        g_out = QString::fromLocal8Bit(argv[2]);
        if (!QDir().mkpath(g_out)) {
            std::fprintf(stderr, "cannot create %s\n", argv[2]);
            return 1;
        }
        Save(AppIcon(48), "salvor.png");
        Save(AppIcon(16), "salvor16.png");
        Save(TreeNodes(), "treenodes.bmp");
    }
    return g_failures == 0 ? 0 : 1;
}
