// The preview panel on Qt's offscreen platform: pictures found on real
// volumes (NTFS, FAT, ext2, HFS+ and a carved card) drawn fitted into the
// panel, the animation of a GIF, the temporary folder, and reads that must
// not hold the window.
#include <preview/preview_panel.h>

#include <core/main_dlg.h>
#include <shell/msgbox.h>

#include <platform/zr_dialog.h>
#include <salvor/scan/drivers.h>

#include "file_volume.h"
#include "hfsplus_image_builder.h"
#include "qt_env.h"
#include "test_support.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QPainter>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

using namespace salvor;
using namespace salvor_test;

const ::testing::Environment* const kQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// A main dialog of the tests: a plain window for the timers and the
// in-memory views behind the session.
class TestHost final : public MainHost {
public:
    explicit TestHost(const fs::path& temp)
        : m_temp(temp.string() + "/")
        , m_window(999)
        , session(tree, list)
    {
        m_window.SetClientSize(800, 600);
    }
    zr::ZrDialog& Window() override { return m_window; }
    RecoveryMode Mode() const override { return session.mode; }
    ScanSession& Session() override { return session; }
    // The panel never reaches the widgets themselves.
    QtResultTree& TreeView() override { std::abort(); }
    QtResultList& ListView() override { std::abort(); }
    LoadingState& Loading() override { return loading; }
    std::string TargetFolder() const override { return {}; }
    std::string TempFolder() const override { return m_temp; }
    BgDiskNode* Disks() override { return nullptr; }
    std::string SelectedDiskRow() const override { return {}; }
    std::string SystemDisk() const override { return {}; }
    void RunProgress(ProgressKind) override { }
    void RunPartitionSearch(ProgressSink&) override { }

    // Puts a found file into the list; returns its row.
    size_t Show(size_t file_index)
    {
        return list.AppendRow(session.result.files[file_index].name, "", "", uintptr_t(file_index) + 1);
    }

private:
    std::string m_temp;
    zr::ZrDialog m_window;

public:
    MemoryResultTree tree;
    MemoryResultList list;
    ScanSession session;
    NullLoading loading;
};

// An engine over files in memory whose reads can be slowed down.
class MemoryEngine final : public Engine {
public:
    struct File {
        std::string name;
        QByteArray data;
        uint64_t size = 0; // the size the scan reports (the data's when 0)
    };
    explicit MemoryEngine(std::vector<File> files, std::chrono::milliseconds per_read = {})
        : m_files(std::move(files))
        , m_per_read(per_read)
    {
    }
    ScanOutcome Scan(BgVolume*, ScanSink& sink) override
    {
        for (size_t i = 0; i < m_files.size(); ++i) {
            FoundFile f;
            f.name = m_files[i].name;
            f.size = m_files[i].size ? m_files[i].size : uint64_t(m_files[i].data.size());
            f.record = uint64_t(i);
            sink.AddFile(kRootFolder, std::move(f));
        }
        return {};
    }
    std::unique_ptr<FileStream> Open(const FoundFile& file, std::string& reason) override
    {
        ++opens;
        const uint64_t index = std::get<uint64_t>(file.record);
        if (index >= m_files.size()) {
            reason = "no such file";
            return nullptr;
        }
        return std::make_unique<Stream>(*this, m_files[index].data);
    }

    std::atomic<int> opens { 0 };
    std::atomic<int> reads { 0 };

private:
    class Stream final : public FileStream {
    public:
        Stream(MemoryEngine& e, const QByteArray& d)
            : m_engine(e)
            , m_data(d)
        {
        }
        StreamRead Read(uint8_t* buffer, size_t length) override
        {
            ++m_engine.reads;
            if (m_engine.m_per_read.count())
                std::this_thread::sleep_for(m_engine.m_per_read);
            const size_t n = std::min(length, size_t(m_data.size()) - m_at);
            std::memcpy(buffer, m_data.constData() + m_at, n);
            m_at += n;
            return { n, true };
        }
        size_t Chunk() const override { return 64 * 1024; }

    private:
        MemoryEngine& m_engine;
        const QByteArray& m_data;
        size_t m_at = 0;
    };
    std::vector<File> m_files;
    std::chrono::milliseconds m_per_read;
};

QByteArray Encoded(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QImage Filled(int w, int h, QColor top, QColor bottom)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(top);
    QPainter p(&img);
    p.fillRect(0, h / 2, w, h - h / 2, bottom);
    return img;
}

