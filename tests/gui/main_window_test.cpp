// The main window driven by mouse events at its designed coordinates, with
// the message boxes and the folder dialog answered by test hooks; and the
// salvor program as a process.
#include "gui_driver.h"

#include <blockgate/blockgate.h>
#include <test_support.h>

#include <widgets/skin.h>

#include <QMenu>
#include <QProcess>
#include <QScrollBar>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <unistd.h>

using namespace salvor;
using namespace salvor_gui;
using salvor_test::TempDir;
namespace fs = std::filesystem;

namespace {

::testing::Environment* const qt_app = ::testing::AddGlobalTestEnvironment(new QtApp);

// TMPDIR pointed at a test's folder while alive (the folders of later tests
// are made under the original one).
class TmpdirAt {
public:
    explicit TmpdirAt(const fs::path& dir) : m_old(qgetenv("TMPDIR")), m_had(qEnvironmentVariableIsSet("TMPDIR"))
    {
        qputenv("TMPDIR", dir.string().c_str());
    }
    ~TmpdirAt()
    {
        if (m_had)
            qputenv("TMPDIR", m_old);
        else
            qunsetenv("TMPDIR");
    }

private:
    QByteArray m_old;
    bool m_had;
};

std::string sample_bytes(const std::string& name, size_t size, int seed, bool jpeg)
{
    std::string text;
    while (text.size() < size)
        text += "salvor sample " + std::to_string(seed) + " " + name;
    text.resize(size);
    if (jpeg)
        text.replace(0, 4, "\xff\xd8\xff\xe0");
    return text;
}

// The sample disk (NTFS at 1 MiB, FAT32 at 9 MiB, deleted files on both),
// made once for the whole program.
const fs::path& sample_disk()
{
    static TempDir dir;
    static fs::path img;
    if (img.empty() && salvor_test::require_tool("mkntfs", "ntfs-3g") &&
        salvor_test::require_tool("mcopy", "mtools") && salvor_test::require_tool("sfdisk", "fdisk")) {
        const fs::path p = dir / "sample.img";
        if (salvor_test::run_fixture("make-sample-disk.sh", {p.string()}))
            img = p;
    }
    return img;
}

class MainWindowTest : public ::testing::Test {
protected:
    // The sample disk lives under the original TMPDIR for the whole program.
    static void SetUpTestSuite() { sample_disk(); }
    void SetUp() override
    {
        tmpdir = std::make_unique<TmpdirAt>(tmp.path());
        bg_set_real_disks(0);
        bg_clear_images();
    }
    void TearDown() override
    {
        dlg.reset();
        bg_clear_images();
        bg_set_real_disks(1);
        tmpdir.reset();
    }

    CMainDlg& Open(const std::vector<std::string>& images = {})
    {
        for (const std::string& image : images)
            EXPECT_EQ(bg_add_image(image.c_str()), 0) << image;
        dlg = std::make_unique<CMainDlg>();
        dlg->InitDialog(nullptr);
        dlg->show();
        return *dlg;
    }

    void Click(int x, int y) { ClickAt(dlg.get(), x, y); }
    void Click(const QPoint& p) { ClickAt(dlg.get(), p.x(), p.y()); }

