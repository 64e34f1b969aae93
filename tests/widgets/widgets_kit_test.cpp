// Widget state machines, registries, the font pool, skin lookup and images.
#include "qt_env.h"

#include <platform/zr_image.h>
#include <widgets/font_pool.h>
#include <widgets/skin.h>
#include <widgets/zr_widgets.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QPainter>
#include <QTemporaryDir>

#include <memory>

using namespace zr;
using salvor_test::Pt;
using salvor_test::RecordingDialog;

namespace {

[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new salvor_test::QtEnvironment);

// A three-frame strip whose frames are plain red, green and blue, so that
// the drawn frame can be told from the pixels.
QString WriteStrip(const QTemporaryDir& dir, const char* name, int frame_w, int frame_h)
{
    QImage img(frame_w * 3, frame_h, QImage::Format_RGB32);
    const QRgb colours[3] = {qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255)};
    for (int f = 0; f < 3; ++f)
        for (int y = 0; y < frame_h; ++y)
            for (int x = 0; x < frame_w; ++x)
                img.setPixel(f * frame_w + x, y, colours[f]);
    const QString path = dir.filePath(name);
    img.save(path);
    return path;
}

struct ButtonFixture : ::testing::Test {
    QTemporaryDir dir;
    RecordingDialog dlg;
    CZrduiBtn btn;

    void SetUp() override
    {
        ASSERT_TRUE(btn.SetImage(WriteStrip(dir, "b.png", 40, 20), true));
        btn.Attach(&dlg, 6012);
        btn.Place(100, 50); // rectangle (100, 50) - (140, 70)
        dlg.widgets.Add(&btn);
    }
    QRgb DrawnCentre()
    {
        const QImage img = dlg.RenderToImage();
        return img.pixel(120, 60) & 0xFFFFFF;
    }
};

} // namespace

TEST(PackedPoint, CarriesSignedCoordinatesInTwoHalves)
{
    const LPARAM lp = MakePoint(757, 535);
    EXPECT_EQ(lp & 0xFFFF, 757);
    EXPECT_EQ((lp >> 16) & 0xFFFF, 535);
    EXPECT_EQ(PointX(MakePoint(-5, 7)), -5);
    EXPECT_EQ(PointY(MakePoint(3, -20)), -20);
    EXPECT_EQ(LowWord(MakeWParam(6017, 0)), 6017);
    EXPECT_EQ(HighWord(MakeWParam(6017, 0)), 0);
}

TEST_F(ButtonFixture, FramesComeFromTheStripAndFollowTheMouse)
{
    EXPECT_EQ(btn.FrameWidth(), 40);
    EXPECT_EQ(btn.FrameHeight(), 20);
    EXPECT_EQ(btn.Rect(), (ZrRect{100, 50, 140, 70}));
    EXPECT_EQ(DrawnCentre(), 0xFF0000u);

    btn.OnMouseMove(0, Pt(110, 55));
    EXPECT_EQ(btn.State(), CZrduiBtn::kHover);
    EXPECT_EQ(DrawnCentre(), 0x00FF00u);

    btn.OnButtonDown(MK_LBUTTON, Pt(110, 55));
    EXPECT_EQ(btn.State(), CZrduiBtn::kPressed);
    EXPECT_TRUE(btn.Pressed());
    EXPECT_EQ(DrawnCentre(), 0x0000FFu);
    // Moving inside while pressed keeps the pressed look.
    btn.OnMouseMove(MK_LBUTTON, Pt(111, 56));
    EXPECT_EQ(btn.State(), CZrduiBtn::kPressed);
    EXPECT_TRUE(dlg.commands.empty());

    btn.OnButtonUp(0, Pt(111, 56));
    EXPECT_EQ(btn.State(), CZrduiBtn::kHover);
    EXPECT_FALSE(btn.Pressed());
    ASSERT_EQ(dlg.commands.size(), 1u);
    EXPECT_EQ(dlg.commands[0], 6012);

    // A second release without a press sends nothing.
    btn.OnButtonUp(0, Pt(111, 56));
    EXPECT_EQ(dlg.commands.size(), 1u);

    btn.OnMouseMove(0, Pt(300, 300));
    EXPECT_EQ(btn.State(), CZrduiBtn::kNormal);
    // The rectangle's right and bottom edges are outside.
    btn.OnMouseMove(0, Pt(140, 60));
    EXPECT_EQ(btn.State(), CZrduiBtn::kNormal);
}

