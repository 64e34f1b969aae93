// The main window: pages, commands, devices, painting and mouse routing.
#include <core/main_dlg.h>

#include <host/test_hooks.h>
#include <partpage/partition_page.h>
#include <progress/progress_dlg.h>
#include <resources/app_resources.h>
#include <salvor/recovery/recovery.h>
#include <salvor/recovery/target_check.h>
#include <salvor/scan/check_rules.h>
#include <salvor/scan/drivers.h>
#include <salvor/scan/text.h>
#include <shell/about_dialog.h>
#include <shell/msgbox.h>
#include <widgets/font_pool.h>
#include <widgets/skin.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QWheelEvent>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#ifndef SALVOR_HOME_URL
#define SALVOR_HOME_URL ""
#endif

namespace salvor {

namespace {

const char* const kTempFolderName = "ReVuvi Deverode Temp";
const char* const kRecoveryFolderName = "ReVuvi Deverode";

const QColor kDescriptionColour(0x50, 0x5A, 0x64);
const QColor kInfoColour(0x50, 0x50, 0x5A);
const QColor kEntryBackground(0xF2, 0xFD, 0xED);
const QColor kEntrySelected(0xB6, 0xD7, 0xEE);

const char* const kModeTexts[4] = {
    "Delete Recovery can recover all deleted files including photos, video, audio, etc from partition and "
    "removable disks.",
    "Format Recovery can recover files from formatted partition/drive, USB drive, Zip drive and all camera "
    "flash memory card including SD card, CF card, XD card, Multi-media card, etc.\n\nPlease select the file "
    "system:",
    "Partition Recovery can rebuild damaged partition table, backup and restore partition table as well as "
    "recover all lost data in partition/drive.",
    "Raw Recovery allows you to recover files from seriously damaged file system including FAT12, FAT16, "
    "FAT32, NTFS, HFS, HFSP, EXT2, EXT3. If you failed to recover files with Deleted Reovery and Format "
    "Recovery, please try this option.\n\nPlease select the file type to scan:",
};

const char* const kInfoLabels[4] = {"Disk partition:", "File system:", "Capacity:", "Free space:"};

QString qs(const std::string& s)
{
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

void set_font(QPainter& p, uint16_t key)
{
    if (const QFont* f = zr::ZrFontPool::Font(key))
        p.setFont(*f);
}

// The mount point of the file system on block device `dev` ("" when none).
std::string mount_point_of(dev_t dev)
{
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    const std::string want = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string id, parent, majmin, root, point;
        f >> id >> parent >> majmin >> root >> point;
        if (majmin != want)
            continue;
        // mountinfo writes blanks and a few others as \ooo.
        std::string out;
        for (size_t i = 0; i < point.size(); ++i) {
            const bool octal = point[i] == '\\' && i + 3 < point.size() && point[i + 1] >= '0' && point[i + 1] <= '3' &&
                               point[i + 2] >= '0' && point[i + 2] <= '7' && point[i + 3] >= '0' && point[i + 3] <= '7';
            if (octal) {
                out += char((point[i + 1] - '0') * 64 + (point[i + 2] - '0') * 8 + (point[i + 3] - '0'));
                i += 3;
            } else {
                out += point[i];
            }
        }
        return out;
    }
    return {};
}

// Free bytes of the volume whose reader names a block device, when it is
// mounted; -1 otherwise.
int64_t free_space_of(const BgVolume* volume)
{
    if (!volume || !volume->reader || !volume->reader->name)
        return -1;
    struct stat st {};
    if (::stat(volume->reader->name, &st) != 0 || !S_ISBLK(st.st_mode))
        return -1;
    const std::string point = mount_point_of(st.st_rdev);
    if (point.empty())
        return -1;
    struct statvfs vfs {};
    if (::statvfs(point.c_str(), &vfs) != 0)
        return -1;
    return int64_t(uint64_t(vfs.f_bavail) * uint64_t(vfs.f_frsize));
}

} // namespace

// ---- start-up helpers ----------------------------------------------------

namespace {

// An existing folder of this user that is not a link; -1 otherwise.
int open_own_folder(std::string path)
{
    // A trailing "/" would make the last component resolve through a link.
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool make_own_folder(const std::string& path)
{
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    const int fd = open_own_folder(path);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

} // namespace

std::string MakeTempFolder()
{
    std::string base = qEnvironmentVariable("TMPDIR").toStdString();
    if (base.empty())
        base = "/tmp";
    if (base.back() != '/')
        base += '/';
    const std::string designed = base + kTempFolderName;
    if (make_own_folder(designed))
        return designed + "/";
    const std::string own = designed + "-" + std::to_string(::geteuid());
    if (make_own_folder(own))
        return own + "/";
    return {};
}

void EmptyTempFolder(const std::string& folder)
{
    if (folder.empty())
        return;
    const int fd = open_own_folder(folder);
    if (fd < 0)
        return;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    std::vector<std::string> names;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        struct stat st {};
        if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode))
            continue;
        names.emplace_back(e->d_name);
    }
    for (const std::string& name : names)
        ::unlinkat(fd, name.c_str(), 0);
    ::closedir(dir);
}

std::string ImageOpenError(const std::string& path, int err)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return "it is a folder, not a disk image";
        if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
            return "it is not a disk, a partition or an image file";
    }
    if (err == EACCES || err == EPERM)
        return std::string(std::strerror(err)) + " (you may not read it)";
    return std::strerror(err);
}

std::string DiskOpenError(int err)
{
    // Root refused as well (a container, a locked device): the advice would
    // be wrong, so the system's own reason is given.
    if ((err == EACCES || err == EPERM) && ::geteuid() != 0)
        return "cannot be read: run salvor as root or as a member of the disk group";
    std::string text = std::strerror(err);
    if (!text.empty())
        text[0] = char(std::tolower(uint8_t(text[0])));
    return "cannot be read: " + text;
}

// ---- construction --------------------------------------------------------