    TempDir tmp;
    std::unique_ptr<TmpdirAt> tmpdir;
    BoxRecorder boxes;
    DialogSeams seams;
    std::unique_ptr<CMainDlg> dlg;
};

TEST_F(MainWindowTest, ModePageRadiosDescriptionsAndFileTypes)
{
    CMainDlg& d = Open();
    EXPECT_EQ(d.Page(), kPageMode);
    EXPECT_EQ(d.Mode(), kModeDeleted);
    EXPECT_TRUE(d.Description().startsWith("Delete Recovery can recover all deleted files"));

    Click(ModeRadio(2));
    EXPECT_EQ(d.Mode(), kModeFormat);
    EXPECT_TRUE(d.Description().endsWith("\n\nPlease select the file system:"));
    Click(ModeRadio(3));
    EXPECT_EQ(d.Mode(), kModePartition);
    EXPECT_TRUE(d.Description().startsWith("Partition Recovery can rebuild damaged partition table"));

    // Raw Recovery: the four file types are ticked; with none ticked Next refuses.
    Click(ModeRadio(4));
    EXPECT_EQ(d.Mode(), kModeRaw);
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(d.TypeCheck(i).Ticked());
        Click(TypeCheckBox(d, i));
        EXPECT_FALSE(d.TypeCheck(i).Ticked());
    }
    ClickButton(d, IDC_NEXT);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, "Please select the file type!");
    EXPECT_EQ(boxes.boxes[0].style, zr::MSGBOX_WARNING);
    EXPECT_EQ(boxes.boxes[0].mask, zr::MSGBOX_OK);
    EXPECT_EQ(boxes.boxes[0].caption, "");
    EXPECT_EQ(d.Page(), kPageMode);

    // One type is enough; the choice goes to the scan.
    Click(TypeCheckBox(d, 2));
    ClickButton(d, IDC_NEXT);
    EXPECT_EQ(d.Page(), kPageSource);
    EXPECT_FALSE(d.Session().raw.photo);
    EXPECT_TRUE(d.Session().raw.video);
    EXPECT_TRUE(d.Button(IDC_SCAN).Visible());
    EXPECT_FALSE(d.Button(IDC_NEXT).Visible());

    // The file-system radios of Format Recovery give the code; it stays across Back.
    ClickButton(d, IDC_BACK);
    EXPECT_EQ(d.Page(), kPageMode);
    Click(ModeRadio(2));
    EXPECT_TRUE(d.FsRadio(3).Checked()); // NTFS at start
    Click(FsRadio(d, 2));
    EXPECT_TRUE(d.FsRadio(2).Checked());
    EXPECT_FALSE(d.FsRadio(3).Checked());
    ClickButton(d, IDC_NEXT);
    EXPECT_EQ(d.FsCode(), BG_FS_FAT32);
    // The Back button sits at the right outside Partition Recovery, at the left in it.
    EXPECT_EQ(d.Button(IDC_BACK).Rect().left, d.ClientWidth() - 230);
    ClickButton(d, IDC_BACK);
    Click(ModeRadio(3));
    ClickButton(d, IDC_NEXT);
    EXPECT_EQ(d.Button(IDC_BACK).Rect().left, 30);
    EXPECT_FALSE(d.Button(IDC_SCAN).Visible());
    EXPECT_TRUE(d.DiskList().Widget()->isVisible());
    EXPECT_EQ(boxes.boxes.size(), 1u);
}

TEST_F(MainWindowTest, SourcePageEntriesInfoPanelAndSelection)
{
    const fs::path& img = sample_disk();
    ASSERT_FALSE(img.empty());
    CMainDlg& d = Open({img.string()});
    ClickButton(d, IDC_NEXT);
    ASSERT_EQ(d.Page(), kPageSource);
    ASSERT_EQ(d.Panel().entries.size(), 3u);
    EXPECT_EQ(d.Panel().entries[0].text, "sample.img");
    EXPECT_EQ(d.Panel().entries[1].text, "C:(NTFS )");
    EXPECT_EQ(d.Panel().entries[2].text, "D:(FAT32)");
    // The first volume is chosen at once and described.
    EXPECT_TRUE(d.Panel().entries[1].selected);
    EXPECT_EQ(d.InfoValues()[0], "C");
    EXPECT_EQ(d.InfoValues()[1], "NTFS ");
    EXPECT_EQ(d.InfoValues()[2], "8.00MB");
    EXPECT_EQ(d.InfoValues()[3], ""); // an image is not mounted
    EXPECT_FALSE(d.DeviceScrollBar()->isVisible());

    const auto fat = EntryPoint(d, 0, 1);
    ASSERT_TRUE(fat);
    Click(*fat);
    EXPECT_FALSE(d.Panel().entries[1].selected);
    EXPECT_TRUE(d.Panel().entries[2].selected);
    EXPECT_EQ(d.InfoValues()[0], "D");
    EXPECT_EQ(d.InfoValues()[1], "FAT32");
    EXPECT_EQ(d.InfoValues()[2], "40.00MB");

    // A click beside the entries changes nothing.
    Click(600, 380);
    EXPECT_TRUE(d.Panel().entries[2].selected);
    EXPECT_EQ(d.InfoValues()[0], "D");
}