TEST_F(ButtonFixture, ReleaseOutsideSendsNothingAndKeepsThePressedLook)
{
    btn.OnButtonDown(MK_LBUTTON, Pt(105, 52));
    btn.OnButtonUp(0, Pt(10, 10));
    EXPECT_TRUE(dlg.commands.empty());
    EXPECT_FALSE(btn.Pressed());
    EXPECT_EQ(btn.State(), CZrduiBtn::kPressed);
    // Coming back and releasing inside without a new press sends nothing.
    btn.OnMouseMove(0, Pt(105, 52));
    EXPECT_EQ(btn.State(), CZrduiBtn::kHover);
    btn.OnButtonUp(0, Pt(105, 52));
    EXPECT_TRUE(dlg.commands.empty());
    btn.OnMouseMove(0, Pt(10, 10));
    EXPECT_EQ(btn.State(), CZrduiBtn::kNormal);
}

TEST_F(ButtonFixture, DoubleClickPressesLikeAButtonDown)
{
    btn.OnDoubleClick(MK_LBUTTON, Pt(105, 52));
    EXPECT_EQ(btn.State(), CZrduiBtn::kPressed);
    btn.OnButtonUp(0, Pt(105, 52));
    EXPECT_EQ(dlg.commands, std::vector<int>{6012});
}

TEST_F(ButtonFixture, HiddenAndDisabledButtonsAreInert)
{
    btn.SetVisible(0);
    btn.OnMouseMove(0, Pt(110, 55));
    btn.OnButtonDown(MK_LBUTTON, Pt(110, 55));
    btn.OnButtonUp(0, Pt(110, 55));
    EXPECT_EQ(btn.State(), CZrduiBtn::kNormal);
    EXPECT_TRUE(dlg.commands.empty());
    EXPECT_FALSE(dlg.widgets.HitAny(Pt(110, 55)));
    EXPECT_EQ(DrawnCentre(), 0xFFFFFFu); // not drawn

    btn.SetVisible(1);
    btn.SetEnabled(0);
    btn.OnMouseMove(0, Pt(110, 55));
    btn.OnButtonDown(MK_LBUTTON, Pt(110, 55));
    btn.OnButtonUp(0, Pt(110, 55));
    EXPECT_EQ(btn.State(), CZrduiBtn::kNormal);
    EXPECT_TRUE(dlg.commands.empty());

    btn.SetEnabled(1);
    btn.OnButtonDown(MK_LBUTTON, Pt(110, 55));
    btn.OnButtonUp(0, Pt(110, 55));
    EXPECT_EQ(dlg.commands, std::vector<int>{6012});
}

TEST_F(ButtonFixture, CommandIdMinusOneIsNeverSent)
{
    btn.Attach(&dlg, kNoCommand);
    btn.OnButtonDown(MK_LBUTTON, Pt(110, 55));
    btn.OnButtonUp(0, Pt(110, 55));
    EXPECT_EQ(btn.State(), CZrduiBtn::kHover);
    EXPECT_TRUE(dlg.commands.empty());
}

TEST(Button, NegativeCoordinatesCountFromTheRightAndBottom)
{
    RecordingDialog dlg(800, 600);
    CZrduiBtn close;
    ASSERT_TRUE(close.SetImage(ResolveImage(skin::kClose), true));
    close.Attach(&dlg, 6000);
    close.Place(-43, 3);
    EXPECT_EQ(close.Rect().left, 757);
    EXPECT_EQ(close.Rect().top, 3);
    CZrduiBtn next;
    ASSERT_TRUE(next.SetImage(ResolveImage(skin::kNext), true));
    next.Attach(&dlg, 6012);
    next.Place(-122, -65);
    EXPECT_EQ(next.Rect().left, 678);
    EXPECT_EQ(next.Rect().top, 535);
    EXPECT_EQ(next.Rect().width(), next.FrameWidth());
}

