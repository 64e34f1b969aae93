#include <platform/zr_dialog.h>

#include <QApplication>
#include <QCloseEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>
#include <QScreen>
#include <QThread>
#include <QWindow>

namespace zr {

ZrDialog::ZrDialog(int template_id) : QDialog(nullptr), m_template_id(template_id)
{
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setMouseTracking(true);
}

ZrDialog::~ZrDialog()
{
    for (const auto& [id, qt_id] : m_timers)
        killTimer(qt_id);
}

bool ZrDialog::InitDialog(QWidget* owner)
{
    if (m_initialised)
        return true;
    m_initialised = true;
    m_owner = owner ? owner : QApplication::activeWindow();
    if (m_owner == this)
        m_owner = nullptr;
    if (m_owner)
        setParent(m_owner, windowFlags());
    return OnInitDialog();
}

int ZrDialog::RunModal(QWidget* owner)
{
    m_ended = false;
    InitDialog(owner);
    // A handler may end the dialog during its set-up.
    if (m_ended)
        return m_end_result;
    setModal(true);
    exec();
    return m_end_result;
}

namespace {
bool OnThreadOf(const QObject* object) { return QThread::currentThread() == object->thread(); }
} // namespace

void ZrDialog::EndDialog(int result)
{
    m_end_result = result;
    m_ended = true;
    if (OnThreadOf(this))
        done(result);
    else
        QMetaObject::invokeMethod(this, [this, result] { done(result); }, Qt::QueuedConnection);
}

void ZrDialog::MapMessage(uint32_t message, MessageHandler handler) { m_messages[message] = std::move(handler); }

void ZrDialog::MapCommand(int id, std::function<void()> handler) { m_commands[id] = std::move(handler); }

LRESULT ZrDialog::Dispatch(uint32_t message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_COMMAND) {
        const int id = LowWord(wparam);
        if (auto it = m_commands.find(id); it != m_commands.end()) {
            it->second();
            return 0;
        }
    }
    if (auto it = m_messages.find(message); it != m_messages.end())
        return it->second(wparam, lparam);
    if (message == WM_COMMAND)
        OnCommand(LowWord(wparam));
    return 0;
}

LRESULT ZrDialog::SendMessage(uint32_t message, WPARAM wparam, LPARAM lparam)
{
    if (OnThreadOf(this))
        return Dispatch(message, wparam, lparam);
    LRESULT result = 0;
    QMetaObject::invokeMethod(
        this, [&] { result = Dispatch(message, wparam, lparam); }, Qt::BlockingQueuedConnection);
    return result;
}

void ZrDialog::PostMessage(uint32_t message, WPARAM wparam, LPARAM lparam)
{
    QMetaObject::invokeMethod(
        this, [this, message, wparam, lparam] { Dispatch(message, wparam, lparam); }, Qt::QueuedConnection);
}

bool ZrDialog::SetTimer(int id, int interval_ms)
{
    if (!OnThreadOf(this)) {
        bool ok = false;
        QMetaObject::invokeMethod(this, [&] { ok = SetTimer(id, interval_ms); }, Qt::BlockingQueuedConnection);
        return ok;
    }
    KillTimer(id);
    const int qt_id = startTimer(interval_ms < 1 ? 1 : interval_ms);
    if (qt_id == 0)
        return false;
    m_timers[id] = qt_id;
    return true;
}

bool ZrDialog::KillTimer(int id)
{
    if (!OnThreadOf(this)) {
        bool ok = false;
        QMetaObject::invokeMethod(this, [&] { ok = KillTimer(id); }, Qt::BlockingQueuedConnection);
        return ok;
    }
    auto it = m_timers.find(id);
    if (it == m_timers.end())
        return false;
    killTimer(it->second);
    m_timers.erase(it);
    return true;
}

void ZrDialog::timerEvent(QTimerEvent* event)
{
    for (const auto& [id, qt_id] : m_timers) {
        if (qt_id == event->timerId()) {
            const int our_id = id;
            OnTimer(our_id);
            return;
        }
    }
    QDialog::timerEvent(event);
}

void ZrDialog::SetClientSize(int w, int h)
{
    w = w < 0 ? 0 : w;
    h = h < 0 ? 0 : h;
    setFixedSize(w, h);
}

void ZrDialog::Invalidate(const ZrRect& r, bool)
{
    // The back buffer is repainted whole, so erasing needs no extra step.
    if (r.empty())
        return;
    const QRect area(r.left, r.top, r.width(), r.height());
    if (OnThreadOf(this))
        update(area);
    else
        QMetaObject::invokeMethod(this, [this, area] { update(area); }, Qt::QueuedConnection);
}