TEST_F(MainWindowTest, ScanRefusesWithoutDisksOrSelection)
{
    {
        CMainDlg& d = Open();
        ClickButton(d, IDC_NEXT);
        ClickButton(d, IDC_SCAN);
        ASSERT_NE(boxes.Last(), nullptr);
        EXPECT_EQ(boxes.Last()->text, "There are no disks!");
        EXPECT_EQ(boxes.Last()->style, zr::MSGBOX_WARNING);
        EXPECT_EQ(d.Page(), kPageSource);
    }
    // A disk that cannot be read lists no volume: nothing can be selected,
    // and the reason is shown with the disk.
    dlg.reset();
    bg_clear_images();
    const fs::path gone = tmp / "gone.img";
    salvor_test::write_file(gone, std::vector<uint8_t>(4096, 0));
    ASSERT_EQ(bg_add_image(gone.c_str()), 0);
    fs::remove(gone);
    CMainDlg& d = Open();
    ClickButton(d, IDC_NEXT);
    ASSERT_EQ(d.Panel().entries.size(), 1u);
    EXPECT_NE(d.DiskList().Text(0, 2).find("cannot be read: no such file or directory"), std::string::npos) << d.DiskList().Text(0, 2);
    ClickButton(d, IDC_SCAN);
    EXPECT_EQ(boxes.Last()->text, "Please select a disk or partition to scan!");
    EXPECT_EQ(d.Page(), kPageSource);
}

