// Drives the main window the way a user does: real mouse events at the
// window's designed coordinates, the folder dialog and the message boxes
// answered by hooks, and the event loop run while jobs finish.
#pragma once

#include <core/main_dlg.h>
#include <host/test_hooks.h>
#include <shell/msgbox.h>

#include <QString>

#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace salvor_flow {

struct Box {
    int style = 0;
    int mask = 0;
    std::string text;
    std::string caption;
};

// Every message box shown, answered from a queue (OK or Yes when empty).
class BoxRecorder {
public:
    BoxRecorder();
    ~BoxRecorder();
    std::vector<Box> boxes;
    std::deque<int> answers;
    bool Saw(const std::string& text) const;
    std::string All() const;
};

class MainDriver {
public:
    // The window, set up and shown (offscreen), with the images of `images`
    // as its only devices (the machine's disks are left out).
    explicit MainDriver(const std::vector<std::filesystem::path>& images);
    ~MainDriver();

    salvor::CMainDlg& Dialog() { return *m_dlg; }

    void MoveTo(int x, int y);
    void Click(int x, int y);
    // A point inside each designed widget (its top-left plus a few pixels).
    void ClickMode(salvor::RecoveryMode mode);
    void ClickFileSystem(int index);  // 0 FAT12 .. 3 NTFS (Format Recovery)
    void ClickFileType(int index);    // 0 Photo .. 3 Others (Raw Recovery)
    void ClickNext();
    void ClickScan();
    void ClickRecover();
    void ClickBack();
    void ClickClose();
    // Clicks volume `volume` of the disk whose header contains `text`
    // (an image's file name); false when there is none.
    bool ClickDeviceEntry(const std::string& text, int volume = 0);
    // Ticks the check box of the tree's root node (the scanned volume).
    bool TickTreeRoot();
    // Runs the event loop until `done` or `ms` passed; returns `done()`.
    bool WaitFor(const std::function<bool()>& done, int ms = 60000);
    // Runs the event loop until the results page shows its tree.
    bool WaitForResults();

    BoxRecorder recorder;
    // What the folder dialog of Recover answers.
    std::optional<std::string> folder;

private:
    salvor::CMainDlg* m_dlg = nullptr;
};

} // namespace salvor_flow
