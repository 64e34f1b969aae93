// The message box and the about dialog: buttons by mask, results, text
// placement, dragging and rendering (screenshots of the skin).
#include "qt_env.h"

#include <shell/about_dialog.h>
#include <shell/msgbox.h>
#include <widgets/skin.h>

#include <QDir>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdlib>
#include <functional>

using namespace zr;

namespace {

[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new salvor_test::QtEnvironment);

QPoint Centre(const CZrduiBtn& b) { return QPoint((b.Rect().left + b.Rect().right) / 2, (b.Rect().top + b.Rect().bottom) / 2); }

// Runs the dialog modally and, once its loop runs, does `act` to it.
int RunAndAct(ZrDialog& dlg, const std::function<void()>& act)
{
    QTimer::singleShot(0, &dlg, act);
    QTimer::singleShot(5000, &dlg, [&dlg] { dlg.EndDialog(-99); }); // never hang the suite
    return dlg.RunModal(nullptr);
}

int RunBox(int mask, const std::function<CZrduiBtn&(CMsgBox&)>& pick)
{
    CMsgBox box;
    box.SetStyle(MSGBOX_WARNING);
    box.SetMask(mask);
    box.SetText("Are you sure to stop the scanning?");
    return RunAndAct(box, [&] {
        const QPoint c = Centre(pick(box));
        salvor_test::Click(&box, c.x(), c.y());
    });
}

// Bounding box of the near-black (text) pixels inside r.
QRect InkBounds(const QImage& img, const QRect& r)
{
    QRect ink;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (img.valid(x, y) && qGray(img.pixel(x, y)) < 90)
                ink |= QRect(x, y, 1, 1);
    return ink;
}

QString ScreenshotDir()
{
    QString dir = qEnvironmentVariable("SALVOR_SCREENSHOT_DIR");
    if (dir.isEmpty())
        dir = qEnvironmentVariable("SALVOR_BUILD_DIR", QDir::tempPath()) + "/screenshots";
    QDir().mkpath(dir);
    return dir;
}

QImage Rendered(ZrDialog& dlg)
{
    return dlg.RenderToImage().convertToFormat(QImage::Format_RGB32);
}

} // namespace

TEST(MessageBox, MasksShowTheRightButtonsAtTheRightPlaces)
{
    const ZrImage bg = LoadSkinImage(skin::kMsgBoxBk);
    ASSERT_TRUE(bg.Loaded());
    struct Case { int mask; bool ok, yes, cancel, no; int ok_x; };
    for (const Case& c : {Case{1, true, false, false, false, 120}, Case{5, true, false, true, false, 70},
                          Case{10, false, true, false, true, 120}}) {
        CMsgBox box;
        box.SetMask(c.mask);
        ASSERT_TRUE(box.InitDialog(nullptr));
        EXPECT_EQ(box.ClientWidth(), bg.Width());
        EXPECT_EQ(box.ClientHeight(), bg.Height());
        EXPECT_TRUE(box.CloseButton().Visible());
        EXPECT_EQ(box.CloseButton().Rect().left, bg.Width() - 39);
        EXPECT_EQ(box.CloseButton().Rect().top, 5);
        EXPECT_EQ(box.OkButton().Visible(), c.ok) << c.mask;
        EXPECT_EQ(box.YesButton().Visible(), c.yes) << c.mask;
        EXPECT_EQ(box.CancelButton().Visible(), c.cancel) << c.mask;
        EXPECT_EQ(box.NoButton().Visible(), c.no) << c.mask;
        EXPECT_EQ(box.OkButton().Rect().left, c.ok_x) << c.mask;
        EXPECT_EQ(box.YesButton().Rect().left, 70);
        EXPECT_EQ(box.CancelButton().Rect().left, 190);
        EXPECT_EQ(box.NoButton().Rect().left, 190);
        for (CZrduiBtn* b : {&box.OkButton(), &box.YesButton(), &box.CancelButton(), &box.NoButton()})
            EXPECT_EQ(b->Rect().top, CMsgBox::kButtonY);
        // The close button comes first in the list, all five are in it.
        ASSERT_EQ(box.Widgets().Size(), 5u);
        EXPECT_EQ(box.Widgets().At(0), &box.CloseButton());
    }
}