TEST(Button, MissingImageGivesAnEmptyWidgetThatIsNeverHit)
{
    RecordingDialog dlg;
    CZrduiBtn btn;
    EXPECT_FALSE(btn.SetImage("/nonexistent/skin/next.png", true));
    btn.Attach(&dlg, 6012);
    btn.Place(10, 10);
    EXPECT_EQ(btn.FrameWidth(), 0);
    EXPECT_EQ(btn.FrameHeight(), 0);
    EXPECT_TRUE(btn.Rect().empty());
    btn.OnMouseMove(0, Pt(10, 10));
    btn.OnButtonDown(MK_LBUTTON, Pt(10, 10));
    btn.OnButtonUp(0, Pt(10, 10));
    EXPECT_TRUE(dlg.commands.empty());
    QImage img(50, 50, QImage::Format_ARGB32);
    QPainter p(&img);
    EXPECT_EQ(btn.Draw(p), 0);
}

TEST(Button, BitmapKindIsStretchedFromTheFrame)
{
    QTemporaryDir dir;
    RecordingDialog dlg;
    CZrduiBtn btn;
    ASSERT_TRUE(btn.SetImage(WriteStrip(dir, "b.bmp", 10, 10), false));
    btn.Attach(&dlg, 1);
    btn.Place(0, 0);
    dlg.widgets.Add(&btn);
    btn.OnMouseMove(0, Pt(5, 5));
    const QImage img = dlg.RenderToImage();
    EXPECT_EQ(img.pixel(5, 5) & 0xFFFFFF, 0x00FF00u);
}

TEST(Link, CreateNeedsAParentAndText)
{
    RecordingDialog dlg;
    CZrduiLink link;
    EXPECT_FALSE(link.Create(nullptr, "Select All", 190, 431, 6028));
    EXPECT_FALSE(link.Create(&dlg, "", 190, 431, 6028));
    EXPECT_TRUE(link.Create(&dlg, "Select All", -610, 431, 6028));
    EXPECT_EQ(link.Rect().left, 190);
    EXPECT_GT(link.Rect().width(), 30);
    EXPECT_GT(link.Rect().height(), 8);
}

TEST(Link, HoverChangesTheColourAndAClickSendsOnce)
{
    RecordingDialog dlg;
    CZrduiLink link;
    ASSERT_TRUE(link.Create(&dlg, "Select Inversely", 260, 431, 6029));
    dlg.widgets.Add(&link);
    const ZrRect r = link.Rect();
    const QRect qr(r.left, r.top, r.width(), r.height());
    const int cx = r.left + 3, cy = (r.top + r.bottom) / 2;

    // The most saturated text pixel carries the pen colour (antialiasing only
    // blends it towards the white background).
    auto ink_green = [&] {
        const QImage img = dlg.RenderToImage();
        int best_red = 256, green = -1;
        for (int y = qr.top(); y <= qr.bottom(); ++y)
            for (int x = qr.left(); x <= qr.right(); ++x) {
                const QRgb px = img.pixel(x, y);
                if (qRed(px) < best_red) {
                    best_red = qRed(px);
                    green = qGreen(px);
                }
            }
        EXPECT_LT(best_red, 80);
        return green;
    };
    EXPECT_NEAR(ink_green(), 0xBE, 12);

    link.OnMouseMove(0, Pt(cx, cy));
    EXPECT_TRUE(link.Hover());
    EXPECT_EQ(dlg.CursorShape(), Qt::PointingHandCursor);
    EXPECT_NEAR(ink_green(), 0xD2, 6);

    link.OnButtonDown(MK_LBUTTON, Pt(cx, cy));
    link.OnButtonUp(0, Pt(cx, cy));
    EXPECT_EQ(dlg.commands, std::vector<int>{6029});

    link.OnButtonDown(MK_LBUTTON, Pt(cx, cy));
    link.OnButtonUp(0, Pt(700, 10));
    EXPECT_EQ(dlg.commands.size(), 1u);
    EXPECT_FALSE(link.Pressed());

    link.OnMouseMove(0, Pt(700, 10));
    EXPECT_FALSE(link.Hover());

    CZrduiLink silent;
    ASSERT_TRUE(silent.Create(&dlg, "Home", 10, 10, kNoCommand));
    silent.OnButtonDown(MK_LBUTTON, Pt(12, 12));
    silent.OnButtonUp(0, Pt(12, 12));
    EXPECT_EQ(dlg.commands.size(), 1u);
}