// Deleted Recovery of the NTFS volume of the sample disk, from the mode page
// to the recovered files.
TEST_F(MainWindowTest, DeletedRecoveryOfNtfsWholeFlow)
{
    const fs::path& img = sample_disk();
    ASSERT_FALSE(img.empty());
    const std::string image_hash = salvor_test::sha256_file(img);
    CMainDlg& d = Open({img.string()});

    Click(ModeRadio(1));
    ClickButton(d, IDC_NEXT);
    Click(*EntryPoint(d, 0, 0));
    ClickButton(d, IDC_SCAN);
    ASSERT_EQ(d.Page(), kPageResults) << (boxes.Last() ? boxes.Last()->text : "");
    EXPECT_TRUE(boxes.boxes.empty()) << boxes.Last()->text;
    EXPECT_TRUE(d.Button(IDC_RECOVER).Visible());
    EXPECT_FALSE(d.Button(IDC_SCAN).Visible());
    const NodeId root = d.TreeView().FirstRoot();
    ASSERT_NE(root, 0u);
    EXPECT_EQ(d.TreeView().Text(root), "C:(NTFS )");
    // The loading indicator's timer shows the tree again.
    ASSERT_TRUE(QTest::qWaitFor([&] { return d.TreeView().Widget()->isVisible(); }, 5000));
    EXPECT_FALSE(d.LoadingFlag());
    // The root is selected: its deleted file is listed.
    ASSERT_EQ(d.ListView().RowCount(), 1u);
    EXPECT_EQ(d.ListView().Text(0, 0), "notes.txt");

    // Nothing checked yet.
    ClickButton(d, IDC_RECOVER);
    EXPECT_EQ(boxes.Last()->text, "Please select the files you want to recover!");
    EXPECT_EQ(seams.folder_asked, 0);

    // Back answered No keeps every result.
    boxes.Answer(zr::IDC_MSGBOX_NO);
    ClickButton(d, IDC_BACK);
    EXPECT_EQ(boxes.Last()->text, "The scan result will lose. Are you sure to go back?");
    EXPECT_EQ(boxes.Last()->mask, zr::MSGBOX_YES | zr::MSGBOX_NO);
    EXPECT_EQ(d.Page(), kPageResults);
    EXPECT_EQ(d.TreeView().FirstRoot(), root);
    EXPECT_EQ(d.ListView().RowCount(), 1u);

    // "Select All" ticks the rows and so the folder on show; that is enough to recover.
    Click(200, 436);
    EXPECT_EQ(d.ListView().CheckState(0), kChecked);
    EXPECT_EQ(d.TreeView().CheckState(root), kChecked);
    Click(270, 436); // "Select Inversely"
    EXPECT_EQ(d.ListView().CheckState(0), kUnchecked);
    EXPECT_EQ(d.TreeView().CheckState(root), kUnchecked);

    // Tick the root: the whole tree.
    ClickBox(d.TreeView().Widget(), d.TreeView().CheckBoxRect(root));
    EXPECT_EQ(d.TreeView().CheckState(root), kChecked);
    EXPECT_EQ(d.ListView().CheckState(0), kChecked);

    // A cancelled folder dialog stops silently; an empty path is refused.
    boxes.Clear();
    seams.folder = std::nullopt;
    ClickButton(d, IDC_RECOVER);
    EXPECT_TRUE(boxes.boxes.empty());
    seams.folder = "";
    ClickButton(d, IDC_RECOVER);
    EXPECT_EQ(boxes.Last()->text, "Please select the directory to save the files recovered.");
    EXPECT_EQ(boxes.Last()->mask, zr::MSGBOX_OK | zr::MSGBOX_CANCEL);

    const fs::path out = tmp / "out";
    fs::create_directories(out);
    seams.folder = out.string();
    ClickButton(d, IDC_RECOVER);
    ASSERT_NE(boxes.Last(), nullptr);
    EXPECT_EQ(boxes.Last()->text, "recovery finished!");
    EXPECT_EQ(boxes.Last()->style, zr::MSGBOX_SUCCESS);
    EXPECT_EQ(d.TargetFolder(), (out / "ReVuvi Deverode").string());

    std::map<std::string, std::string> found; // name -> SHA-256
    for (const auto& e : fs::recursive_directory_iterator(out / "ReVuvi Deverode"))
        if (e.is_regular_file())
            found[e.path().filename().string()] = salvor_test::sha256_file(e.path());
    auto hash = [](const std::string& s) { return salvor_test::sha256_hex(s.data(), s.size()); };
    EXPECT_EQ(found["notes.txt"], hash(sample_bytes("notes.txt", 1200, 3, false)));
    EXPECT_EQ(found["report.txt"], hash(sample_bytes("report.txt", 3000, 1, false)));
    EXPECT_EQ(found["photo.jpg"], hash(sample_bytes("photo.jpg", 70000, 2, true)));
    EXPECT_EQ(found.count("keep.txt"), 0u);
    EXPECT_EQ(salvor_test::sha256_file(img), image_hash);

    // Back answered Yes empties both views and shows Scan again.
    boxes.Answer(zr::IDC_MSGBOX_YES);
    ClickButton(d, IDC_BACK);
    EXPECT_EQ(d.Page(), kPageSource);
    EXPECT_EQ(d.TreeView().FirstRoot(), 0u);
    EXPECT_EQ(d.ListView().RowCount(), 0u);
    EXPECT_FALSE(d.TreeView().Widget()->isVisible());
    EXPECT_TRUE(d.Button(IDC_SCAN).Visible());
    EXPECT_FALSE(d.Button(IDC_RECOVER).Visible());
    EXPECT_EQ(d.FsCode(), 0);
    EXPECT_EQ(d.Session().engine, nullptr);
    // The devices were opened again and the choice kept.
    ASSERT_EQ(d.Panel().entries.size(), 3u);
    EXPECT_TRUE(d.Panel().entries[1].selected);
    EXPECT_NE(d.Panel().entries[1].volume, nullptr);
}

