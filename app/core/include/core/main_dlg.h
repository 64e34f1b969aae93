// The main window of salvor: the mode page, the source page and the results
// page, the commands that move between them, and the services the progress
// dialog, the preview and the partition page reach through MainHost.
#pragma once

#include <devwatch/device_watcher.h>
#include <host/main_host.h>
#include <platform/zr_dialog.h>
#include <platform/zr_image.h>
#include <salvor/devices/catalogue.h>
#include <views/result_views.h>
#include <widgets/zr_widgets.h>

#include <QString>

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

class QMenu;
class QScrollBar;
class QWheelEvent;

namespace salvor {

class PartitionPage;

// Pages.
constexpr int kPageMode = 0;
constexpr int kPageSource = 1;
constexpr int kPageResults = 2;

// Command ids of the main window.
enum MainCommand : int {
    IDC_MODE_DELETED = 5000,
    IDC_MODE_FORMAT = 5001,
    IDC_MODE_PARTITION = 5002,
    IDC_MODE_RAW = 5003,
    IDC_FS_FAT12 = 5005,
    IDC_FS_FAT16 = 5006,
    IDC_FS_FAT32 = 5007,
    IDC_FS_NTFS = 5008,
    IDC_TYPE_PHOTO = 5100,
    IDC_TYPE_MUSIC = 5101,
    IDC_TYPE_VIDEO = 5102,
    IDC_TYPE_OTHERS = 5103,
    IDC_CLOSE = 6000,
    IDC_MINIMIZE = 6001,
    IDC_RECOVER = 6002,
    IDC_NEXT = 6012,
    IDC_BACK = 6013,
    IDC_SCAN = 6014,
    IDC_BACKUP_PARTITION = 6025,
    IDC_RESTORE_PARTITION = 6026,
    IDC_RECOVER_PARTITION = 6027,
    IDC_SELECT_ALL = 6028,
    IDC_SELECT_INVERSELY = 6029,
    IDC_MENU = 6030,
    // Popup menu items.
    ID_MENU_HOME = 32781,
    ID_MENU_ABOUT = 32784,
    ID_MENU_HELP = 32785,
    ID_MENU_EXIT = 32786,
};

// Control ids of the standard controls.
constexpr int IDC_RESULT_TREE = 1000;
constexpr int IDC_RESULT_LIST = 1001;
constexpr int IDC_DEVICE_SCROLL = 1002;
constexpr int IDC_DISK_LIST = 1006;

// Timer of the loading indicator (timer 4 belongs to the preview).
constexpr int IDT_LOADING = 3;

// Device-change events.
constexpr int kDeviceArrival = 0x8000;
constexpr int kDeviceRemoveComplete = 0x8004;

// The top band of the window from which it is dragged.
constexpr int kDragBandHeight = 110;
// The device panel: origin and visible height; a wheel notch scrolls 20.
constexpr int kPanelLeft = 25;
constexpr int kPanelTop = 160;
constexpr int kPanelWidth = 730;
constexpr int kPanelHeight = 240;
constexpr int kWheelStep = 20;

// The preview's temporary folder: "ReVuvi Deverode Temp/" under $TMPDIR
// (else /tmp), made or reused. A folder of that name that is not a folder
// of this user (a link, or another user's) is not used: the per-user name
// "ReVuvi Deverode Temp-<uid>/" is tried instead. "" when neither can be had.
std::string MakeTempFolder();
// Deletes every file of the folder (not its subfolders, links are removed
// as links, names starting with "." are kept). The folder stays.
void EmptyTempFolder(const std::string& folder);

// Why an image named on the command line cannot be added, in plain words.
std::string ImageOpenError(const std::string& path, int err);
// Why a disk cannot be read, in plain words (for the device panel).
std::string DiskOpenError(int err);

class CMainDlg final : public zr::ZrDialog, public MainHost {
public:
    CMainDlg();
    ~CMainDlg() override;

    // Runs the window modally; 6000 when the user left through the close
    // button or the Exit menu item.
    int Run(QWidget* owner);

    // Messages shown in boxes once the window is on screen (image arguments
    // that could not be added).
    void AddStartupMessage(const std::string& text) { m_startup_messages.push_back(text); }

    // A block device arrived (0x8000) or left (0x8004).
    void OnDeviceChange(int event);

    // MainHost.
    zr::ZrDialog& Window() override { return *this; }
    RecoveryMode Mode() const override { return m_mode; }
    ScanSession& Session() override { return m_session; }
    QtResultTree& TreeView() override { return m_tree; }
    QtResultList& ListView() override { return m_list; }
    LoadingState& Loading() override { return m_loading; }
    std::string TargetFolder() const override { return m_target_folder; }
    std::string TempFolder() const override { return m_temp_folder; }
    BgDiskNode* Disks() override { return m_devices_open ? bg_disk_list : nullptr; }
    std::string SelectedDiskRow() const override;
    std::string SystemDisk() const override { return m_system_disk_name; }
    void RunProgress(ProgressKind kind) override;
    void RunPartitionSearch(ProgressSink& progress) override;