TEST(MessageBox, EachButtonReturnsItsCode)
{
    EXPECT_EQ(RunBox(1, [](CMsgBox& b) -> CZrduiBtn& { return b.OkButton(); }), IDC_MSGBOX_OK);
    EXPECT_EQ(RunBox(5, [](CMsgBox& b) -> CZrduiBtn& { return b.OkButton(); }), IDC_MSGBOX_OK);
    EXPECT_EQ(RunBox(5, [](CMsgBox& b) -> CZrduiBtn& { return b.CancelButton(); }), IDC_MSGBOX_CANCEL);
    EXPECT_EQ(RunBox(10, [](CMsgBox& b) -> CZrduiBtn& { return b.YesButton(); }), IDC_MSGBOX_YES);
    EXPECT_EQ(RunBox(10, [](CMsgBox& b) -> CZrduiBtn& { return b.NoButton(); }), IDC_MSGBOX_NO);
    EXPECT_EQ(RunBox(10, [](CMsgBox& b) -> CZrduiBtn& { return b.CloseButton(); }), IDC_MSGBOX_CLOSE);
    // A hidden button at the clicked place answers nothing: the Yes button of
    // an OK box lies under nothing visible, so the box stays until closed.
    CMsgBox box;
    box.SetMask(1);
    const int r = RunAndAct(box, [&] {
        const QPoint yes = Centre(box.YesButton());
        salvor_test::Click(&box, yes.x() - 45, yes.y()); // left of OK, where Yes would be
        EXPECT_FALSE(box.Ended());
        const QPoint close = Centre(box.CloseButton());
        salvor_test::Click(&box, close.x(), close.y());
    });
    EXPECT_EQ(r, IDC_MSGBOX_CLOSE);
}

TEST(MessageBox, ShowMessageBoxRunsOverTheActiveWindowAndReturnsTheAnswer)
{
    QTimer::singleShot(0, [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = dynamic_cast<CMsgBox*>(w); box && box->isVisible()) {
                EXPECT_EQ(box->Caption(), QString("note"));
                const QPoint c = Centre(box->YesButton());
                salvor_test::Click(box, c.x(), c.y());
            }
    });
    EXPECT_EQ(ShowMessageBox(nullptr, MSGBOX_WARNING, MSGBOX_YES | MSGBOX_NO, "Are you sure to stop the recovery?",
                             "note"),
              IDC_MSGBOX_YES);
}

TEST(MessageBox, EscapeAnswersLikeTheCloseButtonEvenWithoutASkin)
{
    QTemporaryDir empty;
    const QString saved = ImageRoot();
    SetImageRoot(empty.path());
    CMsgBox box;
    box.SetMask(10);
    const int r = RunAndAct(box, [&] {
        EXPECT_EQ(box.ClientWidth(), 0);
        EXPECT_TRUE(box.YesButton().Rect().empty());
        EXPECT_FALSE(box.IconLoaded());
        QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(&box, &esc);
    });
    SetImageRoot(saved);
    EXPECT_EQ(r, IDC_MSGBOX_CLOSE);
}

TEST(MessageBox, TextIsCentredOnOneLineOrWrappedInTheWiderArea)
{
    MsgTextLayout one = MsgBoxTextLayout(100);
    EXPECT_TRUE(one.vcentre);
    EXPECT_EQ(one.rect, QRect(QPoint(70, 60), QPoint(169, 99)));
    MsgTextLayout two = MsgBoxTextLayout(300);
    EXPECT_TRUE(two.wrap);
    EXPECT_EQ(two.rect, QRect(QPoint(60, 65), QPoint(324, 104)));
    MsgTextLayout three = MsgBoxTextLayout(600);
    EXPECT_TRUE(three.wrap);
    EXPECT_EQ(three.rect.top(), 60);
    MsgTextLayout four = MsgBoxTextLayout(1100);
    EXPECT_FALSE(four.wrap);
    EXPECT_EQ(four.rect.left(), 70);
    EXPECT_EQ(four.rect.width(), 1100);
    EXPECT_TRUE(MsgBoxTextLayout(254).vcentre);
    EXPECT_TRUE(MsgBoxTextLayout(255).wrap);

    const QRect text_area(56, 56, 275, 54);
    CMsgBox shorter;
    shorter.SetMask(1);
    shorter.SetText("Please select a volume!");
    ASSERT_TRUE(shorter.InitDialog(nullptr));
    QRect ink = InkBounds(Rendered(shorter), text_area);
    ASSERT_FALSE(ink.isEmpty());
    EXPECT_TRUE(shorter.LastTextLayout().vcentre);
    EXPECT_GE(ink.left(), 70);
    EXPECT_NEAR((ink.top() + ink.bottom()) / 2.0, 80.0, 3.0);
    EXPECT_LT(ink.height(), 16);

    CMsgBox longer;
    longer.SetMask(1);
    longer.SetText("The target folder lies on the volume that is being recovered; choose a folder on another drive.");
    ASSERT_TRUE(longer.InitDialog(nullptr));
    ink = InkBounds(Rendered(longer), text_area);
    ASSERT_FALSE(ink.isEmpty());
    EXPECT_TRUE(longer.LastTextLayout().wrap);
    EXPECT_GE(ink.left(), 60);
    EXPECT_LE(ink.right(), 325);
    EXPECT_GE(ink.height(), 20); // at least two lines
}