CMainDlg::CMainDlg()
    : zr::ZrDialog(zr::IDD_MAIN),
      m_tree(this),
      m_list(this),
      m_disk_list(this),
      m_session(m_tree, m_list),
      m_loading(*this),
      m_partition_page(std::make_unique<PartitionPage>(*this))
{
    m_description = QString::fromLatin1(kModeTexts[0]);
}

CMainDlg::~CMainDlg()
{
    // A job never outlives the window: the progress dialog waits for its
    // worker. What the last scan holds is released here.
    m_preview.Clear();
    if (m_session.engine)
        EngineCleanup(m_session);
    m_session.volume = nullptr;
    ReleaseDevices();
    EmptyTempFolder(m_temp_folder);
}

int CMainDlg::Run(QWidget* owner)
{
    return RunModal(owner);
}

zr::CZrduiBtn& CMainDlg::Button(int id)
{
    switch (id) {
    case IDC_CLOSE: return m_close;
    case IDC_MINIMIZE: return m_min;
    case IDC_MENU: return m_menu;
    case IDC_NEXT: return m_next;
    case IDC_BACK: return m_back;
    case IDC_SCAN: return m_scan;
    case IDC_RECOVER: return m_recover;
    case IDC_BACKUP_PARTITION: return m_backup_par;
    case IDC_RESTORE_PARTITION: return m_restore_par;
    default: return m_recover_par;
    }
}

bool CMainDlg::OnInitDialog()
{
    setWindowTitle(QStringLiteral("salvor"));
    m_temp_folder = MakeTempFolder();
    m_system_disk_name = SystemDiskName();

    m_bg[0] = zr::LoadSkinImage(zr::skin::kMainBg);
    m_bg[1] = zr::LoadSkinImage(zr::skin::kMainBgSel);
    m_bg[2] = zr::LoadSkinImage(zr::skin::kMainBgScan);
    // Without its skin the window keeps the designed size, so every control
    // stays where the layout puts it.
    const int w = m_bg[0].Loaded() ? m_bg[0].Width() : 800;
    const int h = m_bg[0].Loaded() ? m_bg[0].Height() : 600;
    SetClientSize(w, h);
    CenterOver(nullptr);
    SetRoundedRegion(w + 1, h + 1, 9);
    setWindowIcon(zr::LoadAppIcon());

    m_loading_strip = zr::LoadSkinImage(zr::skin::kLoading);
    m_preview.LoadSkin(zr::ImageRoot());
    m_drive_logo = zr::LoadSkinImage(zr::skin::kDriverLogo);

    struct ButtonSpec {
        zr::CZrduiBtn* button;
        const char* image;
        int id;
        int x, y;
        bool visible;
        bool listed;
    };
    const ButtonSpec buttons[] = {
        {&m_close, zr::skin::kClose, IDC_CLOSE, w - 43, 3, true, true},
        {&m_min, zr::skin::kMin, IDC_MINIMIZE, w - 76, 3, true, true},
        {&m_menu, zr::skin::kMenu, IDC_MENU, w - 109, 3, true, true},
        {&m_next, zr::skin::kNext, IDC_NEXT, w - 122, h - 65, true, true},
        {&m_back, zr::skin::kBack, IDC_BACK, w - 230, h - 65, false, true},
        {&m_scan, zr::skin::kScan, IDC_SCAN, w - 122, h - 65, false, true},
        {&m_recover, zr::skin::kRecover, IDC_RECOVER, w - 122, h - 65, false, true},
        {&m_backup_par, zr::skin::kBackupPar, IDC_BACKUP_PARTITION, 200, h - 54, true, false},
        {&m_restore_par, zr::skin::kRestorePar, IDC_RESTORE_PARTITION, 400, h - 54, true, false},
        {&m_recover_par, zr::skin::kRecoverPar, IDC_RECOVER_PARTITION, 600, h - 54, true, false},
    };
    for (const ButtonSpec& b : buttons) {
        b.button->SetImage(zr::ResolveImage(b.image), true);
        b.button->Attach(this, b.id);
        b.button->Place(b.x, b.y);
        b.button->SetVisible(b.visible ? 1 : 0);
        if (b.listed)
            m_widgets.Add(b.button);
    }

    const char* mode_names[4] = {"Deleted Recovery", "Format Recovery", "Partition Recovery", "Raw Recovery"};
    const int mode_x[4] = {98, 250, 405, 595};
    const int mode_w[4] = {135, 130, 140, 120};
    for (int i = 0; i < 4; ++i)
        m_mode_radios[size_t(i)].Create(this, mode_x[i], 320, mode_w[i], 30, QString::fromLatin1(mode_names[i]),
                                        IDC_MODE_DELETED + i, 1);
    m_mode_radios[0].SetChecked(true);
    const char* fs_names[4] = {"FAT12", "FAT16", "FAT32", "NTFS"};
    const char* type_names[4] = {"Photo", "Music", "Video", "Others"};
    for (int i = 0; i < 4; ++i) {
        m_fs_radios[size_t(i)].Create(this, 130 + 100 * i, -90, 60, 20, QString::fromLatin1(fs_names[i]),
                                      IDC_FS_FAT12 + i, 2);
        m_type_checks[size_t(i)].Create(this, 130 + 100 * i, -90, 60, 20, QString::fromLatin1(type_names[i]),
                                        IDC_TYPE_PHOTO + i);
        m_type_checks[size_t(i)].SetTicked(true);
    }
    m_fs_radios[3].SetChecked(true);
    m_select_all.Create(this, QStringLiteral("Select All"), 190, 431, IDC_SELECT_ALL);
    m_select_inversely.Create(this, QStringLiteral("Select Inversely"), 260, 431, IDC_SELECT_INVERSELY);

    m_scrollbar = new QScrollBar(Qt::Vertical, this);
    m_scrollbar->setObjectName(QStringLiteral("DeviceScrollBar"));
    m_scrollbar->setGeometry(755, kPanelTop, 18, kPanelHeight);
    m_scrollbar->setSingleStep(kWheelStep);
    m_scrollbar->hide();
    QObject::connect(m_scrollbar, &QScrollBar::valueChanged, this, [this](int value) {
        if (value != m_scroll) {
            m_scroll = value;
            InvalidatePanel();
        }
    });

    m_tree.Widget()->setGeometry(13, 118, 171, 330);
    m_tree.Widget()->hide();
    m_list.Widget()->setGeometry(183, 275, 611, 155);
    m_list.Widget()->hide();
    m_list.SetGridLines(true);
    m_disk_list.SetCheckBoxes(false);
    m_disk_list.Widget()->setObjectName(QStringLiteral("DiskList"));
    m_disk_list.SetColumns({{"Device", 150}, {"Type", 100}, {"Description", 250}});
    m_disk_list.Widget()->setGeometry(33, 154, 780 - 33, 410 - 154);
    m_disk_list.Widget()->setFrameShape(QFrame::StyledPanel);
    m_disk_list.Widget()->hide();

    ApplyCheckRules(m_session, m_tree, m_list);
    m_tree.on_selection_changed = [this](NodeId node) { OnTreeSelectionChanged(node); };
    m_list.on_row_clicked = [this](size_t row) { m_preview.PreviewRow(row); };

    m_device_watcher = std::make_unique<DeviceWatcher>([this](int event) { OnDeviceChange(event); });

    MapMessage(UM_SELECT_DEVICE, [this](zr::WPARAM w, zr::LPARAM) { return OnSelectDevice(w); });
    MapMessage(UM_RECOVERY_DONE, [this](zr::WPARAM w, zr::LPARAM) { return OnRecoveryDone(w); });
    MapMessage(UM_IGNORED, [](zr::WPARAM, zr::LPARAM) { return zr::LRESULT(1); });

    if (!m_startup_messages.empty()) {
        // Shown once the window is on screen.
        QTimer::singleShot(0, this, [this] {
            const std::vector<std::string> messages = std::move(m_startup_messages);
            m_startup_messages.clear();
            for (const std::string& text : messages)
                zr::ShowMessageBox(this, zr::MSGBOX_ERROR, zr::MSGBOX_OK, qs(text), QString());
        });
    }
    return true;
}

