#include <shell/about_dialog.h>

#include <widgets/font_pool.h>
#include <widgets/skin.h>

#include <QPainter>

#ifndef SALVOR_VERSION
#define SALVOR_VERSION "0"
#endif

namespace zr {

CAboutDialog::CAboutDialog(ZrDialog* main_dialog) : ZrDialog(IDD_ABOUT), m_main(main_dialog) {}

QString CAboutDialog::AboutText() { return QStringLiteral("salvor version %1").arg(QStringLiteral(SALVOR_VERSION)); }

int CAboutDialog::Run(QWidget* owner)
{
    RunModal(owner);
    return 1;
}

bool CAboutDialog::OnInitDialog()
{
    m_background = LoadSkinImage(skin::kAboutBg);
    // The dialog is 30 pixels wider than its background image.
    SetClientSize(m_background.Loaded() ? m_background.Width() + 30 : 0, m_background.Height());
    CenterOver(Owner());
    SetRoundedRegion(ClientWidth() + 1, ClientHeight() + 1, 5);

    m_close.SetImage(ResolveImage(skin::kClose), true);
    m_close.Attach(this, IDC_ABOUT_CLOSE);
    m_close.Place(ClientWidth() - 38, 2);
    m_ok.SetImage(ResolveImage(skin::kOk), true);
    m_ok.Attach(this, IDC_ABOUT_OK);
    m_ok.Place(158, 200);
    return true;
}

void CAboutDialog::OnPaint(QPainter& p)
{
    m_background.Draw(p, QRect(0, 0, ClientWidth(), ClientHeight()));
    p.save();
    if (const QFont* f = ZrFontPool::Font(ZrFontPool::kText))
        p.setFont(*f);
    p.setPen(QColor(0x4C, 0x53, 0x59));
    p.setBackgroundMode(Qt::TransparentMode);
    p.drawText(QRect(kTextRect.left, kTextRect.top, kTextRect.width(), kTextRect.height()),
               Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine, AboutText());
    p.restore();
    m_close.Draw(p);
    m_ok.Draw(p);
}

void CAboutDialog::OnCommand(int id)
{
    if (id == IDC_ABOUT_CLOSE || id == IDC_ABOUT_OK || id == IDCANCEL)
        EndDialog(1);
}

void CAboutDialog::OnLButtonDown(uint32_t flags, LPARAM pt)
{
    if (kCloseArea.contains(PointX(pt), PointY(pt))) {
        EndDialog(1);
        return;
    }
    m_close.OnButtonDown(flags, pt);
    m_ok.OnButtonDown(flags, pt);
    if (!m_close.HitTest(PointX(pt), PointY(pt)) && !m_ok.HitTest(PointX(pt), PointY(pt)))
        BeginDrag();
}

void CAboutDialog::OnLButtonUp(uint32_t flags, LPARAM pt)
{
    m_close.OnButtonUp(flags, pt);
    m_ok.OnButtonUp(flags, pt);
}

void CAboutDialog::OnLButtonDblClk(uint32_t flags, LPARAM pt)
{
    m_close.OnDoubleClick(flags, pt);
    m_ok.OnDoubleClick(flags, pt);
}

void CAboutDialog::OnMouseMove(uint32_t flags, LPARAM pt)
{
    m_close.OnMouseMove(flags, pt);
    m_ok.OnMouseMove(flags, pt);
    if (kCloseArea.contains(PointX(pt), PointY(pt)))
        SetHandCursor();
}

} // namespace zr