// Pixels no format compresses much: a large file.
QImage Noise(int w, int h, uint32_t seed)
{
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<uint32_t*>(img.scanLine(y));
        for (int x = 0; x < w; ++x) {
            seed = seed * 1664525u + 1013904223u;
            line[x] = 0xFF000000u | (seed >> 8);
        }
    }
    return img;
}

QImage Painted(PreviewPanel& panel)
{
    QImage img(800, 600, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    panel.Paint(p);
    return img;
}

bool Near(QRgb p, QColor c, int tolerance = 40)
{
    return std::abs(qRed(p) - c.red()) <= tolerance && std::abs(qGreen(p) - c.green()) <= tolerance
        && std::abs(qBlue(p) - c.blue()) <= tolerance;
}

std::vector<std::string> FolderEntries(const fs::path& dir)
{
    std::vector<std::string> names;
    if (fs::exists(dir))
        for (const auto& e : fs::directory_iterator(dir))
            names.push_back(e.path().filename().string());
    return names;
}

QString SkinRoot() { return QString::fromStdString(bin_dir().string()); }

// The panel shows the skin's "no preview" picture.
bool ShowsNoPreview(PreviewPanel& panel)
{
    QImage skin(SkinRoot() + "/image/nopreviewbk.png");
    if (skin.isNull())
        return false;
    skin = skin.convertToFormat(QImage::Format_RGB32);
    return Painted(panel).copy(kPreviewPanel) == skin;
}

// A session whose engine is a MemoryEngine over `files`.
MemoryEngine* UseMemoryEngine(
    TestHost& host, std::vector<MemoryEngine::File> files, std::chrono::milliseconds per_read = {})
{
    auto engine = std::make_unique<MemoryEngine>(std::move(files), per_read);
    MemoryEngine* raw = engine.get();
    NullProgress progress;
    RunScanWith(host.session, std::move(engine), host.loading, progress);
    for (size_t i = 0; i < host.session.result.files.size(); ++i)
        host.Show(i);
    return raw;
}

TEST(PreviewFit, KeepsSmallImagesAndScalesLargeOnesIntoThePanel)
{
    // Small: kept, centred.
    EXPECT_EQ(FitPreview(300, 100), QRect(337, 146, 300, 100));
    EXPECT_EQ(FitPreview(609, 155), QRect(183, 119, 609, 155));
    // Too wide only.
    EXPECT_EQ(FitPreview(1218, 100), QRect(183, 171, 609, 50));
    // Too tall only.
    EXPECT_EQ(FitPreview(100, 310), QRect(462, 119, 50, 155));
    // Both too large: the tighter side decides.
    EXPECT_EQ(FitPreview(1218, 310), QRect(183, 119, 609, 155));
    EXPECT_EQ(FitPreview(2000, 1000), QRect(332, 119, 310, 155));
    EXPECT_EQ(FitPreview(6090, 620), QRect(183, 165, 609, 62));
    // Sizes a damaged header may claim: no overflow, never an empty rectangle.
    EXPECT_EQ(FitPreview(2000000000, 2000000000), QRect(410, 119, 155, 155));
    EXPECT_EQ(FitPreview(100000, 10).height(), 1);
    EXPECT_TRUE(FitPreview(0, 10).isEmpty());
}

TEST(PreviewText, FirstCharactersNeverBreakACharacter)
{
    EXPECT_EQ(FirstCharacters("abc", 50), "abc");
    EXPECT_EQ(FirstCharacters("Résumé.jpg", 3), "Rés");
    EXPECT_EQ(FirstCharacters("日本語", 2), "日本");
    EXPECT_TRUE(DecodePreviewText("one\ntwo\r\nthree").ok);
    EXPECT_EQ(DecodePreviewText("one\ntwo\r\nthree").lines, (QStringList { "one", "two", "three" }));
    EXPECT_FALSE(DecodePreviewText(QByteArray("PK\x03\x04\0\0\x14", 7)).ok);
    // A character cut by the end of what was read is still text.
    EXPECT_TRUE(DecodePreviewText("caf\xc3").ok);
}

// Pictures on real volumes made by the fixture tools.
class PreviewVolumes : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new TempDir;
        s_built = require_tool("convert", "imagemagick") && require_tool("mkntfs", "ntfs-3g")
            && require_tool("mkfs.vfat", "dosfstools") && require_tool("mcopy", "mtools")
            && require_tool("debugfs", "e2fsprogs") && run_fixture("preview-volumes.sh", { s_dir->path().string() });
    }
    static void TearDownTestSuite()
    {
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override
    {
        if (!s_built)
            GTEST_SKIP() << "fixture volumes not built";
    }
    static fs::path Path(const std::string& name) { return s_dir->path() / name; }

    // Scans a volume and returns the index of the first file whose name (or
    // the name its folder gave it) ends in `suffix`, or -1.
    static int64_t FindFile(const ScanSession& s, const std::string& suffix)
    {
        auto ends = [&](std::string n) {
            for (char& c : n)
                c = char(std::tolower(uint8_t(c)));
            return n.size() >= suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0;
        };
        for (size_t i = 0; i < s.result.files.size(); ++i) {
            const FoundFile& f = s.result.files[i];
            if (ends(f.name) || (f.real_name && ends(*f.real_name)))
                return int64_t(i);
        }
        return -1;
    }

    // Previews the JPEG and the PNG of a scanned volume and checks the
    // pixels, the temporary file's bytes and the clean-up.
    void CheckPictures(TestHost& host, const fs::path& temp)
    {
        PreviewPanel panel(host);
        ASSERT_TRUE(panel.LoadSkin(SkinRoot()));
        const int64_t jpg = FindFile(host.session, ".jpg");
        const int64_t png = FindFile(host.session, ".png");
        ASSERT_GE(jpg, 0);
        ASSERT_GE(png, 0);

        panel.PreviewRow(host.Show(size_t(jpg)));
        panel.WaitReady();
        ASSERT_EQ(panel.State(), PreviewPanel::Shown::kImage);
        EXPECT_EQ(panel.FittedRect(), QRect(183, 119, 609, 155));
        QImage shot = Painted(panel);
        EXPECT_TRUE(Near(shot.pixel(183 + 100, 119 + 77), Qt::red)) << std::hex << shot.pixel(283, 196);
        EXPECT_TRUE(Near(shot.pixel(183 + 500, 119 + 77), Qt::blue)) << std::hex << shot.pixel(683, 196);
        // The temporary file holds the file's bytes, and is the only one.
        ASSERT_EQ(FolderEntries(temp).size(), 1u);
        EXPECT_EQ(sha256_file(panel.CurrentPath()), sha256_file(Path("files/photo.jpg")));

        panel.PreviewRow(host.Show(size_t(png)));
        panel.WaitReady();
        ASSERT_EQ(panel.State(), PreviewPanel::Shown::kImage);
        EXPECT_EQ(panel.FittedRect(), QRect(337, 146, 300, 100));
        shot = Painted(panel);
        EXPECT_EQ(shot.pixel(337 + 10, 146 + 10), QColor(Qt::green).rgb());
        EXPECT_EQ(shot.pixel(337 + 290, 146 + 70), QColor(Qt::yellow).rgb());
        // Outside the picture: the panel's background, not the old picture.
        EXPECT_FALSE(Near(shot.pixel(200, 130), Qt::red));
        ASSERT_EQ(FolderEntries(temp).size(), 1u);
        EXPECT_EQ(sha256_file(panel.CurrentPath()), sha256_file(Path("files/photo.png")));

        panel.Clear();
        EXPECT_TRUE(FolderEntries(temp).empty());
        EXPECT_EQ(panel.CurrentPath(), "");
        EXPECT_EQ(panel.State(), PreviewPanel::Shown::kNothingChosen);
    }

    static TempDir* s_dir;
    static bool s_built;
};
TempDir* PreviewVolumes::s_dir = nullptr;
bool PreviewVolumes::s_built = false;

