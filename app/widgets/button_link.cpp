#include <widgets/font_pool.h>
#include <widgets/zr_widgets.h>

#include <QFontMetrics>
#include <QPainter>

namespace zr {

int ResolveX(const ZrDialog* parent, int x)
{
    if (x < 0 && parent)
        return x + parent->ClientWidth();
    return x;
}

int ResolveY(const ZrDialog* parent, int y)
{
    if (y < 0 && parent)
        return y + parent->ClientHeight();
    return y;
}

void DrawTextAt(QPainter& p, int x, int y, const QString& text)
{
    const QFontMetrics fm(p.font());
    p.drawText(QRect(x, y, fm.horizontalAdvance(text) + 2, fm.height()), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
               text);
}

namespace {
void SendCommand(ZrDialog* parent, int id)
{
    if (parent && id != kNoCommand)
        parent->SendMessage(WM_COMMAND, MakeWParam(id, 0), 0);
}
} // namespace

// ---- CZrduiBtn ----

bool CZrduiBtn::SetImage(const QString& path, bool as_image)
{
    m_kind = as_image ? 1 : 0;
    m_image.Load(path);
    m_frame_width = m_image.Width() / m_frame_count;
    m_frame_height = m_image.Height();
    if (m_frame_width == 0)
        m_frame_height = 0;
    return m_image.Loaded();
}

void CZrduiBtn::Attach(ZrDialog* parent, int command_id)
{
    m_parent = parent;
    m_id = command_id;
    if (m_image.Loaded())
        Place(m_rect.left, m_rect.top);
}

void CZrduiBtn::Place(int x, int y)
{
    x = ResolveX(m_parent, x);
    y = ResolveY(m_parent, y);
    const ZrRect placed{x, y, x + m_frame_width, y + m_frame_height};
    if (placed == m_rect)
        return;
    const ZrRect old = m_rect;
    m_rect = placed;
    if (m_parent) {
        m_parent->Invalidate(old, false);
        m_parent->Invalidate(m_rect, true);
    }
}

void CZrduiBtn::SetVisible(int flag)
{
    m_visible = flag & 1;
    if (m_parent)
        m_parent->Invalidate(m_rect, false);
}

int CZrduiBtn::Draw(QPainter& p)
{
    if (!m_visible || m_rect.empty())
        return 0;
    const int sx = m_state * m_frame_width;
    if (m_kind == 1)
        m_image.DrawPart(p, m_rect.left, m_rect.top, sx, 0, m_frame_width, m_frame_height);
    else
        m_image.DrawRect(p, QRect(m_rect.left, m_rect.top, m_rect.width(), m_rect.height()),
                         QRect(sx, 0, m_frame_width, m_frame_height));
    return 1;
}

void CZrduiBtn::Repaint()
{
    if (!m_parent)
        return;
    m_parent->Invalidate(m_rect, true);
    m_parent->UpdateNow();
}

int CZrduiBtn::OnDoubleClick(uint32_t flags, LPARAM pt) { return OnButtonDown(flags, pt); }

int CZrduiBtn::OnButtonDown(uint32_t, LPARAM pt)
{
    if (Inert() || !m_rect.contains(PointX(pt), PointY(pt)))
        return 0;
    if (m_parent)
        m_parent->SetHandCursor();
    m_pressed = true;
    m_state = kPressed;
    Repaint();
    return 1;
}

int CZrduiBtn::OnButtonUp(uint32_t, LPARAM pt)
{
    if (Inert())
        return 0;
    if (!m_rect.contains(PointX(pt), PointY(pt))) {
        // Released elsewhere: no command, and the pressed look stays until
        // the mouse moves.
        m_pressed = false;
        return 0;
    }
    if (m_parent)
        m_parent->SetHandCursor();
    m_state = kHover;
    Repaint();
    if (m_pressed) {
        m_pressed = false;
        SendCommand(m_parent, m_id);
    }
    return 1;
}

int CZrduiBtn::OnMouseMove(uint32_t, LPARAM pt)
{
    if (Inert())
        return 0;
    if (m_rect.contains(PointX(pt), PointY(pt))) {
        if (m_parent)
            m_parent->SetHandCursor();
        if (m_state == kHover || (m_pressed && m_state == kPressed))
            return 1;
        m_state = kHover;
        if (m_parent)
            m_parent->Invalidate(m_rect, true);
        return 1;
    }
    if (m_state == kHover || m_state == kPressed) {
        m_state = kNormal;
        Repaint();
    }
    return 0;
}

// ---- CZrduiLink ----

bool CZrduiLink::Create(ZrDialog* parent, const QString& text, int x, int y, int command_id)
{
    if (!parent || text.isEmpty())
        return false;
    m_parent = parent;
    m_font = ZrFontPool::Font(ZrFontPool::kBase);
    m_text = text;
    m_id = command_id;
    x = ResolveX(parent, x);
    y = ResolveY(parent, y);
    const QFontMetrics fm(m_font ? *m_font : parent->font());
    m_rect = ZrRect{x, y, x + fm.horizontalAdvance(text), y + fm.height()};
    return true;
}

int CZrduiLink::Draw(QPainter& p)
{
    if (!m_visible || m_text.isEmpty())
        return 0;
    p.save();
    if (m_font)
        p.setFont(*m_font);
    p.setPen(QColor::fromRgb(m_hover ? kHoverColour : kNormalColour));
    p.setBackgroundMode(Qt::TransparentMode);
    p.drawText(QRect(m_rect.left, m_rect.top, m_rect.width(), m_rect.height()), Qt::AlignLeft | Qt::AlignTop, m_text);
    p.restore();
    return 1;
}

int CZrduiLink::OnMouseMove(uint32_t, LPARAM pt)
{
    if (!m_visible)
        return 0;
    const bool inside = m_rect.contains(PointX(pt), PointY(pt));
    if (inside) {
        if (m_parent)
            m_parent->SetHandCursor();
        if (m_hover)
            return 1;
        m_hover = true;
    } else {
        m_hover = false;
    }
    if (m_parent)
        m_parent->Invalidate(m_rect, false);
    return inside ? 1 : 0;
}

int CZrduiLink::OnDoubleClick(uint32_t flags, LPARAM pt) { return OnButtonDown(flags, pt); }

int CZrduiLink::OnButtonDown(uint32_t, LPARAM pt)
{
    if (!m_visible || !m_rect.contains(PointX(pt), PointY(pt)))
        return 0;
    if (m_parent)
        m_parent->SetHandCursor();
    m_pressed = true;
    return 1;
}

int CZrduiLink::OnButtonUp(uint32_t, LPARAM pt)
{
    if (!m_visible)
        return 0;
    if (!m_rect.contains(PointX(pt), PointY(pt))) {
        m_pressed = false;
        return 0;
    }
    if (m_parent)
        m_parent->SetHandCursor();
    if (m_pressed) {
        m_pressed = false;
        SendCommand(m_parent, m_id);
    }
    return 1;
}

// ---- ZrWidgetList ----

void ZrWidgetList::Add(CZrWindow* widget)
{
    if (widget)
        m_widgets.push_back(widget);
}

void ZrWidgetList::DrawAll(QPainter& p) const
{
    for (CZrWindow* w : m_widgets)
        w->Draw(p);
}

void ZrWidgetList::MouseMove(uint32_t flags, LPARAM pt) const
{
    for (CZrWindow* w : m_widgets)
        w->OnMouseMove(flags, pt);
}

void ZrWidgetList::ButtonDown(uint32_t flags, LPARAM pt) const
{
    for (CZrWindow* w : m_widgets)
        w->OnButtonDown(flags, pt);
}

void ZrWidgetList::ButtonUp(uint32_t flags, LPARAM pt) const
{
    for (CZrWindow* w : m_widgets)
        w->OnButtonUp(flags, pt);
}

void ZrWidgetList::DoubleClick(uint32_t flags, LPARAM pt) const
{
    for (CZrWindow* w : m_widgets)
        w->OnDoubleClick(flags, pt);
}

bool ZrWidgetList::HitAny(LPARAM pt) const
{
    for (CZrWindow* w : m_widgets)
        if (w->HitTest(PointX(pt), PointY(pt)))
            return true;
    return false;
}

} // namespace zr
