// The dialog base: message map, SendMessage across threads, timers by id,
// centring, dragging from a free point and back-buffer painting.
#include "qt_env.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <thread>

using namespace zr;
using salvor_test::RecordingDialog;

namespace {

[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new salvor_test::QtEnvironment);

class TimerDialog : public ZrDialog {
public:
    TimerDialog() : ZrDialog(998) { SetClientSize(100, 100); }
    std::vector<int> ticks;

protected:
    void OnTimer(int id) override
    {
        ticks.push_back(id);
        if (id == 3 && std::count(ticks.begin(), ticks.end(), 3) == 2)
            KillTimer(3);
    }
};

class DragDialog : public ZrDialog {
public:
    DragDialog() : ZrDialog(997) { SetClientSize(200, 100); }
    int presses = 0;

protected:
    void OnLButtonDown(uint32_t, LPARAM pt) override
    {
        ++presses;
        if (PointY(pt) > 10) // the top strip stands for a widget
            BeginDrag();
    }
    void OnPaint(QPainter& p) override { p.fillRect(0, 0, ClientWidth(), ClientHeight(), QColor(0x81, 0xB8, 0x77)); }
};

} // namespace

TEST(Dialog, MessageMapDispatchesCommandsAndMessages)
{
    RecordingDialog dlg;
    int mapped = 0;
    dlg.MapCommand(6000, [&] { ++mapped; });
    dlg.MapMessage(WM_USER + 100, [](WPARAM w, LPARAM l) -> LRESULT { return static_cast<LRESULT>(w * 100) + l; });

    dlg.SendMessage(WM_COMMAND, MakeWParam(6000, 0), 0);
    EXPECT_EQ(mapped, 1);
    EXPECT_TRUE(dlg.commands.empty());
    // Ids without a map entry reach the dialog's command handler.
    dlg.SendMessage(WM_COMMAND, MakeWParam(6012, 0), 0);
    EXPECT_EQ(dlg.commands, std::vector<int>{6012});
    EXPECT_EQ(dlg.SendMessage(WM_USER + 100, 2, 5), 205);
    EXPECT_EQ(dlg.SendMessage(WM_USER + 55, 1, 1), 0);
}