void ScanDeleted(TestHost& host, FileVolume& vol, BgFsCode code)
{
    host.session.mode = kModeDeleted;
    host.session.fs_code = code;
    host.session.volume = vol.volume();
    host.session.source_label = "P:(test)";
    NullProgress progress;
    ASSERT_EQ(RunDeletedScan(host.session, host.loading, progress), 1) << host.session.failure;
}

TEST_F(PreviewVolumes, NtfsDeleted)
{
    TempDir temp;
    TestHost host(temp / "t");
    FileVolume vol(Path("ntfs.img").string(), BG_FS_NTFS);
    ScanDeleted(host, vol, BG_FS_NTFS);
    CheckPictures(host, temp / "t");
}

TEST_F(PreviewVolumes, FatDeleted)
{
    TempDir temp;
    TestHost host(temp / "t");
    FileVolume vol(Path("fat.img").string(), BG_FS_FAT16);
    ScanDeleted(host, vol, BG_FS_FAT16);
    CheckPictures(host, temp / "t");
}

TEST_F(PreviewVolumes, Ext2Deleted)
{
    TempDir temp;
    TestHost host(temp / "t");
    FileVolume vol(Path("ext2.img").string(), BG_FS_EXT2);
    ScanDeleted(host, vol, BG_FS_EXT2);
    CheckPictures(host, temp / "t");
}

