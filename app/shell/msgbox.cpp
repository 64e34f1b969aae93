#include <shell/msgbox.h>

#include <widgets/font_pool.h>
#include <widgets/skin.h>

#include <QFontMetrics>
#include <QPainter>

namespace zr {

MsgTextLayout MsgBoxTextLayout(int w)
{
    MsgTextLayout layout;
    if (w < 0)
        w = 0;
    const int lines = w / 255 + 1;
    if (lines == 1) {
        layout.rect = QRect(QPoint(70, 60), QPoint(70 + w - 1, 99));
        layout.vcentre = true;
    } else if (lines == 2) {
        layout.rect = QRect(QPoint(60, 65), QPoint(324, 104));
        layout.wrap = true;
    } else if (lines == 3) {
        layout.rect = QRect(QPoint(60, 60), QPoint(324, 104));
        layout.wrap = true;
    } else {
        // Very long texts stay on one measured line.
        layout.rect = QRect(70, 60, w, 40);
    }
    return layout;
}

CMsgBox::CMsgBox() : ZrDialog(IDD_MSGBOX) {}

void CMsgBox::CreateButton(CZrduiBtn& button, const char* image, int id, int x, bool visible)
{
    button.SetImage(ResolveImage(image), true);
    button.Attach(this, id);
    button.Place(x, kButtonY);
    button.SetVisible(visible ? 1 : 0);
    m_widgets.Add(&button);
}

bool CMsgBox::OnInitDialog()
{
    m_background = LoadSkinImage(skin::kMsgBoxBk);
    // The caption is not drawn; it only names the window for the desktop.
    setWindowTitle(m_caption);
    move(0, 0);
    SetClientSize(m_background.Width(), m_background.Height());
    CenterOver(Owner());
    SetRoundedRegion(ClientWidth() + 1, ClientHeight() + 1, 5);

    m_close.SetImage(ResolveImage(skin::kClose), true);
    m_close.Attach(this, IDC_MSGBOX_CLOSE);
    m_close.Place(ClientWidth() - 39, 5);
    m_close.SetVisible(1);
    m_widgets.Add(&m_close);
    CreateButton(m_ok, skin::kOk, IDC_MSGBOX_OK, m_mask == (MSGBOX_OK | MSGBOX_CANCEL) ? 70 : 120, m_mask & MSGBOX_OK);
    CreateButton(m_yes, skin::kYes, IDC_MSGBOX_YES, 70, m_mask & MSGBOX_YES);
    CreateButton(m_cancel, skin::kCancel, IDC_MSGBOX_CANCEL, 190, m_mask & MSGBOX_CANCEL);
    CreateButton(m_no, skin::kNo, IDC_MSGBOX_NO, 190, m_mask & MSGBOX_NO);

    const char* icons[] = {skin::kWarn, skin::kError, skin::kInfo, skin::kRight};
    m_icon.Dispose();
    if (m_style >= 0 && m_style < 4)
        m_icon = LoadSkinImage(icons[m_style]);
    return true;
}

void CMsgBox::OnPaint(QPainter& p)
{
    m_background.Draw(p, QRect(0, 0, ClientWidth(), ClientHeight()));
    m_icon.Draw(p, kIconRect);

    p.save();
    if (const QFont* f = ZrFontPool::Font(ZrFontPool::kText))
        p.setFont(*f);
    p.setPen(Qt::black);
    p.setBackgroundMode(Qt::TransparentMode);
    const QFontMetrics fm(p.font());
    m_layout = MsgBoxTextLayout(fm.horizontalAdvance(m_text));
    if (m_layout.wrap)
        p.drawText(m_layout.rect, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, m_text);
    else if (m_layout.vcentre)
        p.drawText(m_layout.rect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, m_text);
    else
        p.drawText(m_layout.rect, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, m_text);
    p.restore();

    m_widgets.DrawAll(p);
}

void CMsgBox::OnCommand(int id)
{
    switch (id) {
    case IDC_MSGBOX_CLOSE:
    case IDC_MSGBOX_YES:
    case IDC_MSGBOX_NO:
    case IDC_MSGBOX_OK:
    case IDC_MSGBOX_CANCEL:
        EndDialog(id);
        break;
    case IDCANCEL:
        // Escape answers like the close button, so a box is never stuck on
        // screen even when its skin is missing.
        EndDialog(IDC_MSGBOX_CLOSE);
        break;
    default:
        break;
    }
}

void CMsgBox::OnLButtonDown(uint32_t flags, LPARAM pt)
{
    m_widgets.ButtonDown(flags, pt);
    if (!m_widgets.HitAny(pt))
        BeginDrag();
}

void CMsgBox::OnLButtonUp(uint32_t flags, LPARAM pt) { m_widgets.ButtonUp(flags, pt); }
void CMsgBox::OnLButtonDblClk(uint32_t flags, LPARAM pt) { m_widgets.DoubleClick(flags, pt); }
void CMsgBox::OnMouseMove(uint32_t flags, LPARAM pt) { m_widgets.MouseMove(flags, pt); }

namespace {
MessageBoxHook& Hook()
{
    static MessageBoxHook hook;
    return hook;
}
} // namespace

void SetMessageBoxHook(MessageBoxHook hook) { Hook() = std::move(hook); }

int ShowMessageBox(QWidget* owner, int style, int mask, const QString& text, const QString& caption)
{
    if (Hook())
        return Hook()(style, mask, text, caption);
    CMsgBox box;
    box.SetStyle(style);
    box.SetMask(mask);
    box.SetText(text);
    box.SetCaption(caption);
    return box.RunModal(owner);
}

} // namespace zr
