// The skinned message box through which the program asks and tells the user
// everything, and the free function that runs it.
#pragma once

#include <platform/zr_dialog.h>
#include <resources/app_resources.h>
#include <platform/zr_image.h>
#include <widgets/zr_widgets.h>

#include <QString>

#include <functional>

namespace zr {

// Icon styles.
constexpr int MSGBOX_WARNING = 0;
constexpr int MSGBOX_ERROR = 1;
constexpr int MSGBOX_INFO = 2;
constexpr int MSGBOX_SUCCESS = 3;

// Button mask bits.
constexpr int MSGBOX_OK = 1;
constexpr int MSGBOX_YES = 2;
constexpr int MSGBOX_CANCEL = 4;
constexpr int MSGBOX_NO = 8;

// Results: the command id of the button that closed the box.
constexpr int IDC_MSGBOX_CLOSE = 6000;
constexpr int IDC_MSGBOX_YES = 6015;
constexpr int IDC_MSGBOX_NO = 6016;
constexpr int IDC_MSGBOX_OK = 6017;
constexpr int IDC_MSGBOX_CANCEL = 6018;

// Where the message text goes for a single-line width w (in pixels).
struct MsgTextLayout {
    QRect rect;
    bool wrap = false;     // word-wrapped in the rectangle
    bool vcentre = false;  // one line, vertically centred
};
MsgTextLayout MsgBoxTextLayout(int single_line_width);

class CMsgBox : public ZrDialog {
public:
    static constexpr int kButtonY = 125;
    static constexpr QRect kIconRect{15, 60, 40, 40};

    CMsgBox();
    ~CMsgBox() override = default;

    void SetStyle(int style) { m_style = style; }
    void SetMask(int mask) { m_mask = mask; }
    void SetText(const QString& text) { m_text = text; }
    void SetCaption(const QString& caption) { m_caption = caption; }
    const QString& Caption() const { return m_caption; }

    CZrduiBtn& CloseButton() { return m_close; }
    CZrduiBtn& OkButton() { return m_ok; }
    CZrduiBtn& YesButton() { return m_yes; }
    CZrduiBtn& CancelButton() { return m_cancel; }
    CZrduiBtn& NoButton() { return m_no; }
    const ZrWidgetList& Widgets() const { return m_widgets; }
    bool IconLoaded() const { return m_icon.Loaded(); }
    // The text placement of the last paint.
    const MsgTextLayout& LastTextLayout() const { return m_layout; }

protected:
    bool OnInitDialog() override;
    void OnPaint(QPainter& p) override;
    void OnCommand(int id) override;
    void OnLButtonDown(uint32_t flags, LPARAM pt) override;
    void OnLButtonUp(uint32_t flags, LPARAM pt) override;
    void OnLButtonDblClk(uint32_t flags, LPARAM pt) override;
    void OnMouseMove(uint32_t flags, LPARAM pt) override;

private:
    void CreateButton(CZrduiBtn& button, const char* image, int id, int x, bool visible);

    ZrImage m_background;
    ZrImage m_icon;
    int m_style = MSGBOX_WARNING;
    int m_mask = MSGBOX_OK;
    CZrduiBtn m_close;
    CZrduiBtn m_ok;
    CZrduiBtn m_yes;
    CZrduiBtn m_cancel;
    CZrduiBtn m_no;
    ZrWidgetList m_widgets;
    QString m_text;
    QString m_caption;
    MsgTextLayout m_layout;
};

// Shows a modal message box over owner (null: the active window) and
// returns the id of the button that closed it.
int ShowMessageBox(QWidget* owner, int style, int mask, const QString& text, const QString& caption);

// Tests of whole flows answer the boxes through a hook: when set, it is
// called instead of showing the box and its result is the pressed button.
using MessageBoxHook = std::function<int(int style, int mask, const QString& text, const QString& caption)>;
void SetMessageBoxHook(MessageBoxHook hook);

} // namespace zr
