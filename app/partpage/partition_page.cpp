#include <partpage/partition_page.h>

#include <host/main_host.h>
#include <host/test_hooks.h>
#include <platform/zr_dialog.h>
#include <salvor/devices/catalogue.h>
#include <salvor/partition/partition_tools.h>
#include <salvor/scan/text.h>
#include <shell/msgbox.h>
#include <views/result_views.h>

#include <blockgate/blockgate.h>
#include <fsprobe/partition.h>

#include <QFileDialog>
#include <QMetaObject>
#include <QProcess>
#include <QThread>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace salvor {

namespace {

constexpr const char* kBackupFolderName = "REVuvi Deverode";
constexpr const char* kBackupFileName = "ZRPartitionBackup";
constexpr const char* kFileFilter = "Partition Backup File (*.bin);;All Files (*.*)";

RebootCommand& reboot_command()
{
    static RebootCommand command;
    return command;
}

std::string home_folder()
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir && *pw->pw_dir)
        return pw->pw_dir;
    return {};
}

// The path the user picks in the open or save dialog; nullopt for Cancel.
std::optional<std::string> ask_file(QWidget* owner, bool save, const std::string& offered)
{
    if (const auto& hook = TestDialogHooks().file)
        return hook(save, offered);
    const QString filter = QString::fromLatin1(kFileFilter);
    const QString path = save ? QFileDialog::getSaveFileName(owner, QString(), QString::fromStdString(offered), filter)
                              : QFileDialog::getOpenFileName(owner, QString(), QString::fromStdString(offered), filter);
    if (path.isEmpty())
        return std::nullopt;
    return path.toStdString();
}

// Runs `fn` on the thread of `target`, waiting for it when called from
// another thread (the worker reaches the views this way only).
void on_thread_of(QObject& target, const std::function<void()>& fn)
{
    if (QThread::currentThread() == target.thread())
        fn();
    else
        QMetaObject::invokeMethod(&target, fn, Qt::BlockingQueuedConnection);
}

std::string disk_name(const BgReader& disk) { return disk.name ? disk.name : ""; }

std::string saved_note(const std::string& path)
{
    return "\n\nThe partition tables as they were before were saved to:\n" + path;
}

// Whether the file dialog's pick is the file to use: not a folder, not a
// FIFO (whose open would block), not a device.
bool regular_file(int fd)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// Saves what a write would change on `disk` to a new file in `folder`
// named after the disk and the time ("ZRPartitionBackup-sdb-20240501-140307.bin"),
// on stable storage before the write follows. Its path, or "" with `error` set.
std::string save_current_tables(BgReader& disk, const std::string& folder, std::string& error)
{
    if (folder.empty()) {
        error = "the home folder is unknown";
        return {};
    }
    ::mkdir(folder.c_str(), 0755);
    char stamp[32];
    const time_t now = time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    const std::string name = disk_name(disk);
    const std::string base = folder + "/" + kBackupFileName + "-" + name.substr(name.find_last_of('/') + 1) + "-" + stamp;
    for (int n = 0; n < 100; ++n) {
        const std::string path = base + (n ? "-" + std::to_string(n) : std::string()) + ".bin";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0) {
            error = path + ": " + std::strerror(errno);
            return {};
        }
        PartitionTools tools(&disk);
        const BackupStatus rc = tools.BackupCurrent(fd);
        const bool stored = ::fsync(fd) == 0;
        const bool closed = ::close(fd) == 0;
        if (rc == BackupStatus::ok && stored && closed)
            return path;
        ::unlink(path.c_str());
        error = rc == BackupStatus::no_table ? path + ": a GPT disk's tables cannot be saved to a backup file"
                                             : path + ": the tables could not be read or written";
        return {};
    }
    error = "no free file name in " + folder;
    return {};
}

} // namespace

void SetRebootCommand(RebootCommand command) { reboot_command() = std::move(command); }

std::string FoundFileSystemText(int32_t fs_code)
{
    switch (fs_code) {
    case BG_FS_FAT12: return " FAT12 ";
    case BG_FS_FAT16: return " FAT16 ";
    case BG_FS_FAT32: return " FAT32 ";
    case BG_FS_NTFS: return " NTFS ";
    default: return "";
    }
}

std::string PartitionBackupFolder()
{
    const std::string home = home_folder();
    return home.empty() ? std::string() : home + "/" + kBackupFolderName;
}

std::string OfferedBackupPath()
{
    const std::string folder = PartitionBackupFolder();
    return folder.empty() ? std::string() : folder + "/" + kBackupFileName + ".bin";
}

