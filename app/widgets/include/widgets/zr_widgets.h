// The skinned widget kit: window-less widgets that live inside a ZrDialog,
// paint themselves into the dialog's back buffer and react to the mouse
// messages the dialog forwards. A click is reported to the dialog as
// WM_COMMAND with the widget's command id (never for id -1).
#pragma once

#include <platform/win_types.h>
#include <platform/zr_dialog.h>
#include <platform/zr_image.h>

#include <QColor>
#include <QString>

#include <map>
#include <vector>

class QPainter;
class QFont;

namespace zr {

constexpr int kNoCommand = -1;

// Resolves a coordinate below 0 against the parent's client size: it counts
// from the right (or bottom) edge.
int ResolveX(const ZrDialog* parent, int x);
int ResolveY(const ZrDialog* parent, int y);

// Draws text with its top-left corner at (x, y), on one line.
void DrawTextAt(QPainter& p, int x, int y, const QString& text);

class ZrObject {
public:
    virtual ~ZrObject() = default;
    // The root refuses to be created.
    virtual int Create() { return 0; }
};

class CZrWindow : public ZrObject {
public:
    virtual int Draw(QPainter&) { return 0; }
    virtual int OnDoubleClick(uint32_t, LPARAM) { return 0; }
    virtual int OnButtonDown(uint32_t, LPARAM) { return 0; }
    virtual int OnButtonUp(uint32_t, LPARAM) { return 0; }
    virtual int OnMouseMove(uint32_t, LPARAM) { return 0; }

    const ZrRect& Rect() const { return m_rect; }
    // True when the widget is shown and the point lies in its rectangle.
    virtual bool HitTest(int x, int y) const { return m_rect.contains(x, y); }

protected:
    ZrRect m_rect;
};

// Image button drawn from a strip of three frames: normal, hover, pressed.
class CZrduiBtn : public CZrWindow {
public:
    enum State { kNormal = 0, kHover = 1, kPressed = 2 };

    CZrduiBtn() = default;
    ~CZrduiBtn() override = default;

    // as_image: true draws the frames one pixel per pixel, false loads a bitmap
    // whose frame is stretched over the rectangle.
    bool SetImage(const QString& path, bool as_image = true);
    void Attach(ZrDialog* parent, int command_id);
    void Place(int x, int y);
    void SetVisible(int flag);
    void SetEnabled(int flag) { m_enabled = flag & 1; }

    int Draw(QPainter& p) override;
    int OnDoubleClick(uint32_t flags, LPARAM pt) override;
    int OnButtonDown(uint32_t flags, LPARAM pt) override;
    int OnButtonUp(uint32_t flags, LPARAM pt) override;
    int OnMouseMove(uint32_t flags, LPARAM pt) override;
    bool HitTest(int x, int y) const override { return m_visible && m_rect.contains(x, y); }

    int State() const { return m_state; }
    bool Pressed() const { return m_pressed; }
    bool Visible() const { return m_visible; }
    bool Enabled() const { return m_enabled; }
    int CommandId() const { return m_id; }
    int FrameWidth() const { return m_frame_width; }
    int FrameHeight() const { return m_frame_height; }
    ZrDialog* Parent() const { return m_parent; }

private:
    bool Inert() const { return !m_visible || !m_enabled; }
    void Repaint();

    int m_kind = 1;
    ZrImage m_image;
    int m_frame_count = 3;
    ZrDialog* m_parent = nullptr;
    int m_frame_width = 0;
    int m_frame_height = 0;
    bool m_pressed = false;
    int m_id = kNoCommand;
    bool m_visible = true;
    bool m_enabled = true;
    int m_state = kNormal;
};

// Text link: green text that brightens under the mouse.
class CZrduiLink : public CZrWindow {
public:
    static constexpr QRgb kNormalColour = 0xFF00BE00;
    static constexpr QRgb kHoverColour = 0xFF00D200;

    using ZrObject::Create;
    bool Create(ZrDialog* parent, const QString& text, int x, int y, int command_id);

    int Draw(QPainter& p) override;
    int OnDoubleClick(uint32_t flags, LPARAM pt) override;
    int OnButtonDown(uint32_t flags, LPARAM pt) override;
    int OnButtonUp(uint32_t flags, LPARAM pt) override;
    int OnMouseMove(uint32_t flags, LPARAM pt) override;
    bool HitTest(int x, int y) const override { return m_visible && m_rect.contains(x, y); }

