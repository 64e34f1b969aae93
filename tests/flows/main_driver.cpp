#include "main_driver.h"

#include <blockgate/blockgate.h>

namespace salvor_flow {

using namespace salvor;

MainDriver::MainDriver(const std::vector<std::filesystem::path>& images)
{
    bg_set_real_disks(0);
    bg_clear_images();
    for (const auto& image : images)
        EXPECT_EQ(bg_add_image(image.c_str()), 0) << image;
    m_dlg = std::make_unique<CMainDlg>();
    m_dlg->InitDialog(nullptr);
    m_dlg->show();
}

MainDriver::~MainDriver()
{
    m_dlg->hide();
    m_dlg.reset();
    bg_clear_images();
}

void MainDriver::MoveTo(int x, int y) { salvor_gui::SendMouse(m_dlg.get(), QEvent::MouseMove, x, y, Qt::NoButton); }

void MainDriver::ClickMode(RecoveryMode mode)
{
    const QPoint p = salvor_gui::ModeRadio(int(mode == kModeDeleted ? 1 : mode == kModeFormat ? 2 : mode == kModePartition ? 3 : 4));
    salvor_gui::ClickAt(m_dlg.get(), p.x(), p.y());
}

void MainDriver::ClickFileSystem(int index)
{
    const QPoint p = salvor_gui::FsRadio(*m_dlg, index);
    salvor_gui::ClickAt(m_dlg.get(), p.x(), p.y());
}

void MainDriver::ClickFileType(int index)
{
    const QPoint p = salvor_gui::TypeCheckBox(*m_dlg, index);
    salvor_gui::ClickAt(m_dlg.get(), p.x(), p.y());
}

bool MainDriver::ClickDeviceEntry(const std::string& text, int volume)
{
    // The disk's header names the image; its volumes follow it.
    for (const DeviceEntry& e : m_dlg->Panel().entries) {
        if (e.disk != -1 || e.text.find(text) == std::string::npos)
            continue;
        const auto p = salvor_gui::EntryPoint(*m_dlg, e.index, volume);
        if (!p)
            return false;
        salvor_gui::ClickAt(m_dlg.get(), p->x(), p->y());
        return true;
    }
    return false;
}

bool MainDriver::TickTreeRoot()
{
    QtResultTree& tree = m_dlg->TreeView();
    const NodeId root = tree.FirstRoot();
    if (!root)
        return false;
    const QRect box = tree.CheckBoxRect(root);
    if (box.isEmpty())
        return false;
    salvor_gui::ClickBox(tree.Widget(), box);
    return tree.CheckState(root) == kChecked;
}

bool MainDriver::WaitFor(const std::function<bool()>& done, int ms) { return QTest::qWaitFor(done, ms); }

bool MainDriver::WaitForResults()
{
    return WaitFor([this] {
        return m_dlg->Page() == kPageResults && !m_dlg->LoadingFlag() && m_dlg->TreeView().Widget()->isVisible() &&
               m_dlg->TreeView().FirstRoot() != 0;
    });
}

bool MainDriver::Saw(const std::string& text) const
{
    for (const auto& b : recorder.boxes)
        if (b.text == text)
            return true;
    return false;
}

std::string MainDriver::Boxes() const
{
    std::string s;
    for (const auto& b : recorder.boxes)
        s += "[" + b.text + "] ";
    return s;
}

} // namespace salvor_flow