TEST_F(PreviewVolumes, HfsPlusDeleted)
{
    hfsplus_test::HfsPlusImageBuilder builder;
    const uint32_t root = hfsplus_test::HfsPlusImageBuilder::kRootFolder;
    builder.add_deleted_file(
        root, "photo.jpg", read_file(Path("files/photo.jpg")), hfsplus_test::DeletedPlace::NodeFreeSpace);
    builder.add_deleted_file(
        root, "photo.png", read_file(Path("files/photo.png")), hfsplus_test::DeletedPlace::UnlinkedNode, 2);
    TempDir temp;
    write_file(temp / "hfsplus.img", builder.build());
    TestHost host(temp / "t");
    FileVolume vol((temp / "hfsplus.img").string(), BG_FS_HFSPLUS);
    ScanDeleted(host, vol, BG_FS_HFSPLUS);
    CheckPictures(host, temp / "t");
}

TEST_F(PreviewVolumes, CarvedFromAFormattedCard)
{
    TempDir temp;
    TestHost host(temp / "t");
    FileVolume vol(Path("raw.img").string(), BG_FS_FAT32);
    host.session.mode = kModeRaw;
    host.session.volume = vol.volume();
    host.session.source_label = "R:(FAT32)";
    host.session.raw = RawSelection { true, false, false, false };
    NullProgress progress;
    ASSERT_EQ(RunRawScan(host.session, progress), 2);
    CheckPictures(host, temp / "t");
}

TEST_F(PreviewVolumes, AnimatedGifPlaysItsFramesWithTheirOwnDelays)
{
    TempDir temp;
    TestHost host(temp / "t");
    FileVolume vol(Path("ntfs.img").string(), BG_FS_NTFS);
    ScanDeleted(host, vol, BG_FS_NTFS);
    PreviewPanel panel(host);
    const int64_t gif = FindFile(host.session, ".gif");
    ASSERT_GE(gif, 0);
    panel.PreviewRow(host.Show(size_t(gif)));
    ASSERT_EQ(panel.State(), PreviewPanel::Shown::kImage);
    ASSERT_EQ(panel.FrameCount(), 3);
    EXPECT_EQ(panel.FittedRect(), QRect(457, 176, 60, 40));
    const QPoint centre(487, 196);
    const QColor colours[] = { Qt::red, Qt::green, Qt::blue };
    const int delays[] = { 100, 200, 300 };
    // Each frame stays for its own delay; after the last comes the first.
    for (int step = 0; step < 7; ++step) {
        const int frame = step % 3;
        EXPECT_EQ(panel.CurrentFrame(), frame) << step;
        EXPECT_TRUE(panel.Animating());
        EXPECT_TRUE(host.Window().HasTimer(kPreviewTimer));
        EXPECT_EQ(panel.TimerInterval(), delays[frame]) << step;
        EXPECT_TRUE(Near(Painted(panel).pixel(centre), colours[frame], 8)) << step;
        panel.OnTimer();
    }
    // A new preview stops the animation.
    const int64_t png = FindFile(host.session, ".png");
    ASSERT_GE(png, 0);
    panel.PreviewRow(host.Show(size_t(png)));
    EXPECT_FALSE(panel.Animating());
    EXPECT_FALSE(host.Window().HasTimer(kPreviewTimer));
    panel.Clear();
}

