// Driving the main window in tests: clicks at window coordinates, the
// message boxes answered through the hook, the folder dialog and URL seams,
// and waiting for a modal dialog (the progress dialog) without a
// processEvents loop.
#pragma once

#include <core/main_dlg.h>
#include <host/test_hooks.h>
#include <shell/msgbox.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace salvor_gui {

// A QApplication on the offscreen platform for the whole test program.
class QtApp : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "salvor_gui_tests";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance())
            m_app = new QApplication(argc, argv);
    }
    void TearDown() override
    {
        delete m_app;
        m_app = nullptr;
    }

private:
    QApplication* m_app = nullptr;
};

// One message box as the program asked for it.
struct Box {
    int style = 0;
    int mask = 0;
    std::string text;
    std::string caption;
};

// Answers every message box instead of showing it, and keeps what was asked.
// Answers are taken from the queue; an empty queue answers OK (or Yes when
// the box has no OK button).
class BoxRecorder {
public:
    BoxRecorder()
    {
        zr::SetMessageBoxHook([this](int style, int mask, const QString& text, const QString& caption) {
            boxes.push_back({style, mask, text.toStdString(), caption.toStdString()});
            if (on_box)
                on_box(boxes.back());
            if (!answers.empty()) {
                const int a = answers.front();
                answers.pop_front();
                return a;
            }
            return (mask & zr::MSGBOX_OK) ? zr::IDC_MSGBOX_OK : zr::IDC_MSGBOX_YES;
        });
    }
    ~BoxRecorder() { zr::SetMessageBoxHook(nullptr); }
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;

    void Answer(int button) { answers.push_back(button); }
    // The texts of the boxes shown so far.
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> t;
        for (const Box& b : boxes)
            t.push_back(b.text);
        return t;
    }
    const Box* Last() const { return boxes.empty() ? nullptr : &boxes.back(); }
    void Clear() { boxes.clear(); }

    std::vector<Box> boxes;
    std::deque<int> answers;
    std::function<void(const Box&)> on_box;
};

// Stands in for the folder dialog and the URL opener while alive.
class DialogSeams {
public:
    DialogSeams()
    {
        salvor::TestDialogHooks().folder = [this]() -> std::optional<std::string> {
            ++folder_asked;
            return folder;
        };
        salvor::TestDialogHooks().open_url = [this](const std::string& url) { urls.push_back(url); };
    }
    ~DialogSeams() { salvor::TestDialogHooks() = salvor::DialogHooks{}; }
    DialogSeams(const DialogSeams&) = delete;
    DialogSeams& operator=(const DialogSeams&) = delete;

    std::optional<std::string> folder; // nullopt: the user cancels
    int folder_asked = 0;
    std::vector<std::string> urls;
};

inline void SendMouse(QWidget* w, QEvent::Type type, int x, int y, Qt::MouseButtons buttons)
{
    const QPointF local(x, y);
    const QPointF global = w->mapToGlobal(local);
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, local, global, button, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

// A left click at window coordinates: move, press, release. Whatever the
// click starts (a scan or a recovery with its modal dialog) has ended when
// this returns.
inline void ClickAt(QWidget* w, int x, int y)
{
    SendMouse(w, QEvent::MouseMove, x, y, Qt::NoButton);
    SendMouse(w, QEvent::MouseButtonPress, x, y, Qt::LeftButton);
    SendMouse(w, QEvent::MouseButtonRelease, x, y, Qt::NoButton);
}

inline void PressAt(QWidget* w, int x, int y)
{
    SendMouse(w, QEvent::MouseButtonPress, x, y, Qt::LeftButton);
}

inline void Wheel(QWidget* w, int x, int y, int delta)
{
    const QPointF local(x, y);
    QWheelEvent event(local, w->mapToGlobal(local), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(w, &event);
}

inline void PressKey(QWidget* w, Qt::Key key)
{
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QApplication::sendEvent(w, &release);
}

// The centre of a button of the main window.
inline QPoint ButtonCentre(salvor::CMainDlg& dlg, int id)
{
    const zr::ZrRect& r = dlg.Button(id).Rect();
    return QPoint((r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

inline void ClickButton(salvor::CMainDlg& dlg, int id)
{
    const QPoint p = ButtonCentre(dlg, id);
    ClickAt(&dlg, p.x(), p.y());
}

// Designed places of the mode page.
inline QPoint ModeRadio(int mode) // 1..4
{
    const int x[4] = {98, 250, 405, 595};
    return QPoint(x[mode - 1] + 30, 335);
}
inline QPoint TypeCheckBox(salvor::CMainDlg& dlg, int i) // Photo, Music, Video, Others
{
    const zr::ZrRect& r = dlg.TypeCheck(i).Rect();
    return QPoint(r.left + 6, r.top + 12);
}
inline QPoint FsRadio(salvor::CMainDlg& dlg, int i) // FAT12, FAT16, FAT32, NTFS
{
    const zr::ZrRect& r = dlg.FsRadio(i).Rect();
    return QPoint(r.left + 6, r.top + 12);
}

// The window point of a volume entry of the device panel (disk index, volume
// index), taking the panel's scroll offset into account.
inline std::optional<QPoint> EntryPoint(const salvor::CMainDlg& dlg, int disk, int index)
{
    for (const salvor::DeviceEntry& e : dlg.Panel().entries)
        if (e.disk == disk && e.index == index)
            return QPoint(salvor::kPanelLeft + (e.rect.left + e.rect.right) / 2,
                          salvor::kPanelTop + (e.rect.top + e.rect.bottom) / 2 - dlg.ScrollOffset());
    return std::nullopt;
}

// Clicks the check box of a tree node or list row.
inline void ClickBox(QTreeWidget* view, const QRect& box)
{
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, box.center());
}

// Runs `action` on the first modal window other than `except` that shows up
// within `timeout_ms` (the progress dialog of a job, for example). Call it
// before the click that opens the window; the action runs inside that
// window's modal loop.
inline void WhenModalShows(QWidget* except, std::function<void(QWidget*)> action, int timeout_ms = 20000)
{
    auto* timer = new QTimer;
    auto waited = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, except, action, waited, timeout_ms] {
        QWidget* modal = QApplication::activeModalWidget();
        *waited += 20;
        if ((modal && modal != except) || *waited > timeout_ms) {
            timer->stop();
            timer->deleteLater();
            if (modal && modal != except)
                action(modal);
        }
    });
    timer->start(20);
}

} // namespace salvor_gui