// A folder on a file system mounted from the scanned image is refused.
TEST_F(MainWindowTest, FolderOnTheSourceVolumeIsRefused)
{
    if (!salvor_test::require_tool("mkntfs", "ntfs-3g") || !salvor_test::require_tool("ntfs-3g", "ntfs-3g"))
        return;
    const fs::path img = tmp / "ntfs.img";
    const fs::path mnt = tmp / "mnt";
    fs::create_directories(mnt);
    ASSERT_EQ(salvor_test::run("truncate -s 8M '" + img.string() + "' && PATH=$PATH:/sbin:/usr/sbin mkntfs -q -F -f '" +
                               img.string() + "' >/dev/null 2>&1"),
              0);
    ASSERT_EQ(salvor_test::run("ntfs-3g -o ro '" + img.string() + "' '" + mnt.string() + "'"), 0);
    struct Unmount {
        fs::path at;
        ~Unmount() { salvor_test::run("umount '" + at.string() + "' 2>/dev/null || fusermount -u '" + at.string() + "'"); }
    } unmount{mnt};

    CMainDlg& d = Open({img.string()});
    ClickButton(d, IDC_NEXT);
    ClickButton(d, IDC_SCAN);
    ASSERT_EQ(d.Page(), kPageResults);
    const NodeId root = d.TreeView().FirstRoot();
    ASSERT_NE(root, 0u);
    ClickBox(d.TreeView().Widget(), d.TreeView().CheckBoxRect(root));
    boxes.Clear();
    seams.folder = mnt.string();
    ClickButton(d, IDC_RECOVER);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, "Sorry,it's not allowed to save files to the source partition.Please choose another "
                                   "partition or drive.");
    EXPECT_EQ(boxes.boxes[0].style, zr::MSGBOX_ERROR);
    EXPECT_TRUE(d.TargetFolder().empty());
    EXPECT_FALSE(fs::exists(mnt / "ReVuvi Deverode"));
}

TEST_F(MainWindowTest, EscapeAndCloseRequestDoNothingCloseButtonGives6000)
{
    CMainDlg& d = Open();
    PressKey(&d, Qt::Key_Escape);
    EXPECT_FALSE(d.Ended());
    EXPECT_TRUE(d.isVisible());
    d.close();
    EXPECT_FALSE(d.Ended());
    EXPECT_TRUE(d.isVisible());
    // A press in the top band drags; on the close button it does not.
    PressAt(&d, 300, 50);
    EXPECT_TRUE(d.Dragging());
    SendMouse(&d, QEvent::MouseButtonRelease, 300, 50, Qt::NoButton);
    EXPECT_FALSE(d.Dragging());
    ClickButton(d, IDC_CLOSE);
    EXPECT_TRUE(d.Ended());
    EXPECT_EQ(d.EndResult(), 6000);
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(MainWindowTest, MenuOffersHomeAboutHelpExit)
{
    CMainDlg& d = Open();
    std::unique_ptr<QMenu> menu = d.BuildPopupMenu();
    QStringList items;
    for (QAction* a : menu->actions())
        items << (a->isSeparator() ? QStringLiteral("-") : a->text());
    EXPECT_EQ(items, QStringList({"Home", "About", "Help", "-", "Exit"}));

    // Help opens the guide that ships beside the program.
    const fs::path root = tmp / "prefix" / "bin";
    fs::create_directories(root);
    fs::create_directories(tmp / "prefix" / "share" / "doc" / "salvor");
    salvor_test::write_file(tmp / "prefix" / "share" / "doc" / "salvor" / "user-guide.html", {'<', 'p', '>'});
    const QString old_root = zr::ImageRoot();
    zr::SetImageRoot(QString::fromStdString(root.string() + "/"));
    d.OnMenuCommand(ID_MENU_HELP);
    zr::SetImageRoot(old_root);
    ASSERT_EQ(seams.urls.size(), 1u);
    EXPECT_EQ(seams.urls[0].rfind("file://", 0), 0u);
    EXPECT_NE(seams.urls[0].find("/share/doc/salvor/user-guide.html"), std::string::npos);

    d.OnMenuCommand(ID_MENU_EXIT);
    EXPECT_TRUE(d.Ended());
    EXPECT_EQ(d.EndResult(), 6000);
}

TEST_F(MainWindowTest, RecoveryDoneMessages)
{
    CMainDlg& d = Open();
    d.SendMessage(UM_RECOVERY_DONE, 1, 0);
    d.SendMessage(UM_RECOVERY_DONE, 0, 0);
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[0].text, "recovery finished!");
    EXPECT_EQ(boxes.boxes[0].style, zr::MSGBOX_SUCCESS);
    EXPECT_EQ(boxes.boxes[1].text, "recovery has been canceled!");
    EXPECT_EQ(boxes.boxes[1].style, zr::MSGBOX_INFO);
    EXPECT_EQ(boxes.boxes[1].mask, zr::MSGBOX_OK);
    EXPECT_EQ(d.SendMessage(UM_IGNORED, 0, 0), 1);
}