TEST(Radio, PressChecksAtOnceAndTheReleaseSendsTheCommand)
{
    RecordingDialog dlg;
    CDuiRadio a, b, c;
    ASSERT_EQ(a.Create(&dlg, 98, 320, 135, 30, "Deleted Recovery", 5000, 1), 1);
    ASSERT_EQ(b.Create(&dlg, 250, 320, 130, 30, "Format Recovery", 5001, 1), 1);
    ASSERT_EQ(c.Create(&dlg, 405, 320, 140, 30, "Partition Recovery", 5002, 1), 1);
    a.SetChecked(true);
    EXPECT_EQ(RadioRegistry(1).size(), 3u);

    b.OnButtonDown(MK_LBUTTON, Pt(260, 330));
    EXPECT_TRUE(b.Checked());
    EXPECT_FALSE(a.Checked());
    EXPECT_FALSE(c.Checked());
    EXPECT_TRUE(dlg.commands.empty());
    b.OnButtonUp(0, Pt(260, 330));
    EXPECT_EQ(dlg.commands, std::vector<int>{5001});

    // Pressing the checked radio again sends its command again, and the
    // group stays as it is.
    b.OnButtonDown(MK_LBUTTON, Pt(260, 330));
    b.OnButtonUp(0, Pt(260, 330));
    EXPECT_EQ(dlg.commands, (std::vector<int>{5001, 5001}));
    EXPECT_TRUE(b.Checked());
    EXPECT_FALSE(a.Checked());

    // Release outside: no command, but the check already moved on the press.
    c.OnButtonDown(MK_LBUTTON, Pt(410, 330));
    c.OnButtonUp(0, Pt(10, 10));
    EXPECT_TRUE(c.Checked());
    EXPECT_FALSE(b.Checked());
    EXPECT_EQ(dlg.commands.size(), 2u);
}

TEST(Radio, GroupsAreIndependentAndOtherGroupsAreNotRegistered)
{
    RecordingDialog dlg;
    CDuiRadio mode, fs1, fs2, loose;
    ASSERT_EQ(mode.Create(&dlg, 98, 320, 135, 30, "Deleted Recovery", 5000, 1), 1);
    ASSERT_EQ(fs1.Create(&dlg, 130, -90, 60, 20, "FAT12", 5005, 2), 1);
    ASSERT_EQ(fs2.Create(&dlg, 430, -90, 60, 20, "NTFS", 5008, 2), 1);
    ASSERT_EQ(loose.Create(&dlg, 600, 10, 60, 20, "other", 7000, 5), 1);
    EXPECT_EQ(fs1.Rect().top, 510);
    mode.SetChecked(true);
    fs2.SetChecked(true);
    EXPECT_EQ(RadioRegistry(2).count(5005), 1u);
    EXPECT_EQ(RadioRegistry(1).count(7000), 0u);
    EXPECT_EQ(RadioRegistry(2).count(7000), 0u);

    fs1.OnButtonDown(MK_LBUTTON, Pt(135, 515));
    EXPECT_TRUE(fs1.Checked());
    EXPECT_FALSE(fs2.Checked());
    EXPECT_TRUE(mode.Checked());

    loose.OnButtonDown(MK_LBUTTON, Pt(605, 15));
    EXPECT_TRUE(loose.Checked());
    EXPECT_TRUE(fs1.Checked());
}