TEST(MessageBox, DragsFromTheBackgroundButNotFromAButton)
{
    CMsgBox box;
    box.SetMask(1);
    RunAndAct(box, [&] {
        const QPoint ok = Centre(box.OkButton());
        salvor_test::SendMouse(&box, QEvent::MouseButtonPress, ok.x(), ok.y(), Qt::LeftButton);
        EXPECT_FALSE(box.Dragging());
        salvor_test::SendMouse(&box, QEvent::MouseButtonRelease, 5, 160); // released off the button
        EXPECT_FALSE(box.Ended());
        if (QGuiApplication::platformName() == "offscreen") {
            const QPoint before = box.pos();
            salvor_test::SendMouse(&box, QEvent::MouseButtonPress, 20, 140, Qt::LeftButton);
            EXPECT_TRUE(box.Dragging());
            salvor_test::SendMouse(&box, QEvent::MouseMove, 60, 150, Qt::LeftButton);
            EXPECT_EQ(box.pos(), before + QPoint(40, 10));
            salvor_test::SendMouse(&box, QEvent::MouseButtonRelease, 60, 150);
        }
        box.EndDialog(IDC_MSGBOX_CLOSE);
    });
}

TEST(MessageBox, HoveredButtonIsDrawnWithItsHoverFrame)
{
    CMsgBox box;
    box.SetMask(10);
    box.SetStyle(MSGBOX_WARNING);
    box.SetText("Are you sure to stop the scanning?");
    ASSERT_TRUE(box.InitDialog(nullptr));
    const ZrImage yes = LoadSkinImage(skin::kYes);
    const int fw = yes.Width() / 3, fh = yes.Height();
    const ZrRect r = box.YesButton().Rect();
    const QPoint probe(8, fh / 2); // inside the face, left of the label

    QImage img = Rendered(box);
    EXPECT_EQ(img.pixel(r.left + probe.x(), r.top + probe.y()) & 0xFFFFFF,
              yes.Image().pixel(probe.x(), probe.y()) & 0xFFFFFF);
    salvor_test::SendMouse(&box, QEvent::MouseMove, r.left + 10, r.top + 10);
    EXPECT_EQ(box.YesButton().State(), CZrduiBtn::kHover);
    EXPECT_EQ(box.CursorShape(), Qt::PointingHandCursor);
    img = Rendered(box);
    EXPECT_EQ(img.pixel(r.left + probe.x(), r.top + probe.y()) & 0xFFFFFF,
              yes.Image().pixel(fw + probe.x(), probe.y()) & 0xFFFFFF);
    // The warning icon is drawn into its 40 x 40 place.
    EXPECT_TRUE(box.IconLoaded());
    const ZrImage warn = LoadSkinImage(skin::kWarn);
    EXPECT_EQ(img.pixel(15 + 20, 60 + 30) & 0xFFFFFF, warn.Image().pixel(20, 30) & 0xFFFFFF);
}