// The panel inside the main window: a scan of a FAT image through the
// pages, a click on the photo's row, the painting of the results page, and
// Back with its clean-up.
TEST_F(PreviewVolumes, MainWindowPreviewsTheClickedRowAndCleansUpOnBack)
{
    TempDir temp;
    fs::create_directory(temp / "tmp");
    const QByteArray old_tmpdir = qgetenv("TMPDIR");
    qputenv("TMPDIR", QByteArray::fromStdString((temp / "tmp").string()));
    bg_set_real_disks(0);
    bg_clear_images();
    ASSERT_EQ(bg_add_image(Path("fat.img").c_str()), 0);
    {
        CMainDlg dlg;
        ASSERT_TRUE(dlg.InitDialog(nullptr));
        const fs::path folder = dlg.TempFolder();
        ASSERT_EQ(folder.parent_path().parent_path(), temp / "tmp");
        dlg.SendMessage(zr::WM_COMMAND, IDC_NEXT, 0);
        dlg.SendMessage(zr::WM_COMMAND, IDC_SCAN, 0);
        ASSERT_EQ(dlg.Page(), kPageResults);
        dlg.TreeView().Select(dlg.TreeView().FirstRoot());
        long jpg = -1;
        for (size_t r = 0; r < dlg.ListView().RowCount(); ++r)
            if (dlg.ListView().Text(r, 0).find(".jpg") != std::string::npos)
                jpg = long(r);
        ASSERT_GE(jpg, 0);
        // Before any click the page invites one.
        QImage page = dlg.RenderToImage();
        const QImage invitation = QImage(SkinRoot() + "/image/notepreviewbk.png").convertToFormat(page.format());
        EXPECT_EQ(page.copy(kPreviewPanel), invitation);

        dlg.ListView().on_row_clicked(size_t(jpg));
        ASSERT_EQ(dlg.Preview().State(), PreviewPanel::Shown::kImage);
        page = dlg.RenderToImage();
        EXPECT_TRUE(Near(page.pixel(183 + 100, 119 + 77), Qt::red));
        EXPECT_TRUE(Near(page.pixel(183 + 500, 119 + 77), Qt::blue));
        EXPECT_EQ(FolderEntries(folder).size(), 1u);

        // The animation runs on the window's timer 4.
        for (size_t r = 0; r < dlg.ListView().RowCount(); ++r)
            if (dlg.ListView().Text(r, 0).find(".gif") != std::string::npos)
                dlg.ListView().on_row_clicked(r);
        ASSERT_EQ(dlg.Preview().FrameCount(), 3);
        EXPECT_TRUE(dlg.HasTimer(kPreviewTimer));

        zr::SetMessageBoxHook([](int, int, const QString&, const QString&) { return zr::IDC_MSGBOX_YES; });
        dlg.SendMessage(zr::WM_COMMAND, IDC_BACK, 0);
        zr::SetMessageBoxHook(nullptr);
        EXPECT_EQ(dlg.Page(), kPageSource);
        EXPECT_TRUE(FolderEntries(folder).empty());
        EXPECT_FALSE(dlg.HasTimer(kPreviewTimer));
        EXPECT_EQ(dlg.Preview().State(), PreviewPanel::Shown::kNothingChosen);
    }
    bg_clear_images();
    if (old_tmpdir.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", old_tmpdir);
}

TEST(PreviewPanelTest, FilesThatAreNotPicturesAndTheSameRowTwice)
{
    TempDir temp;
    TestHost host(temp / "t");
    PreviewPanel panel(host);
    ASSERT_TRUE(panel.LoadSkin(SkinRoot()));
    const QByteArray png = Encoded(Filled(40, 20, Qt::red, Qt::blue), "PNG");
    MemoryEngine* engine = UseMemoryEngine(host,
        { { "report.doc", "not a picture" }, { "Photo.JPG", "this is no JPEG at all" },
            { "notes.txt", "first line\nsecond line\n" }, { "clip.mp4", QByteArray(5000, 'x') }, { "picture.png", png },
            { "empty.png", QByteArray() } });
    // Nothing chosen yet: the skin's invitation.
    {
        QImage skin = QImage(SkinRoot() + "/image/notepreviewbk.png").convertToFormat(QImage::Format_RGB32);
        EXPECT_EQ(Painted(panel).copy(kPreviewPanel), skin);
    }
    panel.PreviewRow(0);
    EXPECT_EQ(panel.Extension(), "doc");
    EXPECT_EQ(panel.State(), PreviewPanel::Shown::kNoPreview);
    EXPECT_TRUE(ShowsNoPreview(panel));
    EXPECT_EQ(engine->opens, 0);

    // A photo name over bytes that are not a picture: read, not shown, and
    // its temporary file is gone again.
    panel.PreviewRow(1);
    EXPECT_EQ(panel.Extension(), "jpg");
    EXPECT_EQ(panel.State(), PreviewPanel::Shown::kNoPreview);
    EXPECT_TRUE(ShowsNoPreview(panel));
    EXPECT_TRUE(FolderEntries(temp / "t").empty());

    panel.PreviewRow(2);
    EXPECT_EQ(panel.State(), PreviewPanel::Shown::kText);
    EXPECT_FALSE(ShowsNoPreview(panel));
    panel.PreviewRow(3);
    EXPECT_EQ(panel.State(), PreviewPanel::Shown::kTypeIcon);
    EXPECT_FALSE(ShowsNoPreview(panel));

    // The same row twice is read once.
    const int before = panel.Extractions();
    panel.PreviewRow(4);
    panel.PreviewRow(4);
    EXPECT_EQ(panel.Extractions(), before + 1);
    EXPECT_EQ(panel.State(), PreviewPanel::Shown::kImage);
    EXPECT_EQ(FolderEntries(temp / "t"), std::vector<std::string> { "picture.png" });

    // An empty file has nothing to show.
    panel.PreviewRow(5);
    EXPECT_EQ(panel.State(), PreviewPanel::Shown::kNoPreview);
    EXPECT_TRUE(FolderEntries(temp / "t").empty());

    // Partition Recovery has no preview.
    host.session.mode = kModePartition;
    panel.PreviewRow(4);
    EXPECT_EQ(panel.State(), PreviewPanel::Shown::kNoPreview);
}

TEST(PreviewPanelTest, StaleFilesAndLinksOfTheSameNameAreReplaced)
{
    TempDir temp;
    const fs::path folder = temp / "t";
    fs::create_directory(folder);
    TestHost host(folder);
    PreviewPanel panel(host);
    const QByteArray png = Encoded(Filled(40, 20, Qt::red, Qt::blue), "PNG");
    UseMemoryEngine(host, { { "left.png", png }, { "right.png", png } });
    // Left by an earlier run: a file, and a link pointing at a file elsewhere.
    write_file(folder / "left.png", { 1, 2, 3 });
    write_file(temp / "victim", { 9, 9 });
    fs::create_symlink(temp / "victim", folder / "right.png");

    panel.PreviewRow(0);
    EXPECT_EQ(panel.State(), PreviewPanel::Shown::kImage);
    EXPECT_EQ(read_file(folder / "left.png").size(), size_t(png.size()));
    panel.PreviewRow(1);
    EXPECT_EQ(panel.State(), PreviewPanel::Shown::kImage);
    EXPECT_FALSE(fs::is_symlink(folder / "right.png"));
    EXPECT_EQ(read_file(temp / "victim"), (std::vector<uint8_t> { 9, 9 }));
    // The previous preview's file went when the next came.
    EXPECT_EQ(FolderEntries(folder), std::vector<std::string> { "right.png" });
    panel.Clear();
    EXPECT_TRUE(FolderEntries(folder).empty());

    // A temporary folder that is a link (planted in the shared temporary
    // directory) is not written through.
    fs::create_directory(temp / "elsewhere");
    fs::create_directory_symlink(temp / "elsewhere", temp / "linked");
    TestHost linked_host(temp / "linked");
    PreviewPanel linked(linked_host);
    UseMemoryEngine(linked_host, { { "left.png", png } });
    linked.PreviewRow(0);
    EXPECT_EQ(linked.State(), PreviewPanel::Shown::kNoPreview);
    EXPECT_TRUE(FolderEntries(temp / "elsewhere").empty());
}

TEST(PreviewPanelTest, LongNamesAreCutForTheTemporaryFileButKeepTheirExtension)
{
    TempDir temp;
    TestHost host(temp / "t");
    PreviewPanel panel(host);
    const QByteArray png = Encoded(Filled(40, 20, Qt::red, Qt::blue), "PNG");
    const std::string prefix = "Ein sehr langer Name für ein Urlaubsbild vom Strand und ";
    UseMemoryEngine(host, { { prefix + "1.png", png }, { prefix + "2.png", png } });
    panel.PreviewRow(0);
    ASSERT_EQ(panel.State(), PreviewPanel::Shown::kImage);
    const auto names = FolderEntries(temp / "t");
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], FirstCharacters(prefix, 50));
    // Another file whose name starts the same is read, not taken for the first.
    const int before = panel.Extractions();
    panel.PreviewRow(1);
    EXPECT_EQ(panel.Extractions(), before + 1);
    EXPECT_EQ(FolderEntries(temp / "t").size(), 1u);
    panel.Clear();
}

