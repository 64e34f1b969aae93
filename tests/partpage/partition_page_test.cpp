// The Partition Recovery page on disk images made by sfdisk, mkntfs and
// mkfs.vfat: the search and its list, the rebuild with its confirmation,
// backup and restore through the file dialogs, the backup of the current
// tables saved before every write, and the refusals. Message boxes and file
// dialogs are answered through the test hooks.
#include <partpage/partition_page.h>

#include <core/main_dlg.h>
#include <host/main_host.h>
#include <host/test_hooks.h>
#include <platform/zr_dialog.h>
#include <shell/msgbox.h>
#include <views/result_views.h>

#include <blockgate/blockgate.h>

#include <test_support.h>

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QMetaObject>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace salvor;
using namespace salvor_test;

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "partpage_test";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance())
            m_app = new QApplication(argc, argv);
    }
    void TearDown() override
    {
        delete m_app;
        m_app = nullptr;
    }

private:
    QApplication* m_app = nullptr;
};
const auto* const g_qt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// One shown message box and the answer the test gave it.
struct Shown {
    int style = 0;
    int mask = 0;
    std::string text;
};

// The main dialog as the page sees it: a window, the two views, the listed
// disks, the selected disk-list row and a progress dialog whose job runs on
// a worker thread while this thread waits in an event loop.
class TestHost final : public MainHost {
public:
    TestHost()
        : window(129)
        , tree(&window)
        , list(&window)
        , session(tree, list)
    {
    }

    zr::ZrDialog& Window() override { return window; }
    RecoveryMode Mode() const override { return kModePartition; }
    ScanSession& Session() override { return session; }
    QtResultTree& TreeView() override { return tree; }
    QtResultList& ListView() override { return list; }
    LoadingState& Loading() override { return loading; }
    std::string TargetFolder() const override { return {}; }
    std::string TempFolder() const override { return {}; }
    BgDiskNode* Disks() override { return bg_disk_list; }
    std::string SelectedDiskRow() const override { return row; }
    std::string SystemDisk() const override { return system_disk; }
    void RunProgress(ProgressKind kind) override
    {
        ASSERT_EQ(kind, kProgressPartitionSearch);
        NullProgress progress;
        QEventLoop loop;
        worker_thread = std::thread::id();
        std::thread worker([&] {
            worker_thread = std::this_thread::get_id();
            RunPartitionSearch(progress);
            QMetaObject::invokeMethod(&loop, [&] { loop.quit(); }, Qt::QueuedConnection);
        });
        loop.exec();
        worker.join();
        last_percent = progress.last_percent;
    }
    void RunPartitionSearch(ProgressSink& progress) override { page->RunSearch(progress); }

    zr::ZrDialog window;
    QtResultTree tree;
    QtResultList list;
    ScanSession session;
    NullLoading loading;
    std::string row;
    std::string system_disk;
    PartitionPage* page = nullptr;
    std::thread::id worker_thread;
    int last_percent = -1;
};

// The partition lines of `sfdisk --dump` ("IMG1 : start=..., size=..., type=...").
std::vector<std::string> start_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find("start=") != std::string::npos)
            lines.push_back(line);
    return lines;
}

