#include "main_driver.h"

#include <blockgate/blockgate.h>

#include <QApplication>
#include <QMouseEvent>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <cstdlib>

namespace salvor_flow {

using namespace salvor;

BoxRecorder::BoxRecorder()
{
    zr::SetMessageBoxHook([this](int style, int mask, const QString& text, const QString& caption) {
        boxes.push_back({style, mask, text.toStdString(), caption.toStdString()});
        if (!answers.empty()) {
            const int answer = answers.front();
            answers.pop_front();
            return answer;
        }
        return (mask & zr::MSGBOX_YES) ? zr::IDC_MSGBOX_YES : zr::IDC_MSGBOX_OK;
    });
}

BoxRecorder::~BoxRecorder() { zr::SetMessageBoxHook(nullptr); }

bool BoxRecorder::Saw(const std::string& text) const
{
    for (const Box& b : boxes)
        if (b.text == text)
            return true;
    return false;
}

std::string BoxRecorder::All() const
{
    std::string s;
    for (const Box& b : boxes)
        s += "[" + b.text + "] ";
    return s;
}

MainDriver::MainDriver(const std::vector<std::filesystem::path>& images)
{
    bg_set_real_disks(0);
    bg_clear_images();
    for (const auto& image : images)
        EXPECT_EQ(bg_add_image(image.c_str()), 0) << image;
    TestDialogHooks().folder = [this] { return folder; };
    TestDialogHooks().open_url = [](const std::string&) {};
    m_dlg = new CMainDlg();
    m_dlg->InitDialog(nullptr);
    m_dlg->show();
}

MainDriver::~MainDriver()
{
    m_dlg->hide();
    delete m_dlg;
    TestDialogHooks().folder = nullptr;
    TestDialogHooks().open_url = nullptr;
    bg_clear_images();
}

void MainDriver::MoveTo(int x, int y)
{
    const QPointF local(x, y);
    QMouseEvent move(QEvent::MouseMove, local, m_dlg->mapToGlobal(local), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(m_dlg, &move);
}

void MainDriver::Click(int x, int y)
{
    MoveTo(x, y);
    const QPointF local(x, y);
    const QPointF global = m_dlg->mapToGlobal(local);
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(m_dlg, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(m_dlg, &release);
}

void MainDriver::ClickMode(RecoveryMode mode)
{
    // The mode radios at (98, 320), (250, 320), (405, 320), (595, 320).
    static const int x[] = {98, 250, 405, 595};
    const int i = mode == kModeDeleted ? 0 : mode == kModeFormat ? 1 : mode == kModePartition ? 2 : 3;
    Click(x[i] + 8, 320 + 8);
}

void MainDriver::ClickFileSystem(int index) { Click(130 + 100 * index + 6, m_dlg->ClientHeight() - 90 + 6); }
void MainDriver::ClickFileType(int index) { Click(130 + 100 * index + 6, m_dlg->ClientHeight() - 90 + 6); }

void MainDriver::ClickNext() { Click(m_dlg->ClientWidth() - 122 + 10, m_dlg->ClientHeight() - 65 + 10); }
void MainDriver::ClickScan() { Click(m_dlg->ClientWidth() - 122 + 10, m_dlg->ClientHeight() - 65 + 10); }
void MainDriver::ClickRecover() { Click(m_dlg->ClientWidth() - 122 + 10, m_dlg->ClientHeight() - 65 + 10); }
void MainDriver::ClickBack()
{
    const int x = m_dlg->Mode() == kModePartition ? 30 : m_dlg->ClientWidth() - 230;
    Click(x + 10, m_dlg->ClientHeight() - 65 + 10);
}
void MainDriver::ClickClose() { Click(m_dlg->ClientWidth() - 43 + 8, 3 + 8); }

bool MainDriver::ClickDeviceEntry(const std::string& text, int volume)
{
    // The disk's header names the image; its volumes follow it.
    int disk = -2;
    for (const DeviceEntry& e : m_dlg->Panel().entries)
        if (e.disk == -1 && e.text.find(text) != std::string::npos) {
            disk = e.index;
            break;
        }
    for (const DeviceEntry& e : m_dlg->Panel().entries) {
        if (e.disk != disk || e.index != volume)
            continue;
        // Panel coordinates to client coordinates: origin (25, 160), scrolled.
        const int x = (e.rect.left + e.rect.right) / 2 + kPanelLeft;
        const int y = (e.rect.top + e.rect.bottom) / 2 + kPanelTop - m_dlg->ScrollOffset();
        Click(x, y);
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
    QTest::mouseClick(tree.Widget()->viewport(), Qt::LeftButton, Qt::NoModifier, box.center());
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

} // namespace salvor_flow