int DiskWriteError(const BgReader& disk)
{
    if (!disk.name)
        return ENOENT;
    // The same open the partition-table write makes; nothing is written.
    const int fd = ::open(disk.name, O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return errno;
    ::close(fd);
    return 0;
}

PartitionPage::PartitionPage(MainHost& host)
    : m_host(host)
{
}

PartitionPage::~PartitionPage() = default;

int PartitionPage::Message(int style, int mask, const std::string& text)
{
    return zr::ShowMessageBox(&m_host.Window(), style, mask, QString::fromStdString(text), QString());
}

BgReader* PartitionPage::SelectedDisk()
{
    BgReader* disk = ResolveDiskPick(m_host.SelectedDiskRow(), m_host.Disks());
    if (!disk) {
        Message(zr::MSGBOX_ERROR, zr::MSGBOX_OK | zr::MSGBOX_CANCEL, "System erroe...!");
        return nullptr;
    }
    // A disk blockgate could not open (no root, for a real disk) would read
    // as empty: say why instead.
    if (const int err = bg_last_error(disk)) {
        Message(zr::MSGBOX_ERROR, zr::MSGBOX_OK,
                "Can not read " + disk_name(*disk) + ": " + std::strerror(err) +
                    ".\nReading a whole disk needs read access to it (run salvor as root).");
        return nullptr;
    }
    return disk;
}

bool PartitionPage::IsSystemDisk(const BgReader& disk) const
{
    const std::string system = m_host.SystemDisk();
    return !system.empty() && system == disk_name(disk);
}

void PartitionPage::Reboot()
{
    if (reboot_command()) {
        reboot_command()();
        return;
    }
    QProcess::startDetached(QStringLiteral("systemctl"), {QStringLiteral("reboot")});
}

bool PartitionPage::PrepareWrite(BgReader& disk)
{
    m_saved_tables.clear();
    const std::string name = disk_name(disk);
    if (const int err = DiskWriteError(disk)) {
        Message(zr::MSGBOX_ERROR, zr::MSGBOX_OK,
                "Can not write to " + name + ": " + std::strerror(err) +
                    ".\nWriting a partition table needs write access to the disk (run salvor as root). "
                    "Nothing was written.");
        return false;
    }

    std::string error;
    m_saved_tables = save_current_tables(disk, PartitionBackupFolder(), error);
    if (m_saved_tables.empty()) {
        Message(zr::MSGBOX_ERROR, zr::MSGBOX_OK,
                "The current partition tables could not be saved before the write (" + error +
                    "). Nothing was written.");
        return false;
    }
    return true;
}

std::optional<std::string> PartitionPage::AskBackupFile(bool save)
{
    if (m_host.SelectedDiskRow().empty()) {
        Message(zr::MSGBOX_WARNING, zr::MSGBOX_OK, "Please select the target!");
        return std::nullopt;
    }
    const std::string offered = OfferedBackupPath();
    if (offered.empty())
        return std::nullopt;
    ::mkdir(PartitionBackupFolder().c_str(), 0755);
    auto path = ask_file(&m_host.Window(), save, offered);
    if (!path || path->empty())
        return std::nullopt;
    return path;
}

void PartitionPage::Backup()
{
    const auto path = AskBackupFile(true);
    if (!path)
        return;
    BgReader* disk = SelectedDisk();
    if (!disk)
        return;

    // Never replaces a file: an earlier backup may be the only copy of a
    // table that is gone from the disk.
    const int fd = ::open(path->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        const int err = errno;
        Message(zr::MSGBOX_WARNING, zr::MSGBOX_OK,
                err == EEXIST ? "The file " + *path + " already exists and was left as it is.\n"
                                    "Nothing was saved; please choose a new file name."
                              : "Can not create " + *path + ": " + std::strerror(err) + ".");
        return;
    }
    PartitionTools tools(disk);
    const BackupStatus rc = tools.Backup(fd);
    const bool closed = ::close(fd) == 0;
    if (rc == BackupStatus::ok && closed) {
        Message(zr::MSGBOX_SUCCESS, zr::MSGBOX_OK, "Backup partition table successfully.");
        return;
    }
    // An empty or partial file would only be refused by a later restore.
    ::unlink(path->c_str());
    if (rc == BackupStatus::no_table)
        Message(zr::MSGBOX_WARNING, zr::MSGBOX_OK | zr::MSGBOX_CANCEL, "No Partition,No Backup!");
    else
        Message(zr::MSGBOX_WARNING, zr::MSGBOX_OK | zr::MSGBOX_CANCEL, "Backup Partition Table Failed!");
}

void PartitionPage::Restore()
{
    const auto path = AskBackupFile(false);
    if (!path)
        return;
    // Never blocks: a FIFO opened for reading would wait for a writer.
    const int fd = ::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        Message(zr::MSGBOX_WARNING, zr::MSGBOX_OK, "File does not exist!");
        return;
    }
    struct FileCloser {
        int fd;
        ~FileCloser() { ::close(fd); }
    } closer{fd};

    BgReader* disk = SelectedDisk();
    if (!disk)
        return;
    PartitionTools tools(disk);
    BackupCheck check;
    struct stat st {};
    if (!regular_file(fd) || ::fstat(fd, &st) != 0 || !BackupFileSizeFits(uint64_t(st.st_size)))
        check.fault = BackupFault::unreadable;
    else
        check = tools.CheckBackup(fd);
    if (!check.ok()) {
        Message(zr::MSGBOX_WARNING, zr::MSGBOX_OK, "Restore Failed!\n" + check.reason() + "; nothing was written.");
        return;
    }
    if (!PrepareWrite(*disk))
        return;
    if (!tools.Restore(fd)) {
        Message(zr::MSGBOX_WARNING, zr::MSGBOX_OK, "Restore Failed!" + saved_note(m_saved_tables));
        return;
    }
    Message(zr::MSGBOX_SUCCESS, zr::MSGBOX_OK, "Complete Recovery!" + saved_note(m_saved_tables));
    if (!IsSystemDisk(*disk)) {
        Message(zr::MSGBOX_INFO, zr::MSGBOX_OK | zr::MSGBOX_CANCEL, "Complete Recovery, Please re-plug the device!");
        return;
    }
    if (Message(zr::MSGBOX_WARNING, zr::MSGBOX_YES | zr::MSGBOX_NO, "Take effect after reboot.") == zr::IDC_MSGBOX_YES)
        Reboot();
}