int CMainDlg::Ask(int style, int mask, const char* text, const char* caption)
{
    return zr::ShowMessageBox(this, style, mask, QString::fromLatin1(text), QString::fromLatin1(caption));
}

// ---- commands ------------------------------------------------------------

void CMainDlg::OnCommand(int id)
{
    switch (id) {
    case IDC_MODE_DELETED:
    case IDC_MODE_FORMAT:
    case IDC_MODE_PARTITION:
    case IDC_MODE_RAW: OnModeRadio(id); break;
    case IDC_CLOSE: OnLeave(); break;
    case IDC_MINIMIZE: OnMinimize(); break;
    case IDC_RECOVER: OnRecover(); break;
    case IDC_NEXT: OnNext(); break;
    case IDC_BACK: OnBack(); break;
    case IDC_SCAN: OnScan(); break;
    case IDC_BACKUP_PARTITION: m_partition_page->Backup(); break;
    case IDC_RESTORE_PARTITION: m_partition_page->Restore(); break;
    case IDC_RECOVER_PARTITION: OnRecoverPartition(true); break;
    case IDC_SELECT_ALL: OnSelectAll(); break;
    case IDC_SELECT_INVERSELY: OnSelectInversely(); break;
    case zr::IDCANCEL:
        // Escape and the window manager's close request do nothing: the
        // window ends only through its close button or the Exit item.
        break;
    default: break;
    }
}

void CMainDlg::OnModeRadio(int id)
{
    m_mode = RecoveryMode(id - IDC_MODE_DELETED + 1);
    m_description = QString::fromLatin1(kModeTexts[id - IDC_MODE_DELETED]);
    Invalidate(zr::ZrRect{75, 375, 730, 435}, true);
    Invalidate(zr::ZrRect{100, ClientHeight() - 100, 560, ClientHeight() - 60}, true);
    UpdateNow();
}

void CMainDlg::OnNext()
{
    if (m_mode == kModeRaw) {
        m_session.raw.photo = m_type_checks[0].Ticked();
        m_session.raw.music = m_type_checks[1].Ticked();
        m_session.raw.video = m_type_checks[2].Ticked();
        m_session.raw.others = m_type_checks[3].Ticked();
        if (!m_session.raw.photo && !m_session.raw.music && !m_session.raw.video && !m_session.raw.others) {
            Ask(zr::MSGBOX_WARNING, zr::MSGBOX_OK, "Please select the file type!");
            return;
        }
    }
    if (!m_devices_open) {
        SetWaitCursor();
        OpenDevices();
        BuildSourceViews();
        SetArrowCursor();
        SelectFirstPartition();
    } else if (m_device_change_pending) {
        SelectFirstPartition();
        m_device_change_pending = false;
    }
    ShowScrollBarIfNeeded();

    if (m_mode == kModeFormat) {
        m_session.fs_code = BG_FS_NTFS;
        for (int i = 0; i < 4; ++i)
            if (m_fs_radios[size_t(i)].Checked())
                m_session.fs_code = BgFsCode(BG_FS_FAT12 + i);
    } else {
        m_session.fs_code = BG_FS_UNKNOWN;
    }

    PlaceBack();
    if (m_mode == kModePartition) {
        m_disk_list.Widget()->show();
        m_list.Widget()->setGeometry(183, 118, 611, 328);
    } else {
        m_disk_list.Widget()->hide();
        m_list.Widget()->setGeometry(183, 275, 611, 155);
    }
    m_next.SetVisible(0);
    m_back.SetVisible(1);
    m_scan.SetVisible(m_mode != kModePartition);
    m_page = kPageSource;
    InvalidateAll();
}

void CMainDlg::PlaceBack()
{
    if (m_mode == kModePartition)
        m_back.Place(30, ClientHeight() - 65);
    else
        m_back.Place(ClientWidth() - 230, ClientHeight() - 65);
}

void CMainDlg::ShowScrollBarIfNeeded()
{
    if (m_panel.scroll_visible && m_mode != kModePartition) {
        m_scrollbar->setRange(0, std::max(0, m_panel.scroll_max - m_panel.scroll_page));
        m_scrollbar->setPageStep(m_panel.scroll_page);
        m_scrollbar->show();
        m_scrollbar->setFocus();
    } else {
        m_scrollbar->hide();
    }
}