std::vector<std::string> sfdisk_lines(const fs::path& image)
{
    std::string out;
    EXPECT_EQ(run("sfdisk --dump '" + image.string() + "' 2>/dev/null", &out), 0);
    return start_lines(out);
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// Saves a picture of the window with its item views into the screenshot
// folder (SALVOR_SCREENSHOT_DIR, else "screenshots" in the build folder).
void save_screenshot(QWidget& window, const char* name)
{
    QString dir = qEnvironmentVariable("SALVOR_SCREENSHOT_DIR");
    if (dir.isEmpty())
        dir = qEnvironmentVariable("SALVOR_BUILD_DIR", QDir::tempPath()) + "/screenshots";
    QDir().mkpath(dir);
    EXPECT_TRUE(window.grab().save(dir + "/" + name));
}

class PartitionPageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (auto tool : {"sfdisk", "mkntfs", "mkfs.vfat"})
            if (!have_tool(tool))
                GTEST_SKIP() << tool << " is missing (fdisk, ntfs-3g, dosfstools)";
        // The backups go under a home folder of the test's own.
        home = tmp / "home";
        fs::create_directories(home);
        m_old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
        setenv("HOME", home.c_str(), 1);
        bg_set_real_disks(0);
        zr::SetMessageBoxHook([this](int style, int mask, const QString& text, const QString&) {
            shown.push_back({style, mask, text.toStdString()});
            if (answers.empty())
                return mask & zr::MSGBOX_OK ? zr::IDC_MSGBOX_OK : zr::IDC_MSGBOX_NO;
            const int answer = answers.front();
            answers.pop_front();
            return answer;
        });
        TestDialogHooks().file = [this](bool save, const std::string& offered) -> std::optional<std::string> {
            dialogs.push_back({save, offered});
            return dialog_answer;
        };
        SetRebootCommand([this] { ++reboots; });
        host.page = &page;
    }
    void TearDown() override
    {
        page.Release();
        bg_release_devices();
        bg_clear_images();
        bg_set_real_disks(1);
        zr::SetMessageBoxHook(nullptr);
        TestDialogHooks().file = nullptr;
        SetRebootCommand(nullptr);
        if (!m_old_home.empty())
            setenv("HOME", m_old_home.c_str(), 1);
    }

    // Makes a disk image by the fixture script (its table lost unless
    // `intact`) and lists it as the only disk, selected in the disk list.
    void MakeDisk(const std::string& layout, bool intact = false)
    {
        image = tmp / (layout + ".img");
        ASSERT_TRUE(run_fixture("partition-lost-tables.sh", {layout, image.string(), (tmp / "dump").string()}));
        const auto dump = read_file(tmp / "dump");
        original = start_lines(std::string(dump.begin(), dump.end()));
        ASSERT_FALSE(original.empty());
        if (intact)
            ASSERT_EQ(run("sfdisk --no-reread -q '" + image.string() + "' < '" + (tmp / "dump").string() + "'"), 0);
        ListDisk();
    }
    // Lists the image again, as the main dialog does after a device change
    // (the page lets its search go first).
    void ListDisk()
    {
        page.Release();
        bg_release_devices();
        bg_clear_images();
        ASSERT_EQ(bg_add_image(image.c_str()), 0);
        bg_scan_disks();
        bg_scan_volumes();
        ASSERT_NE(bg_disk_list, nullptr);
        host.row = image.filename().string();
    }
    std::vector<fs::path> SavedTables() const
    {
        std::vector<fs::path> files;
        const fs::path folder = home / "REVuvi Deverode";
        if (fs::exists(folder))
            for (const auto& e : fs::directory_iterator(folder))
                if (e.path().filename().string().rfind("ZRPartitionBackup-", 0) == 0)
                    files.push_back(e.path());
        return files;
    }
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> texts;
        for (const auto& s : shown)
            texts.push_back(first_line(s.text));
        return texts;
    }

    TempDir tmp;
    fs::path home;
    fs::path image;
    std::vector<std::string> original;
    TestHost host;
    PartitionPage page{host};
    std::vector<Shown> shown;
    std::deque<int> answers;
    std::vector<std::pair<bool, std::string>> dialogs;
    std::optional<std::string> dialog_answer;
    int reboots = 0;

private:
    std::string m_old_home;
};

} // namespace