TEST(AboutDialog, LayoutAndEveryWayToCloseIt)
{
    const ZrImage bg = LoadSkinImage(skin::kAboutBg);
    ASSERT_TRUE(bg.Loaded());
    {
        CAboutDialog about(nullptr);
        ASSERT_TRUE(about.InitDialog(nullptr));
        EXPECT_EQ(about.ClientWidth(), bg.Width() + 30);
        EXPECT_EQ(about.ClientHeight(), bg.Height());
        EXPECT_EQ(about.CloseButton().Rect().left, about.ClientWidth() - 38);
        EXPECT_EQ(about.CloseButton().Rect().top, 2);
        EXPECT_EQ(about.OkButton().Rect().left, 158);
        EXPECT_EQ(about.OkButton().Rect().top, 200);
        // Both buttons are drawn in their normal frame at their places.
        const QImage img = Rendered(about);
        const ZrImage ok = LoadSkinImage(skin::kOk);
        EXPECT_EQ(img.pixel(158 + 8, 200 + ok.Height() / 2) & 0xFFFFFF, ok.Image().pixel(8, ok.Height() / 2) & 0xFFFFFF);
        const ZrImage close = LoadSkinImage(skin::kClose);
        const QImage& strip = close.Image();
        int same = 0;
        for (int y = 0; y < close.Height(); ++y)
            for (int x = 0; x < close.Width() / 3; ++x)
                if (qAlpha(strip.pixel(x, y)) == 255 &&
                    (img.pixel(about.ClientWidth() - 38 + x, 2 + y) & 0xFFFFFF) == (strip.pixel(x, y) & 0xFFFFFF))
                    ++same;
        EXPECT_GE(same, 12); // the white cross of the close glyph
    }
    auto run = [](const std::function<QPoint(CAboutDialog&)>& where) {
        CAboutDialog about(nullptr);
        int ended_with = 0;
        const int r = RunAndAct(about, [&] {
            const QPoint p = where(about);
            salvor_test::Click(&about, p.x(), p.y());
        });
        ended_with = about.EndResult();
        EXPECT_EQ(ended_with, 1);
        return r;
    };
    EXPECT_EQ(run([](CAboutDialog& a) { return Centre(a.OkButton()); }), 1);
    EXPECT_EQ(run([](CAboutDialog& a) { return Centre(a.CloseButton()); }), 1);
    EXPECT_EQ(run([](CAboutDialog&) { return QPoint(150, 88); }), 1); // the close area

    CAboutDialog about(nullptr);
    RunAndAct(about, [&] {
        salvor_test::SendMouse(&about, QEvent::MouseMove, 150, 88);
        EXPECT_EQ(about.CursorShape(), Qt::PointingHandCursor);
        salvor_test::SendMouse(&about, QEvent::MouseMove, 20, 230);
        EXPECT_EQ(about.CursorShape(), Qt::ArrowCursor);
        salvor_test::SendMouse(&about, QEvent::MouseButtonPress, 20, 230, Qt::LeftButton);
        EXPECT_FALSE(about.Ended());
        if (QGuiApplication::platformName() == "offscreen") {
            EXPECT_TRUE(about.Dragging());
        }
        salvor_test::SendMouse(&about, QEvent::MouseButtonRelease, 20, 230);
        about.EndDialog(1);
    });

    CAboutDialog again(nullptr);
    QTimer::singleShot(0, &again, [&again] { salvor_test::Click(&again, 130, 90); });
    QTimer::singleShot(5000, &again, [&again] { again.EndDialog(-99); });
    EXPECT_EQ(again.Run(nullptr), 1);
    EXPECT_EQ(again.EndResult(), 1);
}

TEST(Screenshots, MessageBoxesInTheirMasksAndTheAboutDialog)
{
    const QString dir = ScreenshotDir();
    struct Shot { const char* file; int style; int mask; const char* text; };
    const Shot shots[] = {
        {"msgbox_mask1.png", MSGBOX_SUCCESS, 1, "recovery finished!"},
        {"msgbox_mask5.png", MSGBOX_INFO, 5,
         "The recovered files will be written to the folder you chose. Make sure it lies on another drive."},
        {"msgbox_mask10.png", MSGBOX_WARNING, 10, "Are you sure to stop the scanning?"},
    };
    for (const Shot& s : shots) {
        CMsgBox box;
        box.SetStyle(s.style);
        box.SetMask(s.mask);
        box.SetText(s.text);
        ASSERT_TRUE(box.InitDialog(nullptr));
        // Hover the first answer button, so the picture shows a hover frame too.
        CZrduiBtn& first = s.mask == 10 ? box.YesButton() : box.OkButton();
        salvor_test::SendMouse(&box, QEvent::MouseMove, first.Rect().left + 5, first.Rect().top + 5);
        const QImage img = Rendered(box);
        EXPECT_EQ(img.size(), QSize(box.ClientWidth(), box.ClientHeight()));
        EXPECT_TRUE(img.save(dir + "/" + s.file)) << s.file;
    }
    CAboutDialog about(nullptr);
    ASSERT_TRUE(about.InitDialog(nullptr));
    EXPECT_TRUE(Rendered(about).save(dir + "/about.png"));
    for (const char* f : {"msgbox_mask1.png", "msgbox_mask5.png", "msgbox_mask10.png", "about.png"})
        EXPECT_TRUE(QFile::exists(dir + "/" + f)) << f;
}

TEST(Resources, WindowIconAndTreeNodeImagesAreBuiltIn)
{
    const QIcon icon = LoadAppIcon();
    ASSERT_FALSE(icon.isNull());
    EXPECT_EQ(icon.pixmap(48, 48).size(), QSize(48, 48));
    EXPECT_EQ(icon.pixmap(16, 16).size(), QSize(16, 16));
    const QImage nodes = LoadResourceBitmap(IDB_TREE_NODES);
    ASSERT_FALSE(nodes.isNull());
    EXPECT_EQ(nodes.height(), kTreeNodeSize);
    EXPECT_GE(nodes.width(), 6 * kTreeNodeSize); // images 0, 1, 4 and 5 are used
    EXPECT_EQ(nodes.format(), QImage::Format_RGB888);
    EXPECT_TRUE(LoadResourceBitmap(IDB_TREE_NODES + 1).isNull());
}