    void SetVisible(int flag) { m_visible = flag & 1; }
    bool Hover() const { return m_hover; }
    bool Pressed() const { return m_pressed; }
    const QString& Text() const { return m_text; }

private:
    QString m_text;
    ZrDialog* m_parent = nullptr;
    const QFont* m_font = nullptr;
    bool m_hover = false;
    bool m_pressed = false;
    bool m_visible = true;
    int m_id = kNoCommand;
};

// Progress bar drawn from a frame bitmap and a fill bitmap by edge pieces.
class CDuiProgressBar : public CZrWindow {
public:
    bool LoadBitmaps(const QString& frame_path, const QString& fill_path);
    void SetRect(const ZrRect& r) { m_rect = r; }
    int Draw(QPainter& p) override;

    int position = 0;
    int maximum = 100;
    bool visible = true;

private:
    ZrImage m_frame;
    ZrImage m_fill;
};

// Radio button; groups 1 and 2 are registered so that pressing one member
// unchecks the other members of its group.
class CDuiRadio {
public:
    CDuiRadio();
    virtual ~CDuiRadio();
    CDuiRadio(const CDuiRadio&) = delete;
    CDuiRadio& operator=(const CDuiRadio&) = delete;

    virtual int Create(ZrDialog* parent, int x, int y, int width, int height, const QString& text, int command_id,
                       int group);
    virtual void Draw(QPainter& p);
    virtual int OnButtonDown(uint32_t flags, LPARAM pt);
    virtual int OnButtonUp(uint32_t flags, LPARAM pt);
    virtual int OnMouseMove(uint32_t flags, LPARAM pt);

    void SetChecked(bool checked) { m_checked = checked; }
    bool Checked() const { return m_checked; }
    bool Pressed() const { return m_pressed; }
    int Group() const { return m_group; }
    int CommandId() const { return m_id; }
    const ZrRect& Rect() const { return m_rect; }
    bool IconLoaded() const { return m_icon.Loaded(); }

private:
    ZrImage m_icon;
    ZrImage m_bitmap; // loaded with the radio, never drawn
    QString m_text;
    ZrRect m_rect;
    int m_id = kNoCommand;
    bool m_checked = false;
    bool m_pressed = false;
    ZrDialog* m_parent = nullptr;
    int m_width = 140;
    int m_height = 30;
    int m_group = 0;
    bool m_registered = false;
};

// Check box; its owner forwards the mouse to it through the Handle* helpers.
class CDuiCheck {
public:
    CDuiCheck();
    ~CDuiCheck();
    CDuiCheck(const CDuiCheck&) = delete;
    CDuiCheck& operator=(const CDuiCheck&) = delete;

    int Create(ZrDialog* parent, int x, int y, int width, int height, const QString& text, int command_id);
    void Draw(QPainter& p);

    // Owner input: a press inside toggles the tick and repaints at once; a
    // release inside a pressed box sends the command; a move inside shows the
    // hand cursor. Each returns 1 when the point was inside.
    int HandleButtonDown(LPARAM pt);
    int HandleButtonUp(LPARAM pt);
    int HandleMouseMove(LPARAM pt);

    void SetTicked(bool ticked) { m_ticked = ticked; }
    bool Ticked() const { return m_ticked; }
    bool Pressed() const { return m_pressed; }
    int CommandId() const { return m_id; }
    const ZrRect& Rect() const { return m_rect; }

private:
    ZrImage m_image;
    ZrImage m_bitmap; // loaded with the box, never drawn
    QString m_text;
    ZrRect m_rect;
    int m_id = kNoCommand;
    bool m_ticked = true;
    bool m_pressed = false;
    ZrDialog* m_parent = nullptr;
    int m_width = 140;
    int m_height = 30;
    bool m_registered = false;
};

// Process-wide registries from command id to widget.
std::map<int, CDuiRadio*>& RadioRegistry(int group); // groups 1 and 2
std::map<int, CDuiCheck*>& CheckRegistry();

// A dialog's widgets in creation order: drawn in that order, and every mouse
// message goes to each of them in that order.
class ZrWidgetList {
public:
    void Add(CZrWindow* widget);
    void Clear() { m_widgets.clear(); }
    size_t Size() const { return m_widgets.size(); }
    CZrWindow* At(size_t i) const { return m_widgets[i]; }

    void DrawAll(QPainter& p) const;
    void MouseMove(uint32_t flags, LPARAM pt) const;
    void ButtonDown(uint32_t flags, LPARAM pt) const;
    void ButtonUp(uint32_t flags, LPARAM pt) const;
    void DoubleClick(uint32_t flags, LPARAM pt) const;
    // True when the point lies on a shown widget.
    bool HitAny(LPARAM pt) const;

private:
    std::vector<CZrWindow*> m_widgets;
};

} // namespace zr