TEST_F(PartitionPageTest, SearchListsTheLostVolumesAndYesRebuildsTheTable)
{
    MakeDisk("mib");
    ASSERT_TRUE(sfdisk_lines(image).empty()) << "the fixture did not lose its table";
    const std::vector<uint8_t> before = read_file(image);

    ASSERT_EQ(page.PickDisk(true), bg_disk_list->disk);
    EXPECT_TRUE(shown.empty());
    host.RunProgress(kProgressPartitionSearch);
    EXPECT_NE(host.worker_thread, std::thread::id());
    EXPECT_NE(host.worker_thread, std::this_thread::get_id());
    EXPECT_EQ(host.last_percent, 100);

    // One root node named after the disk, no check boxes.
    const NodeId root = host.tree.FirstRoot();
    ASSERT_NE(root, 0u);
    EXPECT_EQ(host.tree.Text(root), "mib.img");
    EXPECT_EQ(host.tree.Image(root), kImageRoot);
    EXPECT_EQ(host.tree.NextSibling(root), 0u);
    EXPECT_EQ(host.tree.FirstChild(root), 0u);

    // The five columns and one row per volume.
    const std::vector<std::pair<std::string, int>> columns = {
        {"Partition Name", 150}, {"Size", 150}, {"FileSystem", 113}, {"State", 113}, {"Time", 200}};
    QTreeWidget* view = host.list.Widget();
    std::vector<std::pair<std::string, int>> shown_columns;
    for (int c = 0; c < view->columnCount(); ++c)
        shown_columns.emplace_back(view->headerItem()->text(c).toStdString(), view->columnWidth(c));
    EXPECT_EQ(shown_columns, columns);
    EXPECT_FALSE(host.list.CheckBoxes());
    EXPECT_FALSE(host.tree.CheckBoxes());
    ASSERT_EQ(host.list.RowCount(), 3u);
    const char* fs[] = {" NTFS ", " FAT32 ", " FAT32 "};
    const char* state[] = {"Primary partition", "Extended partition", "Extended partition"};
    for (size_t r = 0; r < 3; ++r) {
        EXPECT_EQ(host.list.Text(r, 0), "partition" + std::to_string(r));
        EXPECT_EQ(host.list.Text(r, 1), "8.00MB");
        EXPECT_EQ(host.list.Text(r, 2), fs[r]);
        EXPECT_EQ(host.list.Text(r, 3), state[r]);
        EXPECT_EQ(host.list.Text(r, 4).size(), 14u) << host.list.Text(r, 4);
    }

    // No: nothing is written and no backup is made.
    answers = {zr::IDC_MSGBOX_NO};
    page.Rebuild();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Are you sure you want to recover?");
    EXPECT_EQ(shown[0].style, zr::MSGBOX_INFO);
    EXPECT_EQ(shown[0].mask, zr::MSGBOX_YES | zr::MSGBOX_NO);
    EXPECT_EQ(sha256_file(image), sha256_hex(before));
    EXPECT_TRUE(SavedTables().empty());

    // Yes: the tables are saved first, then the table is rebuilt.
    shown.clear();
    answers = {zr::IDC_MSGBOX_YES};
    page.Rebuild();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(first_line(shown[1].text), "Complete Recovery, Please re-plug the device");
    EXPECT_EQ(shown[1].style, zr::MSGBOX_INFO);
    EXPECT_EQ(shown[1].mask, zr::MSGBOX_OK | zr::MSGBOX_CANCEL);
    EXPECT_EQ(sfdisk_lines(image), original);
    EXPECT_EQ(reboots, 0);

    // The saved file holds sector 0's entries as they were (all zero after
    // the loss), and the message says where it is.
    const auto saved = SavedTables();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(page.LastSavedTables(), saved[0].string());
    EXPECT_NE(shown[1].text.find(saved[0].string()), std::string::npos);
    const auto record = read_file(saved[0]);
    ASSERT_EQ(record.size(), 72u);
    EXPECT_EQ(std::vector<uint8_t>(record.begin(), record.begin() + 8), std::vector<uint8_t>(8, 0));
    EXPECT_EQ(std::vector<uint8_t>(record.begin() + 8, record.end()),
              std::vector<uint8_t>(before.begin() + 446, before.begin() + 510));

    // Restoring that file through the page undoes the rebuild.
    shown.clear();
    dialog_answer = saved[0].string();
    ListDisk();
    page.Restore();
    ASSERT_GE(shown.size(), 2u);
    EXPECT_EQ(first_line(shown[0].text), "Complete Recovery!");
    EXPECT_EQ(shown[1].text, "Complete Recovery, Please re-plug the device!");
    EXPECT_TRUE(sfdisk_lines(image).empty());
    const auto undone = read_file(image);
    EXPECT_TRUE(std::equal(undone.begin(), undone.begin() + 512, before.begin()));
}