TEST(Radio, CreateWithoutParentFailsAndDestroyedRadiosLeaveTheirGroup)
{
    CDuiRadio orphan;
    EXPECT_EQ(orphan.Create(nullptr, 0, 0, 10, 10, "x", 5100, 1), 0);
    EXPECT_EQ(RadioRegistry(1).count(5100), 0u);

    RecordingDialog dlg;
    CDuiRadio keep;
    ASSERT_EQ(keep.Create(&dlg, 0, 0, 50, 30, "keep", 5200, 1), 1);
    {
        auto gone = std::make_unique<CDuiRadio>();
        ASSERT_EQ(gone->Create(&dlg, 100, 0, 50, 30, "gone", 5201, 1), 1);
        gone->SetChecked(true);
        EXPECT_EQ(RadioRegistry(1).count(5201), 1u);
    }
    EXPECT_EQ(RadioRegistry(1).count(5201), 0u);
    // Pressing a member after another one was destroyed must not touch it.
    keep.OnButtonDown(MK_LBUTTON, Pt(5, 5));
    EXPECT_TRUE(keep.Checked());
}

TEST(Radio, DrawsTheCheckedFrameOfTheStrip)
{
    RecordingDialog dlg;
    CDuiRadio r;
    ASSERT_TRUE(r.IconLoaded());
    ASSERT_EQ(r.Create(&dlg, 20, 20, 140, 30, "Raw Recovery", 5003, 3), 1);
    const ZrImage strip = LoadSkinImage(skin::kRadioIco);
    auto render = [&] {
        QImage img(200, 80, QImage::Format_ARGB32);
        img.fill(Qt::white);
        QPainter p(&img);
        r.Draw(p);
        return img;
    };
    // The icon sits at (left, top + 7); its centre pixel differs between frames.
    const QRgb checked_centre = strip.Image().pixel(6, 6);
    const QRgb unchecked_centre = strip.Image().pixel(18, 6);
    ASSERT_NE(checked_centre, unchecked_centre);
    QImage img = render();
    EXPECT_NE(img.pixel(26, 33) & 0xFFFFFF, checked_centre & 0xFFFFFF);
    r.SetChecked(true);
    img = render();
    EXPECT_EQ(img.pixel(26, 33) & 0xFFFFFF, checked_centre & 0xFFFFFF);
}

TEST(Check, PressTogglesTheTickAndAReleaseInsideSendsTheCommand)
{
    RecordingDialog dlg;
    CDuiCheck photo;
    EXPECT_TRUE(photo.Ticked());
    ASSERT_EQ(photo.Create(&dlg, 130, -90, 60, 20, "Photo", 5100), 1);
    EXPECT_EQ(CheckRegistry().count(5100), 1u);
    EXPECT_EQ(photo.Rect(), (ZrRect{130, 510, 190, 530}));

    EXPECT_EQ(photo.HandleButtonDown(Pt(135, 515)), 1);
    EXPECT_FALSE(photo.Ticked());
    EXPECT_TRUE(photo.Pressed());
    EXPECT_TRUE(dlg.commands.empty());
    EXPECT_EQ(photo.HandleButtonUp(Pt(135, 515)), 1);
    EXPECT_EQ(dlg.commands, std::vector<int>{5100});
    EXPECT_FALSE(photo.Pressed());

    photo.HandleButtonDown(Pt(135, 515));
    EXPECT_TRUE(photo.Ticked());
    EXPECT_EQ(photo.HandleButtonUp(Pt(300, 300)), 0);
    EXPECT_EQ(dlg.commands.size(), 1u);
    EXPECT_EQ(photo.HandleButtonDown(Pt(300, 300)), 0);
    EXPECT_TRUE(photo.Ticked());

    CDuiCheck orphan;
    EXPECT_EQ(orphan.Create(nullptr, 0, 0, 10, 10, "x", 5199), 0);
    EXPECT_EQ(CheckRegistry().count(5199), 0u);
}

