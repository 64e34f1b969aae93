// What the progress dialog, its workers, the preview and the partition page
// reach in the main dialog. The main dialog implements it; the parts built
// on it never see the main dialog's class, so each can be tested with a host
// of its own.
#pragma once

#include <platform/win_types.h>
#include <salvor/scan/session.h>

#include <string>

struct BgDiskNode;
struct BgReader;

namespace zr {
class ZrDialog;
}

namespace salvor {

class QtResultTree;
class QtResultList;

// Messages the main dialog defines for itself.
constexpr uint32_t UM_SELECT_DEVICE = zr::WM_USER + 100; // wParam: disk index * 100 + partition index
constexpr uint32_t UM_RECOVERY_DONE = zr::WM_USER + 103; // wParam: 1 finished, 0 stopped by the user
constexpr uint32_t UM_IGNORED = zr::WM_USER + 104;       // answered as handled, does nothing

// The jobs of the progress dialog (3, 5 and 7 are not used).
enum ProgressKind : int {
    kProgressRawScan = 0,
    kProgressRawRecovery = 1,
    kProgressDeletedScan = 2,
    kProgressFormatScan = 4,
    kProgressPartitionSearch = 6,
    kProgressNtfsRecovery = 8,
    kProgressFatRecovery = 9,
    kProgressExt2Recovery = 10,
    kProgressExt3Recovery = 11,
    kProgressHfsRecovery = 12,
};

constexpr bool IsScanKind(int kind)
{
    return kind == kProgressRawScan || kind == kProgressDeletedScan || kind == kProgressFormatScan ||
           kind == kProgressPartitionSearch;
}
constexpr bool IsRecoveryKind(int kind) { return kind == kProgressRawRecovery || (kind >= 8 && kind <= 12); }

class MainHost {
public:
    virtual ~MainHost() = default;

    // The main dialog's window: owner of every box and dialog, target of
    // SendMessage/PostMessage (UM_RECOVERY_DONE), timers 3 and 4.
    virtual zr::ZrDialog& Window() = 0;
    virtual RecoveryMode Mode() const = 0;

    // The scan session: the chosen volume, the file-system code, the engine
    // and what it found, and the result views (session.tree and
    // session.list are the widgets below, behind the core's interfaces).
    virtual ScanSession& Session() = 0;
    virtual QtResultTree& TreeView() = 0;
    virtual QtResultList& ListView() = 0;
    // The loading indicator of the results page (timer 3).
    virtual LoadingState& Loading() = 0;

    // The folder recovered files go to ("<chosen>/ReVuvi Deverode").
    virtual std::string TargetFolder() const = 0;
    // The preview's temporary folder, ending in "/".
    virtual std::string TempFolder() const = 0;

    // Partition Recovery: the disks listed while the devices are open, the
    // first-column text of the selected disk-list row ("" when none), and
    // the device path of the disk that holds "/" ("" when unknown).
    virtual BgDiskNode* Disks() = 0;
    virtual std::string SelectedDiskRow() const = 0;
    virtual std::string SystemDisk() const = 0;

    // Runs the progress dialog modally with a job; returns when it has ended
    // and its worker has returned.
    virtual void RunProgress(ProgressKind kind) = 0;
    // The partition search of the progress dialog's worker (kind 6): the
    // main dialog hands it to the partition page.
    virtual void RunPartitionSearch(ProgressSink& progress) = 0;
};

} // namespace salvor