TEST_F(PartitionPageTest, BackupThenRestoreGivesBackTheExactSectors)
{
    MakeDisk("mib", true);
    ASSERT_EQ(sfdisk_lines(image), original);
    const std::string intact = sha256_file(image);
    const fs::path file = tmp / "tables.bin";

    dialog_answer = file.string();
    page.Backup();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_TRUE(dialogs[0].first);
    EXPECT_EQ(dialogs[0].second, (home / "REVuvi Deverode" / "ZRPartitionBackup.bin").string());
    EXPECT_TRUE(fs::is_directory(home / "REVuvi Deverode"));
    EXPECT_EQ(Texts(), std::vector<std::string>{"Backup partition table successfully."});
    EXPECT_EQ(shown[0].style, zr::MSGBOX_SUCCESS);
    // The master boot record and the two extended boot records.
    EXPECT_EQ(fs::file_size(file), 3 * 72u);
    const std::string backup_hash = sha256_file(file);

    // Backup to a file that exists: it is left as it is, and the user is told.
    shown.clear();
    page.Backup();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].text.find("already exists"), std::string::npos) << shown[0].text;
    EXPECT_EQ(sha256_file(file), backup_hash);

    // The tables are lost: every entry of sector 0 and of both extended boot
    // records zeroed.
    auto bytes = read_file(image);
    for (uint64_t sector : {0ull, 18432ull, 36864ull})
        std::fill(bytes.begin() + sector * 512 + 446, bytes.begin() + sector * 512 + 510, 0);
    write_file(image, bytes);
    ListDisk();
    const std::string lost = sha256_file(image);
    ASSERT_NE(lost, intact);

    shown.clear();
    dialogs.clear();
    page.Restore();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_FALSE(dialogs[0].first);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"Complete Recovery!", "Complete Recovery, Please re-plug the device!"}));
    EXPECT_EQ(sha256_file(image), intact);
    // What the restore replaced was saved first.
    const auto saved = SavedTables();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_NE(shown[0].text.find(saved[0].string()), std::string::npos);
    const auto old_tables = read_file(saved[0]);
    ASSERT_GE(old_tables.size(), 72u);
    EXPECT_EQ(std::vector<uint8_t>(old_tables.begin() + 8, old_tables.begin() + 72), std::vector<uint8_t>(64, 0));
}

TEST_F(PartitionPageTest, DamagedBackupFilesChangeNothing)
{
    MakeDisk("fat16", true);
    const std::string hash = sha256_file(image);
    // Empty; 73 bytes; a table whose extended boot record would lie inside
    // the FAT volume.
    std::vector<std::vector<uint8_t>> files = {{}, std::vector<uint8_t>(73, 0)};
    std::vector<uint8_t> chain(144, 0);
    chain[8 + 4] = 0x0F;              // MBR entry 1: extended
    chain[8 + 9] = 0x10;              // starting at sector 4096, inside the volume
    chain[8 + 13] = 0x10;
    chain[72 + 2] = 0x20;             // record 1 at byte offset 4096 * 512
    files.push_back(chain);
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(i);
        const fs::path file = tmp / ("bad" + std::to_string(i) + ".bin");
        write_file(file, files[i]);
        dialog_answer = file.string();
        shown.clear();
        page.Restore();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(first_line(shown[0].text), "Restore Failed!");
        EXPECT_EQ(shown[0].style, zr::MSGBOX_WARNING);
        EXPECT_EQ(sha256_file(image), hash);
    }
    // A missing file, and a folder.
    for (const fs::path& file : {tmp / "missing.bin", tmp.path()}) {
        dialog_answer = file.string();
        shown.clear();
        page.Restore();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_TRUE(shown[0].text == "File does not exist!" || first_line(shown[0].text) == "Restore Failed!")
            << shown[0].text;
    }
    EXPECT_EQ(sha256_file(image), hash);
    EXPECT_TRUE(SavedTables().empty());
}

TEST_F(PartitionPageTest, UnknownGptAndDynamicDisksAreRefused)
{
    MakeDisk("fat16", true);
    // A row that names no listed disk.
    host.row = "gone.img";
    EXPECT_EQ(page.PickDisk(false), nullptr);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "System erroe...!");
    host.row = image.filename().string();

    // GPT and dynamic disks are refused before any search.
    for (uint8_t type : {0xEE, 0x42}) {
        SCOPED_TRACE(int(type));
        if (type == 0xEE)
            ASSERT_EQ(run("printf 'label: gpt\\nsize=8M, type=L\\n' | sfdisk --no-reread -q '" + image.string() + "'"),
                      0);
        else {
            auto bytes = read_file(image);
            bytes[446 + 4] = 0x42;
            write_file(image, bytes);
        }
        ListDisk();
        const std::string hash = sha256_file(image);
        shown.clear();
        EXPECT_EQ(page.PickDisk(true), nullptr);
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].text, "Can not recover dynamic disks, please select another disk");
        EXPECT_EQ(shown[0].style, zr::MSGBOX_WARNING);
        EXPECT_EQ(shown[0].mask, zr::MSGBOX_OK | zr::MSGBOX_CANCEL);
        EXPECT_EQ(page.SearchedDisk(), nullptr);
        page.Rebuild();
        EXPECT_EQ(shown.size(), 1u);
        EXPECT_EQ(sha256_file(image), hash);
    }
}

