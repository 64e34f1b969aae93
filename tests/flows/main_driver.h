// The main window on a set of disk images, driven through the helpers of
// tests/gui/gui_driver.h: real mouse events at the window's designed
// coordinates, message boxes and the folder dialog answered by hooks.
#pragma once

#include "gui_driver.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace salvor_flow {

class MainDriver {
public:
    // The window, set up and shown (offscreen), with the images of `images`
    // as its only devices (the machine's disks are left out).
    explicit MainDriver(const std::vector<std::filesystem::path>& images);
    ~MainDriver();
    MainDriver(const MainDriver&) = delete;
    MainDriver& operator=(const MainDriver&) = delete;

    salvor::CMainDlg& Dialog() { return *m_dlg; }

    void MoveTo(int x, int y);
    void ClickMode(salvor::RecoveryMode mode);
    void ClickFileSystem(int index); // 0 FAT12 .. 3 NTFS (Format Recovery)
    void ClickFileType(int index);   // 0 Photo .. 3 Others (Raw Recovery)
    void ClickNext() { salvor_gui::ClickButton(*m_dlg, salvor::IDC_NEXT); }
    void ClickScan() { salvor_gui::ClickButton(*m_dlg, salvor::IDC_SCAN); }
    void ClickRecover() { salvor_gui::ClickButton(*m_dlg, salvor::IDC_RECOVER); }
    // Clicks volume `volume` of the disk whose header contains `text` (an
    // image's file name); false when there is none.
    bool ClickDeviceEntry(const std::string& text, int volume = 0);
    // Ticks the check box of the tree's root node (the scanned volume).
    bool TickTreeRoot();
    // Runs the event loop until `done` or `ms` passed; returns `done()`.
    bool WaitFor(const std::function<bool()>& done, int ms = 60000);
    // Runs the event loop until the results page shows its tree.
    bool WaitForResults();
    bool Saw(const std::string& text) const;
    std::string Boxes() const;

    salvor_gui::BoxRecorder recorder;
    // folder: what the folder dialog of Recover answers.
    salvor_gui::DialogSeams seams;

private:
    std::unique_ptr<salvor::CMainDlg> m_dlg;
};

} // namespace salvor_flow