zr::LRESULT CMainDlg::OnSelectDevice(zr::WPARAM wparam)
{
    const int disk = int(wparam / 100);
    const int index = int(wparam % 100);
    for (const DeviceEntry& e : m_panel.entries) {
        if (e.disk == -1 || e.disk != disk || e.index != index)
            continue;
        m_info[0] = e.text.empty() ? QString() : QString(QChar::fromLatin1(e.text[0]));
        const size_t close = e.text.find(')');
        m_info[1] = e.text.size() > 3 ? qs(e.text.substr(3, close == std::string::npos ? std::string::npos
                                                                                       : close - 3))
                                      : QString();
        m_info[2] = qs(FormatSize(e.size));
        const int64_t free_bytes = free_space_of(e.volume);
        m_info[3] = free_bytes >= 0 ? qs(FormatSize(uint64_t(free_bytes))) : QString();
        Invalidate(zr::ZrRect{120, 430, 200, 530}, false);
        UpdateNow();
        break;
    }
    return 0;
}

void CMainDlg::OnScan()
{
    if (m_mode == kModePartition) {
        OnRecoverPartition(false);
        return;
    }
    bool any = false;
    const DeviceEntry* selected = nullptr;
    for (const DeviceEntry& e : m_panel.entries) {
        any = true;
        if (e.disk != -1 && e.selected && !selected)
            selected = &e;
    }
    if (!any) {
        Ask(zr::MSGBOX_WARNING, zr::MSGBOX_OK, "There are no disks!");
        return;
    }
    if (!selected) {
        Ask(zr::MSGBOX_WARNING, zr::MSGBOX_OK, "Please select a disk or partition to scan!");
        return;
    }
    m_source_name = selected->text;
    BgVolume* volume = ResolveVolumePick(*selected, m_devices_open ? bg_volume_list : nullptr);
    if (!volume) {
        Ask(zr::MSGBOX_ERROR, zr::MSGBOX_OK, "Can not find partition or driver,please try again!", "Note");
        if (m_mode != kModeFormat)
            m_session.fs_code = BG_FS_UNKNOWN;
        return;
    }
    m_session.volume = volume;
    if (m_session.fs_code == BG_FS_UNKNOWN)
        m_session.fs_code = BgFsCode(volume->fs_code);
    m_session.source_label = m_source_name;
    ContinueScan();
}

void CMainDlg::OnRecoverPartition(bool from_button)
{
    if (m_mode != kModePartition)
        return;
    // The page checks the row and the disk and says why it refuses one.
    if (!m_partition_page->PickDisk(from_button))
        return;
    m_disk_list.Widget()->hide();
    m_source_name = SelectedDiskRow();
    ContinueScan();
}

void CMainDlg::ContinueScan()
{
    PlaceBack();
    m_scan.SetVisible(0);
    m_recover.SetVisible(1);
    m_scrollbar->hide();
    m_list.Widget()->show();
    m_tree.Widget()->show();
    m_page = kPageResults;
    InvalidateAll();
    UpdateNow();

    m_session.mode = m_mode;
    m_session.current_folder = 0;
    switch (m_mode) {
    case kModeDeleted: RunProgress(kProgressDeletedScan); break;
    case kModeFormat: RunProgress(kProgressFormatScan); break;
    case kModePartition:
        m_tree.SetCheckBoxes(false);
        RunProgress(kProgressPartitionSearch);
        break;
    case kModeRaw: RunProgress(kProgressRawScan); break;
    }

    if (m_mode != kModePartition) {
        // A scan that could not read its volume has been reported by the
        // progress dialog; it is not a scan that found nothing.
        if (m_mode == kModeRaw && m_session.failure.empty() && m_session.result.files.empty()) {
            Ask(zr::MSGBOX_INFO, zr::MSGBOX_OK, "Scanning finished,no item found!", "note");
        }
    }
    m_list.SetCheckBoxes(m_mode != kModePartition);
    m_list.SetGridLines(true);
    InvalidateAll();
}

void CMainDlg::OnTreeSelectionChanged(NodeId node)
{
    if (m_mode == kModePartition || m_page != kPageResults)
        return;
    m_session.current_folder = node;
    m_list.Clear();
    if (node)
        FillResultList(m_session);
}

void CMainDlg::OnSelectAll()
{
    if (m_page == kPageResults && m_mode != kModePartition) {
        SelectAll(m_list);
        ListCheckChanged(m_session);
    }
}

void CMainDlg::OnSelectInversely()
{
    if (m_page == kPageResults && m_mode != kModePartition) {
        SelectInversely(m_list);
        ListCheckChanged(m_session);
    }
}

bool CMainDlg::AnythingChecked() const
{
    const size_t rows = m_list.RowCount();
    if (m_mode == kModePartition && rows > 0)
        return true;
    for (size_t r = 0; r < rows; ++r)
        if (m_list.CheckState(r) == kChecked)
            return true;
    const NodeId root = m_tree.FirstRoot();
    if (m_mode == kModeRaw) {
        for (NodeId category = root ? m_tree.FirstChild(root) : 0; category; category = m_tree.NextSibling(category))
            for (NodeId type = m_tree.FirstChild(category); type; type = m_tree.NextSibling(type))
                if (m_tree.CheckState(type) == kChecked)
                    return true;
        return false;
    }
    // Every node, depth first from the first root.
    std::vector<NodeId> pending;
    for (NodeId n = root; n; n = m_tree.NextSibling(n))
        pending.push_back(n);
    while (!pending.empty()) {
        const NodeId n = pending.back();
        pending.pop_back();
        if (m_tree.CheckState(n) == kChecked)
            return true;
        for (NodeId c = m_tree.FirstChild(n); c; c = m_tree.NextSibling(c))
            pending.push_back(c);
    }
    return false;
}