TEST(WidgetList, DrawsAndForwardsInCreationOrder)
{
    struct Probe : CZrWindow {
        std::vector<std::string>* log;
        std::string name;
        Probe(std::vector<std::string>* l, std::string n, ZrRect r) : log(l), name(std::move(n)) { m_rect = r; }
        int Draw(QPainter&) override { log->push_back("draw " + name); return 1; }
        int OnButtonDown(uint32_t, LPARAM) override { log->push_back("down " + name); return 0; }
        int OnMouseMove(uint32_t, LPARAM) override { log->push_back("move " + name); return 0; }
    };
    std::vector<std::string> log;
    Probe a(&log, "a", {0, 0, 10, 10}), b(&log, "b", {20, 0, 30, 10});
    ZrWidgetList list;
    list.Add(&a);
    list.Add(&b);
    QImage img(40, 40, QImage::Format_ARGB32);
    QPainter p(&img);
    list.DrawAll(p);
    list.ButtonDown(MK_LBUTTON, Pt(5, 5));
    list.MouseMove(0, Pt(25, 5));
    EXPECT_EQ(log, (std::vector<std::string>{"draw a", "draw b", "down a", "down b", "move a", "move b"}));
    EXPECT_TRUE(list.HitAny(Pt(25, 5)));
    EXPECT_FALSE(list.HitAny(Pt(15, 5)));
}

TEST(ProgressBar, FillGrowsWithThePositionAndSurvivesBadRanges)
{
    QTemporaryDir dir;
    QImage frame(12, 12, QImage::Format_RGB32);
    frame.fill(qRgb(80, 80, 80));
    QImage fill(6, 8, QImage::Format_RGB32);
    fill.fill(qRgb(0, 190, 0));
    ASSERT_TRUE(frame.save(dir.filePath("frame.png")));
    ASSERT_TRUE(fill.save(dir.filePath("fill.png")));
    CDuiProgressBar bar;
    ASSERT_TRUE(bar.LoadBitmaps(dir.filePath("frame.png"), dir.filePath("fill.png")));
    bar.SetRect(ZrRect{0, 0, 206, 20}); // inner width 200

    auto green_on_middle_row = [&] {
        QImage img(220, 20, QImage::Format_ARGB32);
        img.fill(Qt::white);
        QPainter p(&img);
        bar.Draw(p);
        p.end();
        return salvor_test::CountColour(img, QRect(0, 10, 220, 1), qRgb(0, 190, 0), 4);
    };
    bar.position = 0;
    EXPECT_EQ(green_on_middle_row(), 0);
    bar.position = 50;
    const int half = green_on_middle_row();
    EXPECT_GE(half, 100);
    EXPECT_LE(half, 102); // body plus the left cap
    bar.position = 100;
    EXPECT_EQ(green_on_middle_row(), 202); // body plus both caps
    bar.position = 500;
    EXPECT_EQ(green_on_middle_row(), 202);
    bar.maximum = 0;
    EXPECT_EQ(green_on_middle_row(), 0);
    bar.maximum = 100;
    bar.position = -20;
    EXPECT_EQ(green_on_middle_row(), 0);
}

TEST(FontPool, KeysEncodeSizeStepBoldUnderlineItalic)
{
    EXPECT_EQ(ZrFontPool::SizeStep(0x604), 6);
    EXPECT_EQ(ZrFontPool::SizeStep(0xFF00), -1);
    EXPECT_TRUE(ZrFontPool::IsBold(0x204));
    EXPECT_FALSE(ZrFontPool::IsBold(0x100));
    EXPECT_TRUE(ZrFontPool::IsUnderline(0x002));
    EXPECT_TRUE(ZrFontPool::IsItalic(0x001));
    EXPECT_EQ(ZrFontPool::MakeKey(3, true, false, false), 0x304);
    EXPECT_EQ(ZrFontPool::MakeKey(-2, false, true, true), 0xFE03);
}