TEST_F(PartitionPageTest, SystemDiskAsksForTheReboot)
{
    MakeDisk("fat16", true);
    host.system_disk = image.string();
    const fs::path file = tmp / "tables.bin";
    dialog_answer = file.string();
    page.Backup();

    // Restore: "Complete Recovery!", then the reboot question.
    for (int answer : {zr::IDC_MSGBOX_NO, zr::IDC_MSGBOX_YES}) {
        shown.clear();
        answers = {zr::IDC_MSGBOX_OK, answer};
        page.Restore();
        EXPECT_EQ(Texts(), (std::vector<std::string>{"Complete Recovery!", "Take effect after reboot."}));
        EXPECT_EQ(shown[1].mask, zr::MSGBOX_YES | zr::MSGBOX_NO);
        EXPECT_EQ(reboots, answer == zr::IDC_MSGBOX_YES ? 1 : 0);
    }

    // Rebuild: OK restarts, Cancel does not.
    auto bytes = read_file(image);
    std::fill(bytes.begin() + 446, bytes.begin() + 510, 0);
    write_file(image, bytes);
    ListDisk();
    ASSERT_NE(page.PickDisk(true), nullptr);
    host.RunProgress(kProgressPartitionSearch);
    ASSERT_EQ(host.list.RowCount(), 1u);
    for (int answer : {zr::IDC_MSGBOX_CANCEL, zr::IDC_MSGBOX_OK}) {
        shown.clear();
        answers = {zr::IDC_MSGBOX_YES, answer};
        page.Rebuild();
        EXPECT_EQ(Texts(), (std::vector<std::string>{"Are you sure you want to recover?", "Take effect after reboot."}));
        EXPECT_EQ(shown[1].mask, zr::MSGBOX_OK | zr::MSGBOX_CANCEL);
    }
    EXPECT_EQ(reboots, 2);
    EXPECT_EQ(sfdisk_lines(image), original);
}

TEST_F(PartitionPageTest, FailedRebuildIsReportedAndWritesNoTable)
{
    MakeDisk("five");
    ASSERT_NE(page.PickDisk(true), nullptr);
    host.RunProgress(kProgressPartitionSearch);
    ASSERT_EQ(host.list.RowCount(), 5u);
    auto before = read_file(image);
    answers = {zr::IDC_MSGBOX_YES};
    page.Rebuild();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_NE(first_line(shown[1].text).find("could not be rebuilt"), std::string::npos) << shown[1].text;
    EXPECT_EQ(shown[1].style, zr::MSGBOX_ERROR);
    EXPECT_EQ(read_file(image), before);

    // After the release the page has nothing to rebuild.
    page.Release();
    shown.clear();
    page.Rebuild();
    EXPECT_TRUE(shown.empty());
}

// The tables cannot be saved first (the backup folder's name is taken by a
// file): the rebuild is not made.
TEST_F(PartitionPageTest, NoWriteWithoutTheSavedTables)
{
    MakeDisk("fat16");
    write_file(home / "REVuvi Deverode", {1, 2, 3});
    ASSERT_NE(page.PickDisk(true), nullptr);
    host.RunProgress(kProgressPartitionSearch);
    ASSERT_EQ(host.list.RowCount(), 1u);
    const std::string hash = sha256_file(image);
    answers = {zr::IDC_MSGBOX_YES};
    page.Rebuild();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1].text.rfind("The current partition tables could not be saved", 0), 0u) << shown[1].text;
    EXPECT_NE(shown[1].text.find("Nothing was written"), std::string::npos);
    EXPECT_EQ(sha256_file(image), hash);
    EXPECT_TRUE(sfdisk_lines(image).empty());
}

TEST_F(PartitionPageTest, SearchOfABlankDiskListsNothing)
{
    image = tmp / "blank.img";
    write_file(image, std::vector<uint8_t>(4 << 20, 0));
    ListDisk();
    ASSERT_NE(page.PickDisk(true), nullptr);
    host.RunProgress(kProgressPartitionSearch);
    EXPECT_EQ(host.list.RowCount(), 0u);
    EXPECT_EQ(host.tree.Text(host.tree.FirstRoot()), "blank.img");
    EXPECT_TRUE(shown.empty());
}