TEST(PreviewPanelTest, LargeFilesDoNotHoldTheWindow)
{
    TempDir temp;
    TestHost host(temp / "t");
    PreviewPanel panel(host);
    ASSERT_TRUE(panel.LoadSkin(SkinRoot()));
    const QByteArray big = Encoded(Noise(700, 500, 1), "PNG"); // about 1 MiB
    ASSERT_GT(uint64_t(big.size()), PreviewPanel::kInlineBytes);
    const QByteArray small = Encoded(Filled(40, 20, Qt::red, Qt::blue), "PNG");
    // 60 ms a read of 64 KiB: the big file takes about a second.
    MemoryEngine* engine = UseMemoryEngine(host,
        { { "big.png", big }, { "small.png", small }, { "huge.jpg", "x", PreviewPanel::kMaxPreviewBytes + 1 },
            { "again.png", big } },
        std::chrono::milliseconds(60));
    QElapsedTimer clock;

    // Larger than the cap: "no preview" at once, nothing is read.
    clock.start();
    panel.PreviewRow(2);
    EXPECT_LT(clock.elapsed(), 100);
    EXPECT_EQ(panel.State(), PreviewPanel::Shown::kNoPreview);
    EXPECT_EQ(engine->opens, 0);

    // Read on the worker: the click returns at once, the panel says so.
    clock.restart();
    panel.PreviewRow(0);
    EXPECT_LT(clock.elapsed(), 300);
    EXPECT_EQ(panel.State(), PreviewPanel::Shown::kLoading);
    // A newer click cancels the read: it waits for one read at most.
    clock.restart();
    panel.PreviewRow(1);
    EXPECT_LT(clock.elapsed(), 300);
    EXPECT_EQ(panel.State(), PreviewPanel::Shown::kImage);
    EXPECT_LT(engine->reads.load(), 10);
    EXPECT_EQ(FolderEntries(temp / "t"), std::vector<std::string> { "small.png" });

    // A read that is let to finish is shown when it is ready.
    panel.PreviewRow(3);
    EXPECT_EQ(panel.State(), PreviewPanel::Shown::kLoading);
    EXPECT_TRUE(
        FolderEntries(temp / "t").empty() || FolderEntries(temp / "t") == std::vector<std::string> { "again.png" });
    panel.WaitReady();
    ASSERT_EQ(panel.State(), PreviewPanel::Shown::kImage);
    EXPECT_EQ(panel.FittedRect(), FitPreview(700, 500));
    EXPECT_EQ(read_file(temp / "t" / "again.png").size(), size_t(big.size()));

    // Stopping a read (the engine is about to go): nothing stays behind.
    panel.PreviewRow(0);
    EXPECT_EQ(panel.State(), PreviewPanel::Shown::kLoading);
    clock.restart();
    panel.StopReading();
    EXPECT_LT(clock.elapsed(), 300);
    EXPECT_EQ(panel.State(), PreviewPanel::Shown::kNoPreview);
    EXPECT_TRUE(FolderEntries(temp / "t").empty());
    // Clear while reading leaves an empty folder too.
    panel.PreviewRow(3);
    panel.Clear();
    EXPECT_TRUE(FolderEntries(temp / "t").empty());

    // A small file that decodes to many pixels is decoded on the worker.
    const QByteArray wide = Encoded(Filled(3000, 2000, Qt::red, Qt::blue), "PNG");
    ASSERT_LT(uint64_t(wide.size()), PreviewPanel::kInlineBytes);
    TestHost host2(temp / "t2");
    PreviewPanel panel2(host2);
    UseMemoryEngine(host2, { { "wide.png", wide } });
    panel2.PreviewRow(0);
    EXPECT_EQ(panel2.State(), PreviewPanel::Shown::kLoading);
    panel2.WaitReady();
    EXPECT_EQ(panel2.State(), PreviewPanel::Shown::kImage);
    EXPECT_EQ(panel2.FittedRect(), FitPreview(3000, 2000));
    panel2.Clear();
}

} // namespace