TEST(FontPool, SameKeySameFontAndTheDesignedHeights)
{
    const QFont* base = ZrFontPool::Font(0x000);
    const QFont* text = ZrFontPool::Font(0x100);
    const QFont* bold = ZrFontPool::Font(0x104);
    ASSERT_NE(base, nullptr);
    ASSERT_NE(text, nullptr);
    ASSERT_NE(bold, nullptr);
    EXPECT_EQ(ZrFontPool::Font(0x100), text);
    EXPECT_EQ(ZrFontPool::Font(0x000), base);
    EXPECT_NE(text, bold);
    EXPECT_EQ(base->pixelSize(), 11);
    EXPECT_EQ(text->pixelSize(), 12);
    EXPECT_EQ(bold->pixelSize(), 12);
    EXPECT_EQ(base->weight(), QFont::Normal);
    EXPECT_EQ(text->weight(), QFont::Normal);
    EXPECT_EQ(bold->weight(), QFont::Bold);
    EXPECT_EQ(ZrFontPool::Font(0x604)->pixelSize(), 17);
    EXPECT_TRUE(ZrFontPool::Font(0x003)->underline());
    EXPECT_TRUE(ZrFontPool::Font(0x003)->italic());
    EXPECT_EQ(ZrFontPool::Font(0xFF00)->pixelSize(), 10);
    // "Arial" is not installed; fontconfig answers with its metric twin.
    EXPECT_EQ(base->family(), QString("Arial"));
    EXPECT_EQ(QFontInfo(*base).family(), QString("Liberation Sans"));
}

TEST(FontPool, AStepThatLeavesNoHeightGivesNullAndCachesNothing)
{
    const size_t before = ZrFontPool::Instance().CachedCount();
    EXPECT_EQ(ZrFontPool::Font(0xF500), nullptr); // 11 - 11 = 0 pixels
    EXPECT_EQ(ZrFontPool::Font(0x8004), nullptr);
    EXPECT_EQ(ZrFontPool::Instance().CachedCount(), before);
}

TEST(Skin, RootIsTheExecutableFolderAndEveryFileIsThere)
{
    EXPECT_EQ(ImageRoot(), QCoreApplication::applicationDirPath() + "/");
    EXPECT_EQ(ResolveImage("image/ok.png"), ImageRoot() + "image/ok.png");

    struct Expect { const char* name; int w; int h; };
    const Expect sizes[] = {
        {skin::kRadioIco, 24, 13}, {skin::kRadioIcoBmp, 24, 13}, {skin::kCheck, 26, 13},
        {skin::kCheckBmp, 26, 13}, {skin::kDriverLogo, 52, 33}, {skin::kLoading, 128, 16},
        {skin::kScanAnimation, 324, 0}, {skin::kWarn, 40, 40}, {skin::kError, 40, 40},
        {skin::kInfo, 40, 40}, {skin::kRight, 40, 40}, {skin::kMainBg, 800, 0},
        {skin::kMainBgSel, 800, 0}, {skin::kMainBgScan, 800, 0}, {skin::kNoPreviewBk, 609, 155},
        {skin::kNotePreviewBk, 609, 155}, {skin::kBoxBg, 0, 0}, {skin::kMsgBoxBk, 0, 0},
        {skin::kAboutBg, 0, 0},
    };
    for (const Expect& e : sizes) {
        const ZrImage img = LoadSkinImage(e.name);
        ASSERT_TRUE(img.Loaded()) << e.name;
        if (e.w) {
            EXPECT_EQ(img.Width(), e.w) << e.name;
        }
        if (e.h) {
            EXPECT_EQ(img.Height(), e.h) << e.name;
        }
    }
    EXPECT_GE(LoadSkinImage(skin::kMainBg).Height(), 540);

    const char* buttons[] = {skin::kClose, skin::kMin, skin::kMenu, skin::kNext, skin::kBack, skin::kScan,
                             skin::kRecover, skin::kBackupPar, skin::kRestorePar, skin::kRecoverPar, skin::kStop,
                             skin::kYes, skin::kNo, skin::kOk, skin::kCancel};
    for (const char* b : buttons) {
        const ZrImage img = LoadSkinImage(b);
        ASSERT_TRUE(img.Loaded()) << b;
        EXPECT_EQ(img.Width() % 3, 0) << b;
        // The three frames differ: normal, hover and pressed can be told apart.
        const int fw = img.Width() / 3;
        const QImage& s = img.Image();
        EXPECT_NE(s.copy(0, 0, fw, img.Height()), s.copy(fw, 0, fw, img.Height())) << b;
        EXPECT_NE(s.copy(fw, 0, fw, img.Height()), s.copy(2 * fw, 0, fw, img.Height())) << b;
    }
}