// Three disks need more than the panel's 240 pixels: the scroll bar shows
// and the wheel moves the panel by 20 per notch, within its range.
TEST_F(MainWindowTest, DevicePanelScrollsWithWheelAndBar)
{
    std::vector<std::string> images;
    for (int i = 0; i < 3; ++i) {
        const fs::path p = tmp / ("blank" + std::to_string(i) + ".img");
        salvor_test::write_file(p, std::vector<uint8_t>(64 * 1024, 0));
        images.push_back(p.string());
    }
    CMainDlg& d = Open(images);
    ClickButton(d, IDC_NEXT);
    ASSERT_EQ(d.Panel().entries.size(), 6u);
    ASSERT_TRUE(d.DeviceScrollBar()->isVisible());
    EXPECT_EQ(d.ScrollOffset(), 0);
    Wheel(&d, 300, 250, 120); // up at the top: nothing moves
    EXPECT_EQ(d.ScrollOffset(), 0);
    Wheel(&d, 300, 250, -120);
    EXPECT_EQ(d.ScrollOffset(), 20);
    for (int i = 0; i < 20; ++i)
        Wheel(&d, 300, 250, -120);
    const int bottom = d.ScrollOffset();
    EXPECT_EQ(bottom, d.Panel().scroll_max - d.Panel().scroll_page);
    // The last disk's volume is now where a click finds it.
    const auto last = EntryPoint(d, 2, 0);
    ASSERT_TRUE(last);
    ASSERT_LT(last->y(), kPanelTop + kPanelHeight);
    Click(*last);
    EXPECT_TRUE(d.Panel().entries[5].selected);
    EXPECT_EQ(d.InfoValues()[0], QString(QChar::fromLatin1(d.Panel().entries[5].text[0])));
    d.DeviceScrollBar()->setValue(0);
    EXPECT_EQ(d.ScrollOffset(), 0);
}