// A disk the user cannot open for writing: the reason is named and nothing
// is written, not even the backup of the current tables.
TEST_F(PartitionPageTest, UnwritableDiskIsNamedAndLeftAlone)
{
    MakeDisk("fat16");
    ASSERT_NE(page.PickDisk(true), nullptr);
    host.RunProgress(kProgressPartitionSearch);
    ASSERT_EQ(host.list.RowCount(), 1u);
    const std::string hash = sha256_file(image);
    ASSERT_EQ(::chmod(image.c_str(), 0444), 0);
    if (::geteuid() != 0) {
        answers = {zr::IDC_MSGBOX_YES};
        page.Rebuild();
        ASSERT_EQ(shown.size(), 2u);
        EXPECT_NE(shown[1].text.find("Permission denied"), std::string::npos) << shown[1].text;
    } else {
        // Root may write anything: the page runs in a child that has given
        // root up. Its exit status is the number of the failed expectation.
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Never returns into the test runner.
            int rc = 0;
            try {
                if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                    ::_exit(10);
                answers = {zr::IDC_MSGBOX_YES};
                page.Rebuild();
                if (shown.size() != 2)
                    rc = 11;
                else if (shown[1].text.find("Can not write to " + image.string() + ": Permission denied") != 0)
                    rc = 12;
            } catch (...) {
                rc = 13;
            }
            ::_exit(rc);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    EXPECT_EQ(sha256_file(image), hash);
    EXPECT_TRUE(SavedTables().empty());
    EXPECT_EQ(DiskWriteError(*bg_disk_list->disk), ::geteuid() == 0 ? 0 : EACCES);
}

// The page in the main window: the disk list, the search from the recover
// partition button, the rebuild from Recover, Back, and the backup button.
TEST_F(PartitionPageTest, InTheMainWindow)
{
    MakeDisk("mib");
    bg_release_devices(); // the window lists the devices itself
    CMainDlg dlg;
    ASSERT_TRUE(dlg.InitDialog(nullptr));
    const auto command = [&](int id) { dlg.SendMessage(zr::WM_COMMAND, zr::MakeWParam(id, 0), 0); };
    command(IDC_MODE_PARTITION);
    command(IDC_NEXT);
    ASSERT_EQ(dlg.Page(), kPageSource);
    ASSERT_EQ(dlg.DiskList().RowCount(), 1u);
    EXPECT_EQ(dlg.DiskList().Text(0, 0), "mib.img");

    command(IDC_RECOVER_PARTITION);
    EXPECT_EQ(Texts(), std::vector<std::string>{"Please select the device from the list above!"});
    EXPECT_EQ(dlg.Page(), kPageSource);
    dlg.DiskList().SelectRow(0);
    save_screenshot(dlg, "partition_disks.png");

    shown.clear();
    command(IDC_RECOVER_PARTITION);
    EXPECT_TRUE(shown.empty());
    ASSERT_EQ(dlg.Page(), kPageResults);
    EXPECT_TRUE(dlg.DiskList().Widget()->isHidden());
    EXPECT_EQ(dlg.TreeView().Text(dlg.TreeView().FirstRoot()), "mib.img");
    ASSERT_EQ(dlg.ListView().RowCount(), 3u);
    EXPECT_EQ(dlg.ListView().Text(0, 2), " NTFS ");
    dlg.ListView().SelectRow(0);
    save_screenshot(dlg, "partition_search.png");

    // Recover: the common folder question, then the page's confirmation.
    TestDialogHooks().folder = [&]() -> std::optional<std::string> { return tmp.path().string(); };
    shown.clear();
    answers = {zr::IDC_MSGBOX_YES};
    command(IDC_RECOVER);
    TestDialogHooks().folder = nullptr;
    EXPECT_EQ(Texts(), (std::vector<std::string>{"Are you sure you want to recover?",
                                                 "Complete Recovery, Please re-plug the device"}));
    EXPECT_EQ(sfdisk_lines(image), original);

    // Back releases the search: the disk list is shown again.
    answers = {zr::IDC_MSGBOX_YES};
    command(IDC_BACK);
    EXPECT_EQ(dlg.Page(), kPageSource);
    EXPECT_FALSE(dlg.DiskList().Widget()->isHidden());
    EXPECT_EQ(dlg.PartitionRecovery().SearchedDisk(), nullptr);

    shown.clear();
    dialog_answer = (tmp / "tables.bin").string();
    command(IDC_BACKUP_PARTITION);
    EXPECT_EQ(Texts(), std::vector<std::string>{"Backup partition table successfully."});
    EXPECT_EQ(fs::file_size(tmp / "tables.bin"), 3 * 72u);
}

TEST(PartitionPageTexts, OnlyFoundFileSystemsAreNamed)
{
    EXPECT_EQ(FoundFileSystemText(BG_FS_FAT12), " FAT12 ");
    EXPECT_EQ(FoundFileSystemText(BG_FS_EXFAT), "");
    EXPECT_EQ(FoundFileSystemText(BG_FS_UNKNOWN), "");
}