TEST(Skin, MissingFolderGivesZeroSizeImages)
{
    QTemporaryDir empty;
    const QString saved = ImageRoot();
    SetImageRoot(empty.path());
    EXPECT_TRUE(ImageRoot().endsWith('/'));
    const ZrImage img = LoadSkinImage(skin::kMainBg);
    EXPECT_EQ(img.Width(), 0);
    EXPECT_EQ(img.Height(), 0);
    CDuiRadio radio; // loads its strip from the missing folder
    EXPECT_FALSE(radio.IconLoaded());
    SetImageRoot(saved);
}

namespace {
// A 1 x 1 two-frame GIF: frame delays of 20 and 50 hundredths of a second.
QByteArray TwoFrameGif()
{
    QByteArray g("GIF89a", 6);
    const unsigned char screen[] = {1, 0, 1, 0, 0x80, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0};
    g.append(reinterpret_cast<const char*>(screen), sizeof screen);
    const unsigned char loop[] = {0x21, 0xFF, 0x0B, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0',
                                  0x03, 0x01, 0x00, 0x00, 0x00};
    g.append(reinterpret_cast<const char*>(loop), sizeof loop);
    for (int delay : {20, 50}) {
        const unsigned char gce[] = {0x21, 0xF9, 0x04, 0x00, static_cast<unsigned char>(delay), 0x00, 0x00, 0x00};
        g.append(reinterpret_cast<const char*>(gce), sizeof gce);
        const unsigned char image[] = {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00};
        g.append(reinterpret_cast<const char*>(image), sizeof image);
    }
    g.append(';');
    return g;
}
} // namespace

TEST(Image, AnimatedGifKeepsFramesAndDelays)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("anim.gif");
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(TwoFrameGif());
    }
    ZrImage img;
    ASSERT_TRUE(img.Load(path));
    EXPECT_EQ(img.FrameCount(), 2);
    EXPECT_EQ(img.FrameDelay(0), 200);
    EXPECT_EQ(img.FrameDelay(1), 500);
    EXPECT_TRUE(img.SelectFrame(1));
    EXPECT_FALSE(img.SelectFrame(2));
    EXPECT_EQ(img.CurrentFrame(), 1);
    EXPECT_EQ(img.Width(), 1);

    // A cut-off file and a non-image both load as nothing or less, never crash.
    const QByteArray whole = TwoFrameGif();
    for (int cut : {5, 13, 30, 45, static_cast<int>(whole.size()) - 3}) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(whole.left(cut));
        f.close();
        ZrImage part;
        part.Load(path);
        EXPECT_LE(part.FrameCount(), 2);
        if (!part.Loaded()) {
            EXPECT_EQ(part.Width(), 0);
        }
    }
    ZrImage none;
    EXPECT_FALSE(none.Load(dir.filePath("missing.png")));
    EXPECT_EQ(none.Width(), 0);
    EXPECT_EQ(none.Height(), 0);
    QImage target(10, 10, QImage::Format_ARGB32);
    QPainter p(&target);
    EXPECT_FALSE(none.Draw(p, QRect(0, 0, 10, 10)));
}