BgReader* PartitionPage::PickDisk(bool from_button)
{
    const std::string row = m_host.SelectedDiskRow();
    if (from_button && row.empty()) {
        Message(zr::MSGBOX_WARNING, zr::MSGBOX_OK, "Please select the device from the list above!");
        return nullptr;
    }
    Release();
    BgReader* disk = SelectedDisk();
    if (!disk)
        return nullptr;
    if (IsDynamicDisk(*disk)) {
        Message(zr::MSGBOX_WARNING, zr::MSGBOX_OK | zr::MSGBOX_CANCEL,
                "Can not recover dynamic disks, please select another disk");
        return nullptr;
    }
    m_disk = disk;
    m_disk_row = row.substr(0, 100);
    m_tools = std::make_unique<PartitionTools>(disk);
    return disk;
}

void PartitionPage::RunSearch(ProgressSink& progress)
{
    QtResultTree& tree = m_host.TreeView();
    QtResultList& list = m_host.ListView();
    zr::ZrDialog& window = m_host.Window();
    on_thread_of(window, [&] {
        tree.SetCheckBoxes(false);
        list.SetCheckBoxes(false);
        list.SetGridLines(true);
        tree.DeleteAll();
        list.Clear();
        const NodeId root = tree.InsertNode(0, m_disk_row, kImageRoot, kImageRootSelected);
        if (root)
            tree.Select(root);
    });
    std::vector<FoundPartition> found;
    if (m_tools)
        found = m_tools->Search();
    on_thread_of(window, [&] {
        list.SetColumns({{"Partition Name", 150}, {"Size", 150}, {"FileSystem", 113}, {"State", 113}, {"Time", 200}});
        for (const FoundPartition& f : found)
            list.AppendTexts({"partition" + std::to_string(f.number), FormatSize(f.size), FoundFileSystemText(f.fs_code),
                              f.primary ? "Primary partition" : "Extended partition", CurrentTimeText()},
                             f.number + 1);
    });
    progress.SetProgress(100);
}

void PartitionPage::Rebuild()
{
    if (!m_disk || !m_tools)
        return;
    if (Message(zr::MSGBOX_INFO, zr::MSGBOX_YES | zr::MSGBOX_NO, "Are you sure you want to recover?") !=
        zr::IDC_MSGBOX_YES)
        return;
    if (!PrepareWrite(*m_disk))
        return;
    if (!m_tools->Rebuild()) {
        // Reported rather than followed by the completion text: the table on
        // the disk may not describe the volumes found.
        const std::string why = partition_last_failure();
        Message(zr::MSGBOX_ERROR, zr::MSGBOX_OK,
                "The partition table could not be rebuilt" + (why.empty() ? std::string() : " (" + why + ")") + "." +
                    saved_note(m_saved_tables));
        return;
    }
    if (!IsSystemDisk(*m_disk)) {
        Message(zr::MSGBOX_INFO, zr::MSGBOX_OK | zr::MSGBOX_CANCEL,
                "Complete Recovery, Please re-plug the device" + saved_note(m_saved_tables));
        return;
    }
    if (Message(zr::MSGBOX_INFO, zr::MSGBOX_OK | zr::MSGBOX_CANCEL, "Take effect after reboot." + saved_note(m_saved_tables)) ==
        zr::IDC_MSGBOX_OK)
        Reboot();
}

void PartitionPage::Release()
{
    m_tools.reset();
    m_disk = nullptr;
    m_disk_row.clear();
}

} // namespace salvor