    // What the pages show (for the tests and the screenshots).
    int Page() const { return m_page; }
    int FsCode() const { return m_session.fs_code; }
    const DevicePanel& Panel() const { return m_panel; }
    int ScrollOffset() const { return m_scroll; }
    QScrollBar* DeviceScrollBar() const { return m_scrollbar; }
    QtResultList& DiskList() { return m_disk_list; }
    const std::array<QString, 4>& InfoValues() const { return m_info; }
    const QString& Description() const { return m_description; }
    bool DevicesOpen() const { return m_devices_open > 0; }
    bool DeviceChangePending() const { return m_device_change_pending; }
    const DeviceWatcher* Watcher() const { return m_device_watcher.get(); }
    bool LoadingFlag() const { return m_loading_flag.load(); }
    zr::CZrduiBtn& Button(int id);
    zr::CDuiRadio& ModeRadio(int i) { return m_mode_radios[size_t(i)]; }
    zr::CDuiRadio& FsRadio(int i) { return m_fs_radios[size_t(i)]; }
    zr::CDuiCheck& TypeCheck(int i) { return m_type_checks[size_t(i)]; }
    PartitionPage& PartitionRecovery() { return *m_partition_page; }
    // The popup menu of the menu button, with its items.
    std::unique_ptr<QMenu> BuildPopupMenu();
    void OnMenuCommand(int id);
    // Where "Home" and "Help" lead.
    std::string HomeUrl() const;
    std::string GuideUrl() const;

protected:
    bool OnInitDialog() override;
    void OnPaint(QPainter& p) override;
    void OnTimer(int id) override;
    void OnCommand(int id) override;
    void OnLButtonDown(uint32_t flags, zr::LPARAM pt) override;
    void OnLButtonUp(uint32_t flags, zr::LPARAM pt) override;
    void OnLButtonDblClk(uint32_t flags, zr::LPARAM pt) override;
    void OnMouseMove(uint32_t flags, zr::LPARAM pt) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    class Loader final : public LoadingState {
    public:
        explicit Loader(CMainDlg& dlg) : m_dlg(dlg) {}
        void LoadingOn() override;
        void LoadingOff() override;

    private:
        CMainDlg& m_dlg;
    };

    // Commands.
    void OnModeRadio(int id);
    void OnNext();
    void OnBack();
    void OnScan();
    void OnRecoverPartition(bool from_button);
    void OnRecover();
    void OnLeave();
    void OnMinimize();
    void OnSelectAll();
    void OnSelectInversely();
    zr::LRESULT OnSelectDevice(zr::WPARAM wparam);
    zr::LRESULT OnRecoveryDone(zr::WPARAM wparam);
    void ContinueScan();
    void OnTreeSelectionChanged(NodeId node);

    // Devices.
    void OpenDevices();
    void ReleaseDevices();
    void BuildSourceViews();
    void SelectFirstPartition();
    void ReopenDevices(bool rebuild);
    void ShowScrollBarIfNeeded();
    // The device path of the disk the chosen volume lies on.
    std::string SourceDiskPath() const;
    bool AnythingChecked() const;

    // Layout and painting.
    void PlaceBack();
    void DrawDevicePanel(QPainter& p);
    void DrawInfoPanel(QPainter& p);
    void DrawLoading(QPainter& p);
    void InvalidatePanel();
    bool InPanel(int x, int y) const;
    int PanelEntryAt(int x, int y) const;
    void OpenUrl(const std::string& url);
    int Ask(int style, int mask, const char* text, const char* caption = "");

    RecoveryMode m_mode = kModeDeleted;
    int m_page = kPageMode;
    QString m_description;

    zr::ZrImage m_bg[3];
    zr::ZrImage m_loading_strip;
    zr::ZrImage m_drive_logo;
    zr::CZrduiBtn m_close, m_min, m_menu, m_next, m_back, m_scan, m_recover;
    zr::CZrduiBtn m_backup_par, m_restore_par, m_recover_par;
    zr::ZrWidgetList m_widgets;
    std::array<zr::CDuiRadio, 4> m_mode_radios;
    std::array<zr::CDuiRadio, 4> m_fs_radios;
    std::array<zr::CDuiCheck, 4> m_type_checks;
    zr::CZrduiLink m_select_all, m_select_inversely;

    QtResultTree m_tree;
    QtResultList m_list;
    QtResultList m_disk_list;
    QScrollBar* m_scrollbar = nullptr;
    ScanSession m_session;
    Loader m_loading;

    // Devices.
    int m_devices_open = 0;
    DevicePanel m_panel;
    std::vector<DiskRow> m_disk_rows;
    std::vector<std::string> m_disk_errors; // by disk header, "" when readable
    std::string m_system_disk_name;
    bool m_device_change_pending = false;
    // Block devices arriving and leaving (inert where netlink is closed).
    std::unique_ptr<DeviceWatcher> m_device_watcher;
    int m_scroll = 0;
    std::string m_source_name;
    std::array<QString, 4> m_info;

    // Loading indicator.
    std::atomic<bool> m_loading_flag{false};
    int m_loading_frame = 0;

    std::string m_target_folder;
    std::string m_temp_folder;
    std::vector<std::string> m_startup_messages;

    // Partition Recovery: backup, restore, search and rebuild.
    std::unique_ptr<PartitionPage> m_partition_page;
};

} // namespace salvor