// A device that comes while results are shown waits for Back.
TEST_F(MainWindowTest, DeviceChangeWaitsForTheResultsToBeLeft)
{
    const fs::path& img = sample_disk();
    ASSERT_FALSE(img.empty());
    CMainDlg& d = Open({img.string()});
    ClickButton(d, IDC_NEXT);
    Click(*EntryPoint(d, 0, 1));
    ClickButton(d, IDC_SCAN);
    ASSERT_EQ(d.Page(), kPageResults);
    const NodeId root = d.TreeView().FirstRoot();
    const fs::path extra = tmp / "extra.img";
    salvor_test::write_file(extra, std::vector<uint8_t>(64 * 1024, 0));
    ASSERT_EQ(bg_add_image(extra.c_str()), 0);
    d.OnDeviceChange(kDeviceArrival);
    EXPECT_TRUE(d.DeviceChangePending());
    EXPECT_EQ(d.TreeView().FirstRoot(), root);
    EXPECT_EQ(d.Panel().entries.size(), 3u);
    boxes.Answer(zr::IDC_MSGBOX_YES);
    ClickButton(d, IDC_BACK);
    EXPECT_FALSE(d.DeviceChangePending());
    EXPECT_EQ(d.Panel().entries.size(), 5u);
    // The views were rebuilt: the first volume is chosen again.
    EXPECT_TRUE(d.Panel().entries[1].selected);
    // On the source page a change rebuilds at once; other events are ignored.
    fs::remove(extra);
    bg_clear_images();
    ASSERT_EQ(bg_add_image(img.c_str()), 0);
    d.OnDeviceChange(0x8001);
    EXPECT_EQ(d.Panel().entries.size(), 5u);
    d.OnDeviceChange(kDeviceRemoveComplete);
    EXPECT_EQ(d.Panel().entries.size(), 3u);
}

TEST(TempFolder, MadeReusedAndEmptiedOfFilesOnly)
{
    TempDir tmp;
    TmpdirAt at(tmp.path());
    const std::string folder = MakeTempFolder();
    EXPECT_EQ(folder, (tmp / "ReVuvi Deverode Temp").string() + "/");
    EXPECT_EQ(MakeTempFolder(), folder); // reused
    salvor_test::write_file(folder + "preview.jpg", {1, 2, 3});
    salvor_test::write_file(folder + ".keep", {1});
    fs::create_directories(folder + "sub");
    salvor_test::write_file(folder + "sub/inner.bin", {1});
    const fs::path outside = tmp / "outside.txt";
    salvor_test::write_file(outside, {1});
    fs::create_symlink(outside, folder + "link.txt");
    EmptyTempFolder(folder);
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_FALSE(fs::exists(folder + "preview.jpg"));
    EXPECT_FALSE(fs::is_symlink(folder + "link.txt"));
    EXPECT_TRUE(fs::exists(outside)); // a link is removed as a link
    EXPECT_TRUE(fs::exists(folder + ".keep"));
    EXPECT_TRUE(fs::exists(folder + "sub/inner.bin"));
}

// A link planted at the designed name (another user's trick in a shared
// /tmp) is neither used nor emptied.
TEST(TempFolder, LinkAtTheDesignedNameIsNotFollowed)
{
    TempDir tmp;
    TmpdirAt at(tmp.path());
    const fs::path victim = tmp / "documents";
    fs::create_directories(victim);
    salvor_test::write_file(victim / "thesis.odt", {1, 2});
    fs::create_directory_symlink(victim, tmp / "ReVuvi Deverode Temp");
    const std::string folder = MakeTempFolder();
    EXPECT_NE(folder.find("ReVuvi Deverode Temp-"), std::string::npos) << folder;
    EmptyTempFolder(folder);
    EmptyTempFolder((tmp / "ReVuvi Deverode Temp").string() + "/");
    EXPECT_TRUE(fs::exists(victim / "thesis.odt"));
}

// ---- the program as a process -------------------------------------------

class SalvorProcess : public ::testing::Test {
protected:
    QProcess* Start(const QStringList& args = {})
    {
        auto* p = new QProcess;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", QString::fromStdString(tmp.path().string()));
        env.insert("TMPDIR", QString::fromStdString(tmp.path().string()));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        p->setProcessEnvironment(env);
        p->setProgram(QString::fromStdString((salvor_test::bin_dir() / "salvor").string()));
        p->setArguments(args);
        p->start();
        processes.emplace_back(p);
        return p;
    }
    // True while some process holds the instance lock.
    bool LockHeld() const
    {
        const int fd = ::open((tmp / "MERVOL_UNDELETE.lock").c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
        ::close(fd);
        return held;
    }
    void TearDown() override
    {
        for (auto& p : processes)
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
    }

    TempDir tmp;
    std::vector<std::unique_ptr<QProcess>> processes;
};

TEST_F(SalvorProcess, SecondInstanceExitsAtOnceAndTheFirstEmptiesItsTemporaryFolder)
{
    QProcess* first = Start();
    ASSERT_TRUE(first->waitForStarted(10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return LockHeld(); }, 30000));
    const fs::path temp = tmp / "ReVuvi Deverode Temp";
    ASSERT_TRUE(QTest::qWaitFor([&] { return fs::is_directory(temp); }, 10000));
    salvor_test::write_file(temp / "preview.jpg", {1, 2, 3});