void ZrDialog::InvalidateAll()
{
    if (OnThreadOf(this))
        update();
    else
        QMetaObject::invokeMethod(this, [this] { update(); }, Qt::QueuedConnection);
}

void ZrDialog::UpdateNow()
{
    if (!OnThreadOf(this)) {
        QMetaObject::invokeMethod(this, [this] { UpdateNow(); }, Qt::QueuedConnection);
        return;
    }
    if (isVisible())
        repaint();
}

QImage ZrDialog::RenderToImage()
{
    QImage image(width() > 0 ? width() : 1, height() > 0 ? height() : 1, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        OnPaint(p);
    }
    return image;
}

void ZrDialog::paintEvent(QPaintEvent*)
{
    if (width() <= 0 || height() <= 0)
        return;
    if (m_back.size() != size())
        m_back = QImage(size(), QImage::Format_ARGB32_Premultiplied);
    m_back.fill(Qt::white);
    {
        QPainter p(&m_back);
        OnPaint(p);
    }
    QPainter screen(this);
    screen.drawImage(0, 0, m_back);
    ++m_paint_count;
}

void ZrDialog::SetHandCursor() { m_cursor_shape = Qt::PointingHandCursor; }
void ZrDialog::SetWaitCursor()
{
    m_cursor_shape = Qt::WaitCursor;
    ApplyCursor();
}
void ZrDialog::SetArrowCursor() { m_cursor_shape = Qt::ArrowCursor; }

void ZrDialog::ApplyCursor()
{
    if (m_cursor_shape != m_cursor_applied) {
        setCursor(QCursor(m_cursor_shape));
        m_cursor_applied = m_cursor_shape;
    }
}

void ZrDialog::BeginDrag()
{
    if (windowHandle() && windowHandle()->startSystemMove())
        return;
    // No window-manager move: follow the mouse ourselves until the release.
    m_drag_active = true;
    m_drag_offset = m_press_global - pos();
}

void ZrDialog::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint p = event->position().toPoint();
    m_press_global = event->globalPosition().toPoint();
    m_cursor_shape = Qt::ArrowCursor;
    OnLButtonDown(MK_LBUTTON, MakePoint(p.x(), p.y()));
    ApplyCursor();
}

void ZrDialog::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    if (m_drag_active) {
        // The release ends the move; the widgets never saw the press.
        m_drag_active = false;
        return;
    }
    const QPoint p = event->position().toPoint();
    m_cursor_shape = Qt::ArrowCursor;
    OnLButtonUp(0, MakePoint(p.x(), p.y()));
    ApplyCursor();
}

void ZrDialog::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint p = event->position().toPoint();
    m_cursor_shape = Qt::ArrowCursor;
    OnLButtonDblClk(MK_LBUTTON, MakePoint(p.x(), p.y()));
    ApplyCursor();
}

void ZrDialog::mouseMoveEvent(QMouseEvent* event)
{
    if (m_drag_active) {
        if (event->buttons() & Qt::LeftButton) {
            move(event->globalPosition().toPoint() - m_drag_offset);
            return;
        }
        m_drag_active = false;
    }
    const QPoint p = event->position().toPoint();
    m_cursor_shape = Qt::ArrowCursor;
    OnMouseMove((event->buttons() & Qt::LeftButton) ? MK_LBUTTON : 0, MakePoint(p.x(), p.y()));
    ApplyCursor();
}

void ZrDialog::reject()
{
    // Escape and window-manager close requests arrive as the cancel command;
    // a dialog that does not handle it stays open.
    Dispatch(WM_COMMAND, MakeWParam(IDCANCEL, 0), 0);
}

void ZrDialog::closeEvent(QCloseEvent* event)
{
    if (m_ended) {
        event->accept();
        return;
    }
    event->ignore();
    reject();
}

void ZrDialog::CenterOver(QWidget* owner)
{
    QScreen* screen = owner ? owner->screen() : this->screen();
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QRect work = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    const QRect around = owner ? owner->frameGeometry() : work;
    int x = around.left() + (around.width() - width()) / 2;
    int y = around.top() + (around.height() - height()) / 2;
    // Keep the whole window on the owner's monitor.
    if (x + width() > work.right() + 1)
        x = work.right() + 1 - width();
    if (y + height() > work.bottom() + 1)
        y = work.bottom() + 1 - height();
    if (x < work.left())
        x = work.left();
    if (y < work.top())
        y = work.top();
    move(x, y);
}

void ZrDialog::SetRoundedRegion(int w, int h, int ellipse)
{
    if (w <= 0 || h <= 0) {
        clearMask();
        return;
    }
    QPainterPath path;
    path.addRoundedRect(QRectF(0, 0, w, h), ellipse / 2.0, ellipse / 2.0);
    setMask(QRegion(path.toFillPolygon().toPolygon()));
}

} // namespace zr
