// The borderless, self-painted dialog every salvor window is built on.
//
// A dialog keeps the shape of a classic dialog class: a message map from
// command and message ids to handlers, a synchronous SendMessage (a blocking
// call onto the user-interface thread when it comes from a worker), timers
// by id, painting into a back-buffer image that is copied to the screen in
// one block, invalidation of rectangles, cursors, dragging from a free point
// and centring over the owner inside the monitor's work area.
#pragma once

#include <platform/win_types.h>

#include <QDialog>
#include <QImage>

#include <atomic>
#include <functional>
#include <map>

class QPainter;

namespace zr {

class ZrDialog : public QDialog {
public:
    explicit ZrDialog(int template_id);
    ~ZrDialog() override;

    ZrDialog(const ZrDialog&) = delete;
    ZrDialog& operator=(const ZrDialog&) = delete;

    int TemplateId() const { return m_template_id; }

    // Runs the set-up once (OnInitDialog) and then the modal loop; returns the
    // value given to EndDialog. A null owner means the window active now.
    int RunModal(QWidget* owner);
    // Runs only the set-up, without showing the window (for painting offscreen).
    bool InitDialog(QWidget* owner);
    // Ends the modal run with `result`. From a worker thread it only marks
    // the dialog and wakes the user-interface thread, which closes it.
    void EndDialog(int result);
    bool Ended() const { return m_ended; }
    int EndResult() const { return m_end_result; }
    QWidget* Owner() const { return m_owner; }

    // Message map. Command handlers are looked up by the low word of wParam
    // of WM_COMMAND; other messages by their id.
    using MessageHandler = std::function<LRESULT(WPARAM, LPARAM)>;
    void MapMessage(uint32_t message, MessageHandler handler);
    void MapCommand(int id, std::function<void()> handler);

    // Dispatches through the message map and returns the handler's result.
    // From another thread the call is queued onto the dialog's thread and the
    // caller blocks until it has run.
    LRESULT SendMessage(uint32_t message, WPARAM wparam, LPARAM lparam);
    // Queues the message for the dialog's thread and returns at once.
    void PostMessage(uint32_t message, WPARAM wparam, LPARAM lparam);

    // Timers by id; setting an id that runs already restarts it. Callable
    // from a worker thread (the call is carried over to the dialog's thread).
    bool SetTimer(int id, int interval_ms);
    bool KillTimer(int id);
    bool HasTimer(int id) const { return m_timers.count(id) != 0; }

    // Client area.
    int ClientWidth() const { return width(); }
    int ClientHeight() const { return height(); }
    void SetClientSize(int w, int h);

    // Painting. Invalidate and UpdateNow may be called from a worker thread.
    void Invalidate(const ZrRect& r, bool erase);
    void InvalidateAll();
    void UpdateNow();
    // Paints the whole client area into a fresh image (works without a screen).
    QImage RenderToImage();
    const QImage& BackBuffer() const { return m_back; }
    int PaintCount() const { return m_paint_count; }

    // Cursors. While mouse input is dispatched the arrow is the default; a
    // widget under the mouse asks for the hand.
    void SetHandCursor();
    void SetWaitCursor();
    void SetArrowCursor();
    Qt::CursorShape CursorShape() const { return m_cursor_shape; }

    // Starts moving the window with the mouse (a press on a free point).
    void BeginDrag();
    bool Dragging() const { return m_drag_active; }

    void CenterOver(QWidget* owner);
    // Rounded window region from (0, 0) to (w, h) with the given corner ellipse.
    void SetRoundedRegion(int w, int h, int ellipse);

protected:
    virtual bool OnInitDialog() { return true; }
    virtual void OnPaint(QPainter&) {}
    virtual void OnTimer(int) {}
    // WM_COMMAND ids without an entry in the map come here.
    virtual void OnCommand(int) {}
    virtual void OnLButtonDown(uint32_t, LPARAM) {}
    virtual void OnLButtonUp(uint32_t, LPARAM) {}
    virtual void OnLButtonDblClk(uint32_t, LPARAM) {}
    virtual void OnMouseMove(uint32_t, LPARAM) {}

    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void mouseReleaseEvent(QMouseEvent*) override;
    void mouseDoubleClickEvent(QMouseEvent*) override;
    void mouseMoveEvent(QMouseEvent*) override;
    void timerEvent(QTimerEvent*) override;
    void reject() override;
    void closeEvent(QCloseEvent*) override;

private:
    LRESULT Dispatch(uint32_t message, WPARAM wparam, LPARAM lparam);
    void ApplyCursor();

    int m_template_id;
    QWidget* m_owner = nullptr;
    bool m_initialised = false;
    std::atomic<bool> m_ended{false};
    std::atomic<int> m_end_result{0};
    std::map<uint32_t, MessageHandler> m_messages;
    std::map<int, std::function<void()>> m_commands;
    std::map<int, int> m_timers; // our id -> Qt timer id
    QImage m_back;
    int m_paint_count = 0;
    Qt::CursorShape m_cursor_shape = Qt::ArrowCursor;
    Qt::CursorShape m_cursor_applied = Qt::ArrowCursor;
    bool m_drag_active = false;
    QPoint m_drag_offset;
    QPoint m_press_global;
};

} // namespace zr