std::string CMainDlg::SourceDiskPath() const
{
    if (!m_session.volume || !m_devices_open)
        return {};
    for (BgDiskNode* d = bg_disk_list; d; d = d->next)
        if (d->disk->disk_number == m_session.volume->disk_number && d->disk->name)
            return d->disk->name;
    return {};
}

void CMainDlg::OnRecover()
{
    if (m_page != kPageResults)
        return;
    if (!AnythingChecked()) {
        Ask(zr::MSGBOX_WARNING, zr::MSGBOX_OK, "Please select the files you want to recover!");
        return;
    }
    std::optional<std::string> chosen;
    if (TestDialogHooks().folder) {
        chosen = TestDialogHooks().folder();
    } else {
        const QString dir = QFileDialog::getExistingDirectory(this, QString());
        if (!dir.isNull())
            chosen = dir.toStdString();
    }
    if (!chosen)
        return;
    if (chosen->empty()) {
        Ask(zr::MSGBOX_WARNING, zr::MSGBOX_OK | zr::MSGBOX_CANCEL,
            "Please select the directory to save the files recovered.");
        return;
    }
    if (m_mode != kModePartition) {
        const std::string source = SourceDiskPath();
        if (!source.empty() && TargetOnSource(*chosen, source)) {
            Ask(zr::MSGBOX_ERROR, zr::MSGBOX_OK,
                "Sorry,it's not allowed to save files to the source partition.Please choose another partition "
                "or drive.");
            return;
        }
    }
    std::string target = *chosen;
    if (target.back() != '/')
        target += '/';
    target += kRecoveryFolderName;
    if (!MakeFolder(target)) {
        const int err = errno;
        zr::ShowMessageBox(this, zr::MSGBOX_ERROR, zr::MSGBOX_OK,
                           QStringLiteral("Cannot create the folder %1: %2").arg(qs(target), qs(std::strerror(err))),
                           QString());
        return;
    }
    m_target_folder = target;
    // The recovery reads through the engine: a preview still reading stops.
    m_preview.StopReading();

    if (m_mode == kModePartition) {
        m_partition_page->Rebuild();
        return;
    }
    if (m_mode == kModeRaw) {
        RunProgress(kProgressRawRecovery);
        return;
    }
    switch (m_session.fs_code) {
    case BG_FS_NTFS: RunProgress(kProgressNtfsRecovery); break;
    case BG_FS_FAT12:
    case BG_FS_FAT16:
    case BG_FS_FAT32:
    // exFAT results are recovered as FAT ones: the current folder first, then the tree.
    case BG_FS_EXFAT: RunProgress(kProgressFatRecovery); break;
    case BG_FS_EXT2: RunProgress(kProgressExt2Recovery); break;
    case BG_FS_EXT3: RunProgress(kProgressExt3Recovery); break;
    case BG_FS_HFSPLUS: RunProgress(kProgressHfsRecovery); break;
    default: break;
    }
}

zr::LRESULT CMainDlg::OnRecoveryDone(zr::WPARAM wparam)
{
    if (wparam == 1)
        Ask(zr::MSGBOX_SUCCESS, zr::MSGBOX_OK, "recovery finished!");
    else
        Ask(zr::MSGBOX_INFO, zr::MSGBOX_OK, "recovery has been canceled!");
    return 0;
}

void CMainDlg::OnBack()
{
    if (m_page == kPageSource) {
        m_next.SetVisible(1);
        m_back.SetVisible(0);
        m_scan.SetVisible(0);
        m_page = kPageMode;
        m_scrollbar->hide();
        m_disk_list.Widget()->hide();
        InvalidateAll();
        return;
    }
    if (m_page != kPageResults)
        return;
    if (Ask(zr::MSGBOX_WARNING, zr::MSGBOX_YES | zr::MSGBOX_NO, "The scan result will lose. Are you sure to go back?") !=
        zr::IDC_MSGBOX_YES)
        return;

    SetWaitCursor();
    // The preview may still be reading through the engine released below.
    m_preview.Clear();
    m_session.current_folder = 0;
    m_tree.DeleteAll();
    m_list.Clear();
    if (m_mode == kModePartition)
        m_partition_page->Release();
    if (m_session.engine) {
        EngineCleanup(m_session);
        m_session.volume = nullptr;
        ReopenDevices(m_device_change_pending);
        m_device_change_pending = false;
    }
    SetArrowCursor();
    if (m_mode != kModeFormat)
        m_session.fs_code = BG_FS_UNKNOWN;
    m_session.volume = nullptr;

    m_list.Widget()->hide();
    m_tree.Widget()->hide();
    m_scan.SetVisible(m_mode != kModePartition);
    m_recover.SetVisible(0);
    if (m_mode == kModePartition) {
        m_list.SetStandardColumns();
        m_tree.SetCheckBoxes(true);
        m_disk_list.Widget()->show();
    }
    PlaceBack();
    m_page = kPageSource;
    ShowScrollBarIfNeeded();
    InvalidateAll();
}

void CMainDlg::OnLeave()
{
    m_preview.Clear();
    if (m_session.engine)
        EngineCleanup(m_session);
    m_session.volume = nullptr;
    ReleaseDevices();
    EndDialog(IDC_CLOSE);
}

void CMainDlg::OnMinimize()
{
    // The pointer leaves the button with the window.
    m_min.OnMouseMove(0, zr::MakePoint(-1, -1));
    Invalidate(m_min.Rect(), false);
    showMinimized();
}

// ---- devices -------------------------------------------------------------

void CMainDlg::OpenDevices()
{
    bg_scan_disks();
    bg_scan_volumes();
    ++m_devices_open;
}

void CMainDlg::ReleaseDevices()
{
    if (m_devices_open <= 0)
        return;
    // The searched disk is one of the disk objects released here.
    m_partition_page->Release();
    bg_release_devices();
    m_devices_open = 0;
    // Every entry pointed into the released lists.
    for (DeviceEntry& e : m_panel.entries) {
        e.volume = nullptr;
        e.disk_object = nullptr;
    }
    for (DiskRow& r : m_disk_rows)
        r.disk = nullptr;
}