    QProcess* second = Start();
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(second->waitForFinished(10000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_TRUE(second->readAllStandardOutput().isEmpty());
    EXPECT_EQ(first->state(), QProcess::Running);

    // Asked to end, the first leaves as the Exit item does: 6000, which the
    // system keeps as its low byte.
    first->terminate();
    ASSERT_TRUE(first->waitForFinished(20000));
    EXPECT_EQ(first->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first->exitCode(), 6000 & 0xFF);
    EXPECT_TRUE(fs::is_directory(temp));
    EXPECT_FALSE(fs::exists(temp / "preview.jpg"));
    EXPECT_FALSE(LockHeld());
}

// An image that cannot be added is named in a box once the window shows; the
// program still runs.
TEST_F(SalvorProcess, ImageThatCannotBeOpenedIsReported)
{
    QProcess* p = Start({QString::fromStdString((tmp / "missing.img").string())});
    ASSERT_TRUE(p->waitForStarted(10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return LockHeld(); }, 30000));
    QTest::qWait(500);
    EXPECT_EQ(p->state(), QProcess::Running);
    p->terminate();
    ASSERT_TRUE(p->waitForFinished(20000));
    EXPECT_EQ(p->exitCode(), 6000 & 0xFF);
}

} // namespace

namespace {

int count_colour(const QImage& img, const QRect& r, QRgb c)
{
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (img.valid(x, y) && (img.pixel(x, y) & 0xFFFFFF) == (c & 0xFFFFFF))
                ++n;
    return n;
}

// The device panel paints each volume where it is hit-tested: the selected
// one in its own colour, shifted with the scroll offset.
TEST_F(MainWindowTest, DevicePanelPaintsEntriesWhereTheyAreClicked)
{
    std::vector<std::string> images;
    for (int i = 0; i < 3; ++i) {
        const fs::path p = tmp / ("blank" + std::to_string(i) + ".img");
        salvor_test::write_file(p, std::vector<uint8_t>(64 * 1024, 0));
        images.push_back(p.string());
    }
    CMainDlg& d = Open(images);
    ClickButton(d, IDC_NEXT);
    const QRgb selected = qRgb(0xB6, 0xD7, 0xEE);
    auto entry_rect = [&](int disk) {
        const QPoint c = *EntryPoint(d, disk, 0);
        return QRect(c.x() - 25, c.y() - 25, 50, 50);
    };
    QImage page = d.RenderToImage();
    EXPECT_GT(count_colour(page, entry_rect(0), selected), 100);
    EXPECT_EQ(count_colour(page, entry_rect(1), selected), 0);

    // Scrolled down, the third disk's volume is selected by a click and
    // painted where it was clicked; nothing is painted outside the panel.
    d.DeviceScrollBar()->setValue(d.DeviceScrollBar()->maximum());
    Click(*EntryPoint(d, 2, 0));
    page = d.RenderToImage();
    EXPECT_GT(count_colour(page, entry_rect(2), selected), 100);
    EXPECT_EQ(count_colour(page, QRect(0, kPanelTop + kPanelHeight, d.ClientWidth(), 30), selected), 0);
    EXPECT_EQ(count_colour(page, QRect(0, kPanelTop - 30, d.ClientWidth(), 30), selected), 0);
}

} // namespace
