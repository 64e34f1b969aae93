#include <widgets/font_pool.h>
#include <widgets/skin.h>
#include <widgets/zr_widgets.h>

#include <QPainter>

namespace zr {

namespace {
constexpr QRgb kActiveColour = 0xFF81B877;
constexpr QRgb kPlainColour = 0xFF4C5359;

std::map<int, CDuiRadio*>& Group1() { static std::map<int, CDuiRadio*> registry; return registry; }
std::map<int, CDuiRadio*>& Group2() { static std::map<int, CDuiRadio*> registry; return registry; }
std::map<int, CDuiRadio*>& NoGroup() { static std::map<int, CDuiRadio*> registry; return registry; }
} // namespace

std::map<int, CDuiRadio*>& RadioRegistry(int group)
{
    if (group == 1)
        return Group1();
    if (group == 2)
        return Group2();
    // Radios outside both groups are never entered; this map stays empty.
    NoGroup().clear();
    return NoGroup();
}

std::map<int, CDuiCheck*>& CheckRegistry()
{
    static std::map<int, CDuiCheck*> registry;
    return registry;
}

// ---- CDuiRadio ----

CDuiRadio::CDuiRadio()
{
    m_icon = LoadSkinImage(skin::kRadioIco);
    m_bitmap = LoadSkinImage(skin::kRadioIcoBmp);
}

CDuiRadio::~CDuiRadio()
{
    // A destroyed radio must not stay reachable through its group.
    if (m_registered) {
        auto& registry = RadioRegistry(m_group);
        if (auto it = registry.find(m_id); it != registry.end() && it->second == this)
            registry.erase(it);
    }
}

int CDuiRadio::Create(ZrDialog* parent, int x, int y, int width, int height, const QString& text, int command_id,
                      int group)
{
    if (!parent)
        return 0;
    m_id = command_id;
    m_parent = parent;
    m_text = text;
    m_width = width;
    m_height = height;
    m_group = group;
    x = ResolveX(parent, x);
    y = ResolveY(parent, y);
    m_rect = ZrRect{x, y, x + width, y + height};
    if (group == 1 || group == 2) {
        RadioRegistry(group)[command_id] = this;
        m_registered = true;
    }
    return 1;
}

void CDuiRadio::Draw(QPainter& p)
{
    p.save();
    if (m_group == 1) {
        if (const QFont* f = ZrFontPool::Font(ZrFontPool::kMode))
            p.setFont(*f);
    } else if (m_group == 2) {
        if (const QFont* f = ZrFontPool::Font(ZrFontPool::kBase))
            p.setFont(*f);
    }
    const bool lit = m_checked || m_pressed;
    p.setPen(QColor::fromRgb(lit ? kActiveColour : kPlainColour));
    m_icon.DrawPart(p, m_rect.left, m_rect.top + 7, lit ? 0 : skin::kRadioFrameWidth, 0, skin::kRadioFrameWidth,
                    skin::kRadioFrameHeight);
    p.setBackgroundMode(Qt::TransparentMode);
    if (m_group == 1)
        DrawTextAt(p, m_rect.left + 20, m_rect.top + 5, m_text);
    else if (m_group == 2)
        DrawTextAt(p, m_rect.left + 20, m_rect.top + 7, m_text);
    p.restore();
}

int CDuiRadio::OnButtonDown(uint32_t, LPARAM pt)
{
    if (!m_parent || !m_rect.contains(PointX(pt), PointY(pt)))
        return 0;
    m_parent->SetHandCursor();
    m_pressed = true;
    if (m_checked)
        return 1;
    CDuiRadio* previous = nullptr;
    if (m_group == 1 || m_group == 2) {
        for (auto& [id, radio] : RadioRegistry(m_group)) {
            if (radio != this && radio->m_checked) {
                previous = radio;
                break;
            }
        }
    }
    m_checked = true;
    m_parent->Invalidate(m_rect, false);
    if (previous) {
        previous->m_checked = false;
        if (previous->m_parent)
            previous->m_parent->Invalidate(previous->m_rect, false);
    }
    m_parent->UpdateNow();
    return 1;
}

int CDuiRadio::OnButtonUp(uint32_t, LPARAM pt)
{
    if (!m_parent || !m_rect.contains(PointX(pt), PointY(pt)))
        return 0;
    m_parent->SetHandCursor();
    if (m_pressed) {
        m_pressed = false;
        if (m_id != kNoCommand)
            m_parent->SendMessage(WM_COMMAND, MakeWParam(m_id, 0), 0);
    }
    return 1;
}

int CDuiRadio::OnMouseMove(uint32_t, LPARAM pt)
{
    if (!m_parent || !m_rect.contains(PointX(pt), PointY(pt)))
        return 0;
    m_parent->SetHandCursor();
    return 1;
}

// ---- CDuiCheck ----

CDuiCheck::CDuiCheck()
{
    m_image = LoadSkinImage(skin::kCheck);
    m_bitmap = LoadSkinImage(skin::kCheckBmp);
}

CDuiCheck::~CDuiCheck()
{
    if (m_registered) {
        auto& registry = CheckRegistry();
        if (auto it = registry.find(m_id); it != registry.end() && it->second == this)
            registry.erase(it);
    }
}

int CDuiCheck::Create(ZrDialog* parent, int x, int y, int width, int height, const QString& text, int command_id)
{
    if (!parent)
        return 0;
    m_id = command_id;
    m_parent = parent;
    m_text = text;
    m_width = width;
    m_height = height;
    x = ResolveX(parent, x);
    y = ResolveY(parent, y);
    m_rect = ZrRect{x, y, x + width, y + height};
    CheckRegistry()[command_id] = this;
    m_registered = true;
    return 1;
}

void CDuiCheck::Draw(QPainter& p)
{
    p.save();
    if (const QFont* f = ZrFontPool::Font(ZrFontPool::kBase))
        p.setFont(*f);
    p.setPen(QColor::fromRgb(kPlainColour));
    const int n = skin::kCheckFrameSize;
    m_image.DrawRect(p, QRect(m_rect.left, m_rect.top + 7, n, n), QRect(m_ticked ? 0 : n, 0, n, n));
    p.setBackgroundMode(Qt::TransparentMode);
    DrawTextAt(p, m_rect.left + 20, m_rect.top + 7, m_text);
    p.restore();
}

int CDuiCheck::HandleButtonDown(LPARAM pt)
{
    if (!m_parent || !m_rect.contains(PointX(pt), PointY(pt)))
        return 0;
    m_ticked = !m_ticked;
    m_pressed = true;
    m_parent->Invalidate(m_rect, false);
    m_parent->UpdateNow();
    return 1;
}

int CDuiCheck::HandleButtonUp(LPARAM pt)
{
    if (!m_parent || !m_rect.contains(PointX(pt), PointY(pt)))
        return 0;
    if (m_pressed) {
        m_pressed = false;
        if (m_id != kNoCommand)
            m_parent->SendMessage(WM_COMMAND, MakeWParam(m_id, 0), 0);
    }
    return 1;
}

int CDuiCheck::HandleMouseMove(LPARAM pt)
{
    if (!m_parent || !m_rect.contains(PointX(pt), PointY(pt)))
        return 0;
    m_parent->SetHandCursor();
    return 1;
}

} // namespace zr