void CMainDlg::BuildSourceViews()
{
    m_panel = BuildDevicePanel(bg_disk_list, bg_volume_list, m_system_disk_name);
    m_disk_errors.clear();
    for (const DeviceEntry& e : m_panel.entries) {
        if (e.disk != -1)
            continue;
        const int err = e.disk_object ? bg_last_error(e.disk_object) : 0;
        m_disk_errors.push_back(err ? DiskOpenError(err) : std::string());
    }
    m_scroll = 0;
    m_scrollbar->setValue(0);

    m_disk_rows = BuildDiskList(m_panel);
    m_disk_list.SetColumns({{"Device", 150}, {"Type", 100}, {"Description", 250}});
    for (size_t i = 0; i < m_disk_rows.size(); ++i) {
        const DiskRow& r = m_disk_rows[i];
        std::string description = r.model;
        if (i < m_disk_errors.size() && !m_disk_errors[i].empty())
            description = description.empty() ? m_disk_errors[i] : description + " (" + m_disk_errors[i] + ")";
        m_disk_list.AppendTexts({r.name, r.bus, description}, uintptr_t(i));
    }
    InvalidateAll();
}

void CMainDlg::SelectFirstPartition()
{
    for (DeviceEntry& e : m_panel.entries)
        e.selected = false;
    for (DeviceEntry& e : m_panel.entries) {
        if (e.disk == -1)
            continue;
        e.selected = true;
        OnSelectDevice(zr::WPARAM(e.disk * 100 + e.index));
        break;
    }
    InvalidatePanel();
}

void CMainDlg::ReopenDevices(bool rebuild)
{
    // The entries point into the lists; they are rebuilt from the new lists
    // even when no device came or went, keeping the selected entry.
    int selected_disk = -1, selected_index = -1;
    for (const DeviceEntry& e : m_panel.entries)
        if (e.disk != -1 && e.selected) {
            selected_disk = e.disk;
            selected_index = e.index;
        }
    ReleaseDevices();
    OpenDevices();
    BuildSourceViews();
    bool kept = false;
    if (!rebuild) {
        for (DeviceEntry& e : m_panel.entries)
            if (e.disk == selected_disk && e.index == selected_index && e.disk != -1) {
                e.selected = true;
                kept = true;
                OnSelectDevice(zr::WPARAM(e.disk * 100 + e.index));
            }
    }
    if (!kept)
        SelectFirstPartition();
}

void CMainDlg::OnDeviceChange(int event)
{
    if (event != kDeviceArrival && event != kDeviceRemoveComplete)
        return;
    switch (m_page) {
    case kPageSource:
        SetWaitCursor();
        ReopenDevices(true);
        SetArrowCursor();
        ShowScrollBarIfNeeded();
        break;
    case kPageResults: m_device_change_pending = true; break;
    default:
        if (m_devices_open) {
            ReopenDevices(true);
            m_device_change_pending = true;
        }
        break;
    }
}

std::string CMainDlg::SelectedDiskRow() const
{
    const long row = m_disk_list.SelectedRow();
    return row < 0 ? std::string() : m_disk_list.Text(size_t(row), 0).substr(0, 100);
}

// ---- jobs ----------------------------------------------------------------

void CMainDlg::RunProgress(ProgressKind kind)
{
    CProgressDlg progress(*this);
    progress.Run(this, kind);
}

void CMainDlg::RunPartitionSearch(ProgressSink& progress)
{
    m_partition_page->RunSearch(progress);
}

// ---- loading indicator ---------------------------------------------------

void CMainDlg::Loader::LoadingOn()
{
    RunOnWidgetThread(&m_dlg, [this] {
        m_dlg.m_tree.Widget()->hide();
        m_dlg.m_loading_flag = true;
        m_dlg.m_back.SetEnabled(0);
        m_dlg.m_recover.SetEnabled(0);
        m_dlg.SetTimer(IDT_LOADING, 100);
    });
}

void CMainDlg::Loader::LoadingOff()
{
    RunOnWidgetThread(&m_dlg, [this] {
        m_dlg.m_loading_flag = false;
        m_dlg.m_back.SetEnabled(1);
        m_dlg.m_recover.SetEnabled(1);
    });
}

void CMainDlg::OnTimer(int id)
{
    if (id == kPreviewTimer) {
        m_preview.OnTimer();
        return;
    }
    if (id != IDT_LOADING)
        return;
    if (!m_loading_flag) {
        KillTimer(IDT_LOADING);
        if (m_page == kPageResults)
            m_tree.Widget()->show();
        InvalidateAll();
        return;
    }
    m_loading_frame = (m_loading_frame + 1) % zr::skin::kLoadingFrames;
    InvalidateAll();
}

// ---- painting ------------------------------------------------------------

void CMainDlg::OnPaint(QPainter& p)
{
    const QRect client(0, 0, ClientWidth(), ClientHeight());
    p.fillRect(client, Qt::white);
    m_bg[m_page].Draw(p, client);
    m_widgets.DrawAll(p);

    if (m_page == kPageMode) {
        for (auto& r : m_mode_radios)
            r.Draw(p);
        if (m_mode == kModeFormat)
            for (auto& r : m_fs_radios)
                r.Draw(p);
        if (m_mode == kModeRaw)
            for (auto& c : m_type_checks)
                c.Draw(p);
        p.save();
        set_font(p, zr::ZrFontPool::kText);
        p.setPen(kDescriptionColour);
        p.setBackgroundMode(Qt::TransparentMode);
        p.drawText(QRect(QPoint(75, 375), QPoint(729, 434)), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                   m_description);
        p.restore();
    } else if (m_page == kPageSource) {
        if (m_mode == kModePartition) {
            m_backup_par.Draw(p);
            m_restore_par.Draw(p);
            m_recover_par.Draw(p);
        } else {
            DrawInfoPanel(p);
            DrawDevicePanel(p);
        }
    } else {
        if (m_loading_flag)
            DrawLoading(p);
        if (m_mode != kModePartition) {
            m_select_all.Draw(p);
            m_select_inversely.Draw(p);
            m_preview.Paint(p);
        }
    }
}