namespace {

// A made-up photograph: sky, sun, sea and a beach.
QImage Beach()
{
    QImage img(1200, 800, QImage::Format_RGB32);
    img.fill(QColor(0xE4, 0xCC, 0x96));
    QPainter p(&img);
    QLinearGradient sky(0, 0, 0, 480);
    sky.setColorAt(0, QColor(0x3A, 0x7B, 0xD5));
    sky.setColorAt(1, QColor(0xBF, 0xE3, 0xF7));
    p.fillRect(0, 0, 1200, 480, sky);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xFF, 0xD8, 0x4D));
    p.drawEllipse(QPoint(900, 170), 80, 80);
    QLinearGradient sea(0, 480, 0, 620);
    sea.setColorAt(0, QColor(0x1E, 0x6F, 0x9F));
    sea.setColorAt(1, QColor(0x4F, 0xB3, 0xC9));
    p.fillRect(0, 480, 1200, 140, sea);
    p.setBrush(QColor(0xEE, 0xD9, 0xA8));
    p.drawPolygon(QPolygon({ QPoint(0, 640), QPoint(400, 600), QPoint(1200, 630), QPoint(1200, 800), QPoint(0, 800) }));
    return img;
}

QString ScreenshotDir()
{
    QString dir = qEnvironmentVariable("SALVOR_SCREENSHOT_DIR");
    if (dir.isEmpty())
        dir = qEnvironmentVariable("SALVOR_BUILD_DIR", QDir::tempPath()) + "/screenshots";
    QDir().mkpath(dir);
    return dir;
}