TEST(Dialog, SendMessageFromAWorkerRunsOnTheUiThreadAndReturnsTheResult)
{
    RecordingDialog dlg;
    QThread* handler_thread = nullptr;
    dlg.MapMessage(WM_USER + 103, [&](WPARAM w, LPARAM) -> LRESULT {
        handler_thread = QThread::currentThread();
        return static_cast<LRESULT>(w) + 1000;
    });
    std::atomic<LRESULT> result{0};
    std::atomic<bool> done{false};
    QEventLoop loop;
    std::thread worker([&] {
        result = dlg.SendMessage(WM_USER + 103, 27, 0);
        done = true;
        QMetaObject::invokeMethod(&loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    QTimer::singleShot(5000, &loop, [&loop] { loop.quit(); }); // never hang the suite
    loop.exec();
    worker.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(result.load(), 1027);
    EXPECT_EQ(handler_thread, QThread::currentThread());
}

namespace {
// A job dialog: its worker starts a timer, posts a message and ends the
// dialog, all from the worker thread.
class JobDialog : public ZrDialog {
public:
    JobDialog() : ZrDialog(996) { SetClientSize(120, 60); }
    ~JobDialog() override
    {
        if (m_worker.joinable())
            m_worker.join();
    }
    std::atomic<int> ticks{0};
    std::atomic<bool> timer_on_ui_thread{true};
    std::atomic<int> posted{0};
    bool set_timer_from_worker = false;

protected:
    bool OnInitDialog() override
    {
        MapMessage(WM_USER + 7, [this](WPARAM w, LPARAM) -> LRESULT {
            posted = static_cast<int>(w);
            return 0;
        });
        m_worker = std::thread([this] {
            set_timer_from_worker = SetTimer(9, 5);
            Invalidate(ZrRect{0, 0, 10, 10}, false);
            PostMessage(WM_USER + 7, 42, 0);
            while (ticks < 2)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            KillTimer(9);
            EndDialog(77);
        });
        return true;
    }
    void OnTimer(int id) override
    {
        if (QThread::currentThread() != thread())
            timer_on_ui_thread = false;
        if (id == 9)
            ++ticks;
    }

private:
    std::thread m_worker;
};
} // namespace

TEST(Dialog, AWorkerStartsTimersPostsAndEndsTheModalRun)
{
    JobDialog dlg;
    QTimer::singleShot(5000, &dlg, [&dlg] { dlg.EndDialog(-99); }); // never hang the suite
    EXPECT_EQ(dlg.RunModal(nullptr), 77);
    EXPECT_TRUE(dlg.set_timer_from_worker);
    EXPECT_GE(dlg.ticks.load(), 2);
    EXPECT_TRUE(dlg.timer_on_ui_thread);
    EXPECT_EQ(dlg.posted.load(), 42);
    EXPECT_FALSE(dlg.HasTimer(9));
}

TEST(Dialog, TimersTickByIdUntilKilled)
{
    TimerDialog dlg;
    EXPECT_TRUE(dlg.SetTimer(3, 5));
    EXPECT_TRUE(dlg.SetTimer(4, 5));
    EXPECT_TRUE(dlg.HasTimer(3));
    QEventLoop loop;
    QTimer::singleShot(120, &loop, [&loop] { loop.quit(); });
    loop.exec();
    EXPECT_EQ(std::count(dlg.ticks.begin(), dlg.ticks.end(), 3), 2);
    EXPECT_FALSE(dlg.HasTimer(3));
    EXPECT_GE(std::count(dlg.ticks.begin(), dlg.ticks.end(), 4), 2);
    EXPECT_TRUE(dlg.KillTimer(4));
    EXPECT_FALSE(dlg.KillTimer(4));
}

TEST(Dialog, CentresOverItsOwnerInsideTheWorkArea)
{
    const QRect work = QGuiApplication::primaryScreen()->availableGeometry();
    QWidget owner;
    owner.setGeometry(work.left() + 100, work.top() + 100, 400, 300);
    RecordingDialog dlg(200, 100);
    dlg.CenterOver(&owner);
    EXPECT_EQ(dlg.pos(), QPoint(owner.frameGeometry().left() + 100, owner.frameGeometry().top() + 100));

    // An owner hanging off the right edge: the dialog stays on the monitor.
    owner.setGeometry(work.right() - 50, work.top() + 10, 400, 300);
    dlg.CenterOver(&owner);
    EXPECT_LE(dlg.pos().x() + dlg.width(), work.right() + 1);
    EXPECT_GE(dlg.pos().y(), work.top());
}

TEST(Dialog, PaintsThroughTheBackBufferAndDragsFromAFreePoint)
{
    DragDialog dlg;
    dlg.SetRoundedRegion(201, 101, 5);
    dlg.move(50, 60);
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    dlg.UpdateNow();
    EXPECT_GE(dlg.PaintCount(), 1);
    ASSERT_EQ(dlg.BackBuffer().size(), QSize(200, 100));
    EXPECT_EQ(dlg.BackBuffer().pixel(100, 50) & 0xFFFFFF, 0x81B877u);

    // A press on the strip that stands for a widget does not move the window.
    salvor_test::SendMouse(&dlg, QEvent::MouseButtonPress, 20, 5, Qt::LeftButton);
    salvor_test::SendMouse(&dlg, QEvent::MouseButtonRelease, 20, 5);
    EXPECT_FALSE(dlg.Dragging());

    const QPoint before = dlg.pos();
    salvor_test::SendMouse(&dlg, QEvent::MouseButtonPress, 100, 50, Qt::LeftButton);
    EXPECT_EQ(dlg.presses, 2);
    if (QGuiApplication::platformName() == "offscreen") {
        ASSERT_TRUE(dlg.Dragging()); // no window manager there: we move it ourselves
    }
    if (dlg.Dragging()) {
        salvor_test::SendMouse(&dlg, QEvent::MouseMove, 130, 70, Qt::LeftButton);
        EXPECT_EQ(dlg.pos(), before + QPoint(30, 20));
        salvor_test::SendMouse(&dlg, QEvent::MouseButtonRelease, 130, 70);
        EXPECT_FALSE(dlg.Dragging());
    }
    dlg.hide();
}