void CMainDlg::DrawInfoPanel(QPainter& p)
{
    p.save();
    set_font(p, zr::ZrFontPool::kBoldText);
    p.setPen(kInfoColour);
    p.setBackgroundMode(Qt::TransparentMode);
    for (int i = 0; i < 4; ++i) {
        const int top = 430 + 25 * i;
        p.drawText(QRect(QPoint(20, top), QPoint(109, top + 19)), Qt::AlignRight | Qt::AlignVCenter | Qt::TextSingleLine,
                   QString::fromLatin1(kInfoLabels[i]));
        p.drawText(QRect(QPoint(120, top), QPoint(199, top + 19)), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                   m_info[size_t(i)]);
    }
    p.restore();
}

void CMainDlg::DrawDevicePanel(QPainter& p)
{
    p.save();
    p.setClipRect(QRect(kPanelLeft, kPanelTop, kPanelWidth, kPanelHeight));
    p.setBackgroundMode(Qt::TransparentMode);
    p.translate(kPanelLeft, kPanelTop - m_scroll);
    size_t header = 0;
    for (const DeviceEntry& e : m_panel.entries) {
        const QRect r(e.rect.left, e.rect.top, e.rect.right - e.rect.left, e.rect.bottom - e.rect.top);
        if (e.disk == -1) {
            QString text = qs(e.text);
            if (header < m_disk_errors.size() && !m_disk_errors[header].empty())
                text += QStringLiteral("  (") + qs(m_disk_errors[header]) + QStringLiteral(")");
            ++header;
            set_font(p, zr::ZrFontPool::kHeader);
            const QFontMetrics fm(p.font());
            const QRect text_rect(r.left(), r.top(), std::max(r.width(), fm.horizontalAdvance(text) + 4), r.height());
            p.fillRect(text_rect, kEntryBackground);
            p.setPen(Qt::black);
            p.drawText(text_rect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
            continue;
        }
        p.fillRect(r, e.selected ? kEntrySelected : kEntryBackground);
        m_drive_logo.Draw(p, QRect(r.left() + 2, r.top() + 5, 52, 33));
        set_font(p, zr::ZrFontPool::kBoldText);
        p.setPen(Qt::black);
        const QFontMetrics fm(p.font());
        const QString name = qs(e.text);
        const int width = std::max(r.width(), fm.horizontalAdvance(name) + 4);
        p.drawText(QRect(r.center().x() - width / 2, r.bottom() - 24, width, 25),
                   Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine, name);
    }
    p.restore();
}

void CMainDlg::DrawLoading(QPainter& p)
{
    const int x = 40, y = 260;
    const int frame_width = m_loading_strip.Width() / zr::skin::kLoadingFrames;
    m_loading_strip.DrawPart(p, x, y, m_loading_frame * zr::skin::kLoadingStep, 0, frame_width,
                             m_loading_strip.Height());
    p.save();
    set_font(p, zr::ZrFontPool::kText);
    p.setPen(Qt::black);
    p.setBackgroundMode(Qt::TransparentMode);
    zr::DrawTextAt(p, x + 25, y, QStringLiteral("Please Wait..."));
    p.restore();
}

void CMainDlg::InvalidatePanel()
{
    Invalidate(zr::ZrRect{kPanelLeft, kPanelTop, kPanelLeft + kPanelWidth, kPanelTop + kPanelHeight}, false);
}

// ---- mouse ---------------------------------------------------------------

bool CMainDlg::InPanel(int x, int y) const
{
    return m_page == kPageSource && m_mode != kModePartition && x >= kPanelLeft && x < kPanelLeft + kPanelWidth &&
           y >= kPanelTop && y < kPanelTop + kPanelHeight;
}

int CMainDlg::PanelEntryAt(int x, int y) const
{
    if (!InPanel(x, y))
        return -1;
    const int px = x - kPanelLeft;
    const int py = y - kPanelTop + m_scroll;
    for (size_t i = 0; i < m_panel.entries.size(); ++i) {
        const DeviceEntry& e = m_panel.entries[i];
        if (e.disk != -1 && px >= e.rect.left && px < e.rect.right && py >= e.rect.top && py < e.rect.bottom)
            return int(i);
    }
    return -1;
}

void CMainDlg::OnMouseMove(uint32_t flags, zr::LPARAM pt)
{
    m_widgets.MouseMove(flags, pt);
    const int x = zr::PointX(pt), y = zr::PointY(pt);
    if (m_page == kPageMode) {
        for (auto& r : m_mode_radios)
            r.OnMouseMove(flags, pt);
        if (m_mode == kModeFormat)
            for (auto& r : m_fs_radios)
                r.OnMouseMove(flags, pt);
        if (m_mode == kModeRaw)
            for (auto& c : m_type_checks)
                c.HandleMouseMove(pt);
    } else if (m_page == kPageSource) {
        if (m_mode == kModePartition) {
            m_backup_par.OnMouseMove(flags, pt);
            m_restore_par.OnMouseMove(flags, pt);
            m_recover_par.OnMouseMove(flags, pt);
        } else if (PanelEntryAt(x, y) >= 0) {
            SetHandCursor();
        }
    } else if (m_mode != kModePartition) {
        m_select_all.OnMouseMove(flags, pt);
        m_select_inversely.OnMouseMove(flags, pt);
    }
}

void CMainDlg::OnLButtonDown(uint32_t flags, zr::LPARAM pt)
{
    const int x = zr::PointX(pt), y = zr::PointY(pt);
    if (y < kDragBandHeight && !m_close.HitTest(x, y) && !m_min.HitTest(x, y) && !m_menu.HitTest(x, y)) {
        BeginDrag();
        return;
    }
    m_widgets.ButtonDown(flags, pt);
    if (m_page == kPageMode) {
        for (auto& r : m_mode_radios)
            r.OnButtonDown(flags, pt);
        if (m_mode == kModeFormat)
            for (auto& r : m_fs_radios)
                r.OnButtonDown(flags, pt);
        if (m_mode == kModeRaw)
            for (auto& c : m_type_checks)
                c.HandleButtonDown(pt);
    } else if (m_page == kPageSource) {
        if (m_mode == kModePartition) {
            m_backup_par.OnButtonDown(flags, pt);
            m_restore_par.OnButtonDown(flags, pt);
            m_recover_par.OnButtonDown(flags, pt);
            return;
        }
        const int hit = PanelEntryAt(x, y);
        if (hit < 0)
            return;
        DeviceEntry& entry = m_panel.entries[size_t(hit)];
        entry.pressed = true;
        if (!entry.selected) {
            for (DeviceEntry& e : m_panel.entries)
                e.selected = false;
            entry.selected = true;
            InvalidatePanel();
            UpdateNow();
        }
    } else if (m_mode != kModePartition) {
        m_select_all.OnButtonDown(flags, pt);
        m_select_inversely.OnButtonDown(flags, pt);
    }
}

void CMainDlg::OnLButtonDblClk(uint32_t flags, zr::LPARAM pt)
{
    OnLButtonDown(flags, pt);
}

void CMainDlg::OnLButtonUp(uint32_t flags, zr::LPARAM pt)
{
    const int x = zr::PointX(pt), y = zr::PointY(pt);
    m_widgets.ButtonUp(flags, pt);
    if (m_menu.HitTest(x, y)) {
        std::unique_ptr<QMenu> menu = BuildPopupMenu();
        const QPoint at = mapToGlobal(QPoint(x, y)) + QPoint(-10, 10);
        QAction* chosen = menu->exec(at);
        if (chosen)
            OnMenuCommand(chosen->data().toInt());
        return;
    }
    if (m_page == kPageMode) {
        for (auto& r : m_mode_radios)
            r.OnButtonUp(flags, pt);
        if (m_mode == kModeFormat)
            for (auto& r : m_fs_radios)
                r.OnButtonUp(flags, pt);
        if (m_mode == kModeRaw)
            for (auto& c : m_type_checks)
                c.HandleButtonUp(pt);
    } else if (m_page == kPageSource) {
        if (m_mode == kModePartition) {
            m_backup_par.OnButtonUp(flags, pt);
            m_restore_par.OnButtonUp(flags, pt);
            m_recover_par.OnButtonUp(flags, pt);
            return;
        }
        if (!InPanel(x, y))
            return;
        const int hit = PanelEntryAt(x, y);
        for (size_t i = 0; i < m_panel.entries.size(); ++i) {
            DeviceEntry& e = m_panel.entries[i];
            if (int(i) == hit && e.pressed) {
                e.pressed = false;
                SendMessage(UM_SELECT_DEVICE, zr::WPARAM(e.disk * 100 + e.index), 0);
            }
        }
    } else if (m_mode != kModePartition) {
        m_select_all.OnButtonUp(flags, pt);
        m_select_inversely.OnButtonUp(flags, pt);
    }
}

void CMainDlg::wheelEvent(QWheelEvent* event)
{
    if (m_page != kPageSource || m_mode == kModePartition || !m_panel.scroll_visible) {
        event->ignore();
        return;
    }
    const int delta = event->angleDelta().y();
    if (delta == 0)
        return;
    const int limit = std::max(0, m_panel.scroll_max - m_panel.scroll_page);
    const int pos = std::clamp(m_scroll + (delta > 0 ? -kWheelStep : kWheelStep), 0, limit);
    if (pos != m_scroll)
        m_scrollbar->setValue(pos); // moves m_scroll and repaints the panel
    event->accept();
}

// ---- menu ----------------------------------------------------------------

std::unique_ptr<QMenu> CMainDlg::BuildPopupMenu()
{
    auto menu = std::make_unique<QMenu>(this);
    const std::pair<const char*, int> items[] = {
        {"Home", ID_MENU_HOME}, {"About", ID_MENU_ABOUT}, {"Help", ID_MENU_HELP}, {nullptr, 0}, {"Exit", ID_MENU_EXIT}};
    for (const auto& [text, id] : items) {
        if (!text) {
            menu->addSeparator();
            continue;
        }
        QAction* action = menu->addAction(QString::fromLatin1(text));
        action->setData(id);
    }
    return menu;
}

void CMainDlg::OnMenuCommand(int id)
{
    switch (id) {
    case ID_MENU_HOME: OpenUrl(HomeUrl()); break;
    case ID_MENU_ABOUT: {
        zr::CAboutDialog about(this);
        about.Run(this);
        break;
    }
    case ID_MENU_HELP: OpenUrl(GuideUrl()); break;
    case ID_MENU_EXIT: OnLeave(); break;
    default: break;
    }
}

std::string CMainDlg::HomeUrl() const
{
    const std::string home = SALVOR_HOME_URL;
    return home.empty() ? GuideUrl() : home;
}

std::string CMainDlg::GuideUrl() const
{
    const QString exe_dir = QCoreApplication::applicationDirPath();
    const QString root = zr::ImageRoot();
    // Installed: <prefix>/bin/salvor and <prefix>/share/doc/salvor; in the
    // build tree the guide lies beside the executable.
    const QString candidates[] = {
        root + QStringLiteral("../share/doc/salvor/user-guide.html"),
        exe_dir + QStringLiteral("/../share/doc/salvor/user-guide.html"),
        exe_dir + QStringLiteral("/user-guide.html"),
        root + QStringLiteral("../share/doc/salvor/user-guide.md"),
        exe_dir + QStringLiteral("/../share/doc/salvor/user-guide.md"),
        exe_dir + QStringLiteral("/user-guide.md"),
    };
    for (const QString& c : candidates) {
        const QFileInfo info(c);
        if (info.isFile())
            return QUrl::fromLocalFile(info.canonicalFilePath()).toString().toStdString();
    }
    return {};
}

void CMainDlg::OpenUrl(const std::string& url)
{
    if (url.empty())
        return;
    if (TestDialogHooks().open_url) {
        TestDialogHooks().open_url(url);
        return;
    }
    // A failure to open the page is not reported.
    QDesktopServices::openUrl(QUrl(qs(url)));
}

} // namespace salvor