// The main window on the results page of a scanned card: a photo in the
// panel, then a file without preview.
TEST(Screenshots, PreviewOfAPhotoAndOfAFileWithoutPreview)
{
    if (!require_tool("mkfs.vfat", "dosfstools") || !require_tool("mcopy", "mtools"))
        return;
    TempDir temp;
    const QByteArray beach = Encoded(Beach(), "JPEG");
    write_file(temp / "Beach at noon.jpg", std::vector<uint8_t>(beach.begin(), beach.end()));
    write_file(temp / "Annual report.doc", std::vector<uint8_t>(3000, 'r'));
    write_file(temp / "Packing list.txt", std::vector<uint8_t>(500, 'n'));
    const std::string img = (temp / "card.img").string();
    std::string output;
    ASSERT_EQ(run("export MTOOLS_SKIP_CHECK=1 PATH=$PATH:/sbin:/usr/sbin; cd '" + temp.path().string()
                      + "' && mkfs.vfat -C -F 16 -n HOLIDAY card.img 16384 >/dev/null && "
                        "mcopy -i card.img 'Beach at noon.jpg' 'Annual report.doc' 'Packing list.txt' ::/ && "
                        "mdel -i card.img '::/Beach at noon.jpg' '::/Annual report.doc' '::/Packing list.txt'",
                  &output),
        0)
        << output;
    fs::create_directory(temp / "tmp");
    const QByteArray old_tmpdir = qgetenv("TMPDIR");
    qputenv("TMPDIR", QByteArray::fromStdString((temp / "tmp").string()));
    bg_set_real_disks(0);
    bg_clear_images();
    ASSERT_EQ(bg_add_image(img.c_str()), 0);
    {
        CMainDlg dlg;
        ASSERT_TRUE(dlg.InitDialog(nullptr));
        dlg.SendMessage(zr::WM_COMMAND, IDC_NEXT, 0);
        dlg.SendMessage(zr::WM_COMMAND, IDC_SCAN, 0);
        ASSERT_EQ(dlg.Page(), kPageResults);
        dlg.TreeView().Widget()->show();
        dlg.TreeView().Select(dlg.TreeView().FirstRoot());
        auto click = [&](const std::string& ending) {
            for (size_t r = 0; r < dlg.ListView().RowCount(); ++r)
                if (dlg.ListView().Text(r, 0).find(ending) != std::string::npos) {
                    dlg.ListView().SelectRow(long(r));
                    dlg.ListView().on_row_clicked(r);
                    return true;
                }
            return false;
        };
        ASSERT_TRUE(click("Beach at noon.jpg"));
        dlg.Preview().WaitReady();
        ASSERT_EQ(dlg.Preview().State(), PreviewPanel::Shown::kImage);
        const QImage photo = dlg.grab().toImage();
        const QRect fitted = FitPreview(1200, 800);
        EXPECT_TRUE(Near(photo.pixel(fitted.center().x(), fitted.top() + fitted.height() * 500 / 800),
            QColor(0x1E, 0x6F, 0x9F), 60));
        EXPECT_TRUE(photo.save(ScreenshotDir() + "/preview_photo.png"));
        ASSERT_TRUE(click("Annual report.doc"));
        ASSERT_EQ(dlg.Preview().State(), PreviewPanel::Shown::kNoPreview);
        EXPECT_TRUE(dlg.grab().toImage().save(ScreenshotDir() + "/preview_nopreview.png"));
    }
    bg_clear_images();
    if (old_tmpdir.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", old_tmpdir);
}

} // namespace
