// The progress dialog with a host of its own: every kind runs its worker and
// ends, the poll and animation timers, the stop questions (No goes on, Yes
// stops and keeps what was found or removes the file being written), and Run
// returning only after its worker.
#include <progress/progress_dlg.h>

#include <salvor/scan/drivers.h>
#include <shell/msgbox.h>
#include <widgets/skin.h>

#include "file_volume.h"
#include "qt_env.h"
#include "test_engine.h"
#include "test_support.h"

#include <QProgressBar>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

namespace {

[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new salvor_test::QtEnvironment);

using namespace salvor;
using namespace std::chrono_literals;
using salvor_test::TempDir;
namespace fs = std::filesystem;

// The main dialog as the progress dialog sees it.
class HostWindow : public zr::ZrDialog {
public:
    HostWindow()
        : zr::ZrDialog(102)
    {
        SetClientSize(800, 600);
        MapMessage(UM_RECOVERY_DONE, [this](zr::WPARAM w, zr::LPARAM) -> zr::LRESULT {
            done.push_back(int(w));
            return 0;
        });
    }
    std::vector<int> done;
};

class TestHost final : public MainHost {
public:
    TestHost()
        : session(tree, list)
    {
    }

    zr::ZrDialog& Window() override { return window; }
    RecoveryMode Mode() const override { return mode; }
    ScanSession& Session() override { return session; }
    QtResultTree& TreeView() override { std::abort(); } // the dialog reaches the views through the session
    QtResultList& ListView() override { std::abort(); }
    LoadingState& Loading() override { return loading; }
    std::string TargetFolder() const override { return target; }
    std::string TempFolder() const override { return "/tmp/"; }
    BgDiskNode* Disks() override { return nullptr; }
    std::string SelectedDiskRow() const override { return "disk 0"; }
    std::string SystemDisk() const override { return ""; }
    void RunProgress(ProgressKind kind) override
    {
        CProgressDlg dlg(*this);
        dlg.Run(&window, kind);
    }
    void RunPartitionSearch(ProgressSink& progress) override
    {
        if (search)
            search(progress);
    }

    HostWindow window;
    RecoveryMode mode = kModeDeleted;
    MemoryResultTree tree;
    MemoryResultList list;
    ScanSession session;
    NullLoading loading;
    std::string target;
    std::function<void(ProgressSink&)> search;
};

// Reaches the timer handler the way the timers do.
class ProbeDlg : public CProgressDlg {
public:
    using CProgressDlg::CProgressDlg;
    void Tick(int id) { OnTimer(id); }
};

struct Box {
    int style;
    int mask;
    std::string text;
    std::string caption;
};

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Clicks the stop button through real mouse events once `ready` holds.
class StopClicker {
public:
    StopClicker(CProgressDlg& dlg, std::function<bool()> ready)
    {
        m_timer.setInterval(2);
        QObject::connect(&m_timer, &QTimer::timeout, [this, &dlg, ready] {
            if (m_clicked || !dlg.isVisible() || !ready())
                return;
            m_clicked = true;
            m_timer.stop();
            const zr::ZrRect r = dlg.StopButton().Rect();
            salvor_test::Click(&dlg, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
        });
        m_timer.start();
    }
    bool clicked() const { return m_clicked; }

private:
    QTimer m_timer;
    bool m_clicked = false;
};

class ProgressDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        bg_progress.store(0);
        bg_request_stop(0);
        zr::SetMessageBoxHook([this](int style, int mask, const QString& text, const QString& caption) {
            boxes.push_back({ style, mask, text.toStdString(), caption.toStdString() });
            return answer ? answer() : zr::IDC_MSGBOX_OK;
        });
    }
    void TearDown() override
    {
        zr::SetMessageBoxHook(nullptr);
        bg_request_stop(0);
    }

    std::vector<Box> boxes;
    std::function<int()> answer;
    TestHost host;
};

std::map<std::string, std::string> ReadManifest(const fs::path& path, size_t path_col, size_t sha_col)
{
    std::map<std::string, std::string> rows;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> cols;
        std::stringstream ss(line);
        std::string col;
        while (std::getline(ss, col, '\t'))
            cols.push_back(col);
        if (cols.size() > std::max(path_col, sha_col))
            rows[cols[path_col]] = cols[sha_col];
    }
    return rows;
}

std::vector<fs::path> FilesBelow(const fs::path& root)
{
    std::vector<fs::path> files;
    if (!fs::exists(root))
        return files;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file())
            files.push_back(e.path());
    return files;
}

// ---- Scans on real images ----

TEST_F(ProgressDialog, DeletedScanOfFatImageListsWhatItFoundAndEnds)
{
    if (!salvor_test::require_tool("mkfs.vfat", "dosfstools") || !salvor_test::require_tool("mcopy", "mtools"))
        return;
    TempDir tmp;
    ASSERT_TRUE(salvor_test::run_fixture("fat-deleted.sh", { tmp.path().string(), "16" }));
    const auto deleted = ReadManifest(tmp / "deleted.tsv", 0, 2);
    ASSERT_FALSE(deleted.empty());
    const std::string before = salvor_test::sha256_file(tmp / "volume.img");
    salvor_test::FileVolume volume((tmp / "volume.img").string(), BG_FS_FAT16);
    host.session.volume = volume.volume();
    host.session.source_label = "card";

    CProgressDlg dlg(host);
    EXPECT_EQ(dlg.Run(&host.window, kProgressDeletedScan), 1);
    EXPECT_TRUE(dlg.WorkerReturned());
    EXPECT_TRUE(dlg.Ended());
    EXPECT_EQ(dlg.Percent(), 100);
    EXPECT_EQ(dlg.BarPosition(), 100);
    EXPECT_FALSE(dlg.HasTimer(IDT_PROGRESS_POLL));
    EXPECT_FALSE(dlg.HasTimer(IDT_ANIMATION));
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(dlg.ScanFailure().empty());
    ASSERT_TRUE(host.tree.FirstRoot());
    EXPECT_EQ(host.tree.Text(host.tree.FirstRoot()), "card");
    EXPECT_GE(host.session.result.files.size(), deleted.size());
    EXPECT_EQ(salvor_test::sha256_file(tmp / "volume.img"), before);
}

TEST_F(ProgressDialog, ScanThatCannotReadItsVolumeSaysWhyInsteadOfAnEmptySuccess)
{
    TempDir tmp;
    salvor_test::write_file(tmp / "zeros.img", std::vector<uint8_t>(1 << 20, 0));
    salvor_test::FileVolume volume((tmp / "zeros.img").string(), BG_FS_NTFS);
    host.session.volume = volume.volume();

    CProgressDlg dlg(host);
    dlg.Run(&host.window, kProgressDeletedScan);
    EXPECT_TRUE(dlg.WorkerReturned());
    ASSERT_FALSE(dlg.ScanFailure().empty());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].style, zr::MSGBOX_ERROR);
    EXPECT_EQ(boxes[0].mask, zr::MSGBOX_OK);
    EXPECT_NE(boxes[0].text.find(dlg.ScanFailure()), std::string::npos) << boxes[0].text;
}

TEST_F(ProgressDialog, FormatScanThenFatRecoveryOfEveryFolderGivesTheOldFiles)
{
    if (!salvor_test::require_tool("mkfs.vfat", "dosfstools") || !salvor_test::require_tool("mcopy", "mtools"))
        return;
    TempDir tmp;
    ASSERT_TRUE(salvor_test::run_fixture("fat-format.sh", { tmp.path().string(), "same" }));
    const auto old_files = ReadManifest(tmp / "files.tsv", 0, 2);
    ASSERT_FALSE(old_files.empty());
    salvor_test::FileVolume volume((tmp / "volume.img").string(), BG_FS_FAT32);
    host.mode = kModeFormat;
    host.session.volume = volume.volume();
    host.session.fs_code = BG_FS_FAT32;
    host.session.source_label = "formatted";
    {
        CProgressDlg dlg(host);
        dlg.Run(&host.window, kProgressFormatScan);
        EXPECT_TRUE(dlg.ScanFailure().empty()) << dlg.ScanFailure();
        EXPECT_EQ(dlg.BarPosition(), 100);
    }
    ASSERT_GE(host.session.result.files.size(), old_files.size());
    // Every folder node checked: each one's files go to a folder of its own.
    std::vector<NodeId> pending { host.tree.FirstRoot() };
    while (!pending.empty()) {
        const NodeId n = pending.back();
        pending.pop_back();
        host.tree.SetCheckState(n, kChecked);
        for (NodeId c : host.tree.Children(n))
            pending.push_back(c);
    }
    host.session.current_folder = host.tree.FirstRoot();
    TempDir out;
    host.target = (out / "ReVuvi Deverode").string();
    CProgressDlg dlg(host);
    dlg.Run(&host.window, kProgressFatRecovery);
    EXPECT_EQ(host.window.done, std::vector<int> { 1 });
    std::multiset<std::string> got;
    for (const auto& f : FilesBelow(host.target))
        got.insert(salvor_test::sha256_file(f));
    for (const auto& [path, sha] : old_files)
        EXPECT_TRUE(got.count(sha)) << path << " not recovered byte-exact";
}

TEST_F(ProgressDialog, NoScanForTheFileSystemIsSaidAndAnUnusedKindEndsAtOnce)
{
    TempDir tmp;
    salvor_test::write_file(tmp / "v.img", std::vector<uint8_t>(64 * 1024, 0));
    salvor_test::FileVolume volume((tmp / "v.img").string(), BG_FS_EXT4);
    host.session.volume = volume.volume();
    {
        CProgressDlg dlg(host);
        dlg.Run(&host.window, kProgressDeletedScan);
        EXPECT_FALSE(dlg.ScanFailure().empty());
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].style, zr::MSGBOX_ERROR);
    }
    boxes.clear();
    CProgressDlg dlg(host);
    EXPECT_EQ(dlg.Run(&host.window, ProgressKind(3)), 1);
    EXPECT_TRUE(dlg.Ended());
    EXPECT_FALSE(dlg.WorkerReturned()) << "no worker is started for an unused kind";
    EXPECT_FALSE(dlg.HasTimer(IDT_PROGRESS_POLL) || dlg.HasTimer(IDT_ANIMATION));
    EXPECT_TRUE(boxes.empty());
}

TEST_F(ProgressDialog, RawScanThenRawRecoveryOfThePhotosGivesTheirBytes)
{
    if (!salvor_test::have_tool("python3") || !salvor_test::have_tool("convert")) {
        GTEST_SKIP() << "python3 and imagemagick make the raw fixture";
    }
    TempDir tmp;
    ASSERT_TRUE(
        salvor_test::run_fixture("cli-raw-bare.sh", { (tmp / "bare.img").string(), (tmp / "files.tsv").string() }));
    const auto placed = ReadManifest(tmp / "files.tsv", 0, 2);
    std::set<std::string> shas;
    for (const auto& [name, sha] : placed)
        shas.insert(sha);
    salvor_test::FileVolume volume((tmp / "bare.img").string(), BG_FS_UNKNOWN);
    host.mode = kModeRaw;
    host.session.volume = volume.volume();
    host.session.source_label = "bare";
    host.session.raw = RawSelection { true, false, false, false };

    {
        CProgressDlg dlg(host);
        dlg.Run(&host.window, kProgressRawScan);
        EXPECT_TRUE(dlg.ScanFailure().empty());
    }
    const NodeId root = host.tree.FirstRoot();
    ASSERT_TRUE(root);
    // Only the ticked category has a node.
    const auto categories = host.tree.Children(root);
    ASSERT_EQ(categories.size(), 1u);
    EXPECT_EQ(host.tree.Text(categories[0]), "PHOTO");
    const auto types = host.tree.Children(categories[0]);
    ASSERT_FALSE(types.empty());
    for (NodeId t : types)
        host.tree.SetCheckState(t, kChecked);
    host.session.current_folder = root;

    TempDir out;
    host.target = (out / "ReVuvi Deverode").string();
    CProgressDlg dlg(host);
    dlg.Run(&host.window, kProgressRawRecovery);
    EXPECT_EQ(host.window.done, std::vector<int> { 1 });
    EXPECT_FALSE(dlg.HasTimer(IDT_ANIMATION));
    const auto files = FilesBelow(host.target);
    ASSERT_FALSE(files.empty());
    EXPECT_EQ(dlg.LastRecovery().written, files.size());
    for (const auto& f : files)
        EXPECT_TRUE(shas.count(salvor_test::sha256_file(f))) << f << " is not one of the placed files";
    for (const auto& f : files)
        EXPECT_EQ(f.parent_path().parent_path().filename(), "PHOTO") << f;
}

// ---- The poll timer ----

TEST_F(ProgressDialog, PercentJumpingTo100EndsTheDialogInOneTick)
{
    ProbeDlg dlg(host);
    std::vector<std::string> seen;
    QTimer::singleShot(0, &dlg, [&] {
        // Runs on the user-interface thread, between two real ticks.
        bg_progress.store(40);
        dlg.Tick(IDT_PROGRESS_POLL);
        seen.push_back(std::to_string(dlg.Percent()) + "/" + std::to_string(dlg.BarPosition())
            + (dlg.Ended() ? " ended" : " open"));
        bg_progress.store(100);
        dlg.Tick(IDT_PROGRESS_POLL);
        seen.push_back(std::to_string(dlg.Percent()) + "/" + std::to_string(dlg.BarPosition())
            + (dlg.Ended() ? " ended" : " open"));
        seen.push_back(dlg.HasTimer(IDT_PROGRESS_POLL) || dlg.HasTimer(IDT_ANIMATION) ? "timers" : "no timers");
    });
    host.search = [&](ProgressSink&) { WaitFor([&] { return dlg.Ended(); }); };
    dlg.Run(&host.window, kProgressPartitionSearch);
    EXPECT_EQ(seen, (std::vector<std::string> { "40/40 open", "100/100 ended", "no timers" }));
    EXPECT_FALSE(dlg.StoppedByUser());
}

TEST_F(ProgressDialog, Ext3DeletedScanIgnoresTheSharedPercentAndFollowsItsDriver)
{
    TempDir tmp;
    salvor_test::write_file(tmp / "v.img", std::vector<uint8_t>(64 * 1024, 0));
    salvor_test::FileVolume volume((tmp / "v.img").string(), BG_FS_EXT3);
    host.session.volume = volume.volume();
    host.mode = kModeDeleted;
    ProbeDlg dlg(host);
    std::atomic<bool> looked { false };
    std::string seen;
    QTimer::singleShot(0, &dlg, [&] {
        bg_progress.store(100);
        dlg.Tick(IDT_PROGRESS_POLL);
        seen = std::to_string(dlg.Percent()) + (dlg.Ended() ? " ended" : " open");
        looked = true;
    });
    std::vector<int> bar;
    host.search = [&](ProgressSink& p) {
        WaitFor([&] { return looked.load(); });
        p.SetProgress(50);
        bar.push_back(int(dlg.SendMessage(PBM_GETPOS, 0, 0)));
        p.SetProgress(100);
        bar.push_back(int(dlg.SendMessage(PBM_GETPOS, 0, 0)));
    };
    dlg.Run(&host.window, kProgressPartitionSearch);
    EXPECT_EQ(seen, "0 open");
    EXPECT_EQ(bar, (std::vector<int> { 50, 100 }));
    EXPECT_TRUE(dlg.Ended());
}

// A search that adds a node per step, looks at the stop between steps and
// keeps touching the dialog for a while after it was stopped.
struct SlowSearch {
    static constexpr int kSteps = 150;
    std::atomic<int> steps { 0 };
    std::atomic<bool> returned { false };
    void operator()(TestHost& host, ProgressSink& p)
    {
        const NodeId root = host.tree.InsertNode(0, host.SelectedDiskRow(), kImageRoot, kImageRootSelected);
        for (int i = 0; i < kSteps; ++i) {
            if (p.StopRequested() || bg_stop_requested())
                break;
            host.tree.InsertNode(root, "volume " + std::to_string(i), kImageFolder, kImageFolderSelected);
            steps = i + 1;
            bg_progress.store(std::min(95, i / 5 * 5));
            std::this_thread::sleep_for(2ms);
        }
        if (!bg_stop_requested())
            bg_progress.store(100);
        else {
            // A worker that is slow to notice: the dialog must still be there.
            std::this_thread::sleep_for(100ms);
            p.SetStatusText("winding down");
            p.SetProgress(97);
        }
        returned = true;
    }
};

TEST_F(ProgressDialog, ScanStopAnsweredNoPausesTheWorkerThenLetsItFinish)
{
    SlowSearch search;
    host.search = [&](ProgressSink& p) { search(host, p); };
    CProgressDlg dlg(host);
    bool paused = false;
    int steps_at_question = -1;
    int steps_after_wait = -2;
    answer = [&] {
        paused = WaitFor([&] { return dlg.WorkerPaused(); }, 2s);
        steps_at_question = search.steps;
        std::this_thread::sleep_for(60ms);
        steps_after_wait = search.steps;
        return zr::IDC_MSGBOX_NO;
    };
    StopClicker clicker(dlg, [&] { return search.steps >= 5; });
    dlg.Run(&host.window, kProgressPartitionSearch);
    ASSERT_TRUE(clicker.clicked());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Are you sure to stop the scanning?");
    EXPECT_EQ(boxes[0].caption, "note");
    EXPECT_EQ(boxes[0].style, zr::MSGBOX_WARNING);
    EXPECT_EQ(boxes[0].mask, zr::MSGBOX_YES | zr::MSGBOX_NO);
    EXPECT_TRUE(paused);
    EXPECT_EQ(steps_at_question, steps_after_wait);
    EXPECT_EQ(search.steps, SlowSearch::kSteps);
    EXPECT_EQ(host.tree.Children(host.tree.FirstRoot()).size(), size_t(SlowSearch::kSteps));
    EXPECT_FALSE(dlg.StoppedByUser());
    EXPECT_EQ(dlg.BarPosition(), 100);
}

TEST_F(ProgressDialog, ScanStopAnsweredYesEndsTheScanKeepsWhatWasFoundAndWaitsForTheWorker)
{
    SlowSearch search;
    host.search = [&](ProgressSink& p) { search(host, p); };
    auto dlg = std::make_unique<CProgressDlg>(host);
    answer = [] { return zr::IDC_MSGBOX_YES; };
    StopClicker clicker(*dlg, [&] { return search.steps >= 5; });
    dlg->Run(&host.window, kProgressPartitionSearch);
    // Run came back after the worker, which touched the dialog after the stop.
    EXPECT_TRUE(search.returned);
    EXPECT_TRUE(dlg->WorkerReturned());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(dlg->StoppedByUser());
    EXPECT_TRUE(bg_stop_requested());
    EXPECT_EQ(dlg->Percent(), 100);
    EXPECT_LT(dlg->BarPosition(), 100);
    EXPECT_EQ(dlg->StatusText(), "winding down");
    const size_t found = host.tree.Children(host.tree.FirstRoot()).size();
    EXPECT_GE(found, 5u);
    EXPECT_LT(found, size_t(SlowSearch::kSteps));
    EXPECT_EQ(found, size_t(search.steps));
    EXPECT_TRUE(boxes.size() == 1); // a stop is no failure
    dlg.reset();
}

// ---- Recoveries ----

// An engine whose one file blocks in the middle of its data until released.
class GateEngine final : public Engine {
public:
    GateEngine(std::vector<salvor_test::TestFile> files, size_t gated)
        : m_files(std::move(files))
        , m_gated(gated)
    {
    }
    std::atomic<bool> reached { false };
    std::atomic<bool> released { false };

    ScanOutcome Scan(BgVolume* v, ScanSink& sink) override { return salvor_test::TestEngine(m_files).Scan(v, sink); }
    std::unique_ptr<FileStream> Open(const FoundFile& file, std::string& reason) override
    {
        const uint64_t index = std::get<uint64_t>(file.record);
        if (index == 0 || index > m_files.size()) {
            reason = "not a test file";
            return nullptr;
        }
        return std::make_unique<Stream>(*this, index - 1);
    }

private:
    class Stream final : public FileStream {
    public:
        Stream(GateEngine& e, size_t i)
            : m_e(e)
            , m_i(i)
        {
        }
        StreamRead Read(uint8_t* buffer, size_t length) override
        {
            const auto& data = m_e.m_files[m_i].data;
            if (m_i == m_e.m_gated && m_done >= data.size() / 2 && !m_e.released) {
                m_e.reached = true;
                WaitFor([&] { return m_e.released.load(); }, 10s);
            }
            const size_t n = std::min(length, data.size() - m_done);
            std::memcpy(buffer, data.data() + m_done, n);
            m_done += n;
            return { n, true };
        }
        size_t Chunk() const override { return 4096; }

    private:
        GateEngine& m_e;
        size_t m_i;
        size_t m_done = 0;
    };

    std::vector<salvor_test::TestFile> m_files;
    size_t m_gated;
};

salvor_test::TestFile File(std::string folder, std::string name, std::vector<uint8_t> data)
{
    salvor_test::TestFile f;
    f.folder = std::move(folder);
    f.name = std::move(name);
    f.data = std::move(data);
    return f;
}

std::vector<salvor_test::TestFile> ThreeFiles()
{
    std::vector<salvor_test::TestFile> files;
    for (int i = 0; i < 3; ++i)
        files.push_back(File("a", "f" + std::to_string(i) + ".bin", salvor_test::random_bytes(64 * 1024, i + 1)));
    return files;
}

class RecoveryStop : public ProgressDialog {
protected:
    void Prepare()
    {
        auto engine = std::make_unique<GateEngine>(ThreeFiles(), 1);
        gate = engine.get();
        NullLoading loading;
        NullProgress progress;
        host.session.fs_code = BG_FS_EXT2;
        RunScanWith(host.session, std::move(engine), loading, progress);
        const NodeId a = salvor_test::NodeOf(host.tree, "a");
        ASSERT_TRUE(a);
        host.tree.SetCheckState(a, kChecked);
        host.target = (out / "ReVuvi Deverode").string();
    }
    GateEngine* gate = nullptr;
    TempDir out;
};

TEST_F(RecoveryStop, AnsweredNoTheRecoveryGoesOnToItsEnd)
{
    Prepare();
    CProgressDlg dlg(host);
    bool animation_only = false;
    answer = [&] {
        animation_only = dlg.HasTimer(IDT_ANIMATION) && !dlg.HasTimer(IDT_PROGRESS_POLL)
            && dlg.StatusText().startsWith("Recovering: ");
        gate->released = true;
        return zr::IDC_MSGBOX_NO;
    };
    StopClicker clicker(dlg, [&] { return gate->reached.load(); });
    dlg.Run(&host.window, kProgressExt2Recovery);
    ASSERT_TRUE(clicker.clicked());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Are you sure to stop the recovery?");
    EXPECT_EQ(boxes[0].caption, "note");
    EXPECT_TRUE(animation_only);
    EXPECT_EQ(host.window.done, std::vector<int> { 1 });
    const auto files = ThreeFiles();
    for (const auto& f : files)
        EXPECT_EQ(salvor_test::sha256_file(fs::path(host.target) / "a" / f.name), salvor_test::sha256_hex(f.data))
            << f.name;
    EXPECT_EQ(dlg.LastRecovery().written, 3u);
}

TEST_F(RecoveryStop, AnsweredYesStopsBetweenFilesRemovesThePartialFileAndSaysCancelled)
{
    Prepare();
    auto dlg = std::make_unique<CProgressDlg>(host);
    answer = [&] {
        gate->released = true;
        return zr::IDC_MSGBOX_YES;
    };
    StopClicker clicker(*dlg, [&] { return gate->reached.load(); });
    dlg->Run(&host.window, kProgressExt2Recovery);
    EXPECT_TRUE(dlg->WorkerReturned());
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(host.window.done, std::vector<int> { 0 });
    const auto files = ThreeFiles();
    const fs::path folder = fs::path(host.target) / "a";
    EXPECT_EQ(salvor_test::sha256_file(folder / files[0].name), salvor_test::sha256_hex(files[0].data));
    EXPECT_FALSE(fs::exists(folder / files[1].name)) << "the file being written stays half-written";
    EXPECT_FALSE(fs::exists(folder / files[2].name));
    EXPECT_EQ(FilesBelow(host.target).size(), 1u);
    EXPECT_TRUE(dlg->LastRecovery().cancelled);
    dlg.reset();
}

// FAT and NTFS look at the current folder before the tree pass: a checked
// current folder goes whole with the tree pass and its rows are not written
// a second time.
TEST_F(ProgressDialog, FatRecoveryRunsTheListPassOnlyForAnUncheckedCurrentFolder)
{
    std::vector<salvor_test::TestFile> files = { File("a", "one.txt", { '1' }), File("a", "two.txt", { '2', '2' }),
        File("b", "three.txt", { '3', '3', '3' }) };
    for (const bool current_checked : { false, true }) {
        SCOPED_TRACE(current_checked ? "current folder checked" : "current folder unchecked");
        salvor_test::RunTestScan(host.session, files);
        host.session.fs_code = BG_FS_FAT32;
        const NodeId a = salvor_test::NodeOf(host.tree, "a");
        const NodeId b = salvor_test::NodeOf(host.tree, "b");
        ASSERT_TRUE(a && b);
        host.session.current_folder = a;
        FillResultList(host.session);
        ASSERT_EQ(host.list.RowCount(), 2u);
        host.list.SetCheckState(1, kChecked);
        host.tree.SetCheckState(b, kChecked);
        if (current_checked)
            host.tree.SetCheckState(a, kChecked);
        TempDir out;
        host.target = (out / "r").string();
        host.window.done.clear();
        CProgressDlg dlg(host);
        dlg.Run(&host.window, kProgressFatRecovery);
        EXPECT_EQ(host.window.done, std::vector<int> { 1 });
        std::set<std::string> got;
        for (const auto& f : FilesBelow(host.target))
            got.insert(fs::relative(f, host.target).string());
        if (current_checked)
            EXPECT_EQ(got, (std::set<std::string> { "a/one.txt", "a/two.txt", "b/three.txt" }));
        else
            EXPECT_EQ(got, (std::set<std::string> { "a/two.txt", "b/three.txt" }));
    }
}

TEST_F(ProgressDialog, EveryFileSystemRecoveryKindWritesTheCheckedFolder)
{
    for (const ProgressKind kind : { kProgressNtfsRecovery, kProgressExt3Recovery, kProgressHfsRecovery }) {
        SCOPED_TRACE(kind);
        salvor_test::RunTestScan(host.session, { File("docs", "note.txt", { 'n', 'o' }) });
        host.tree.SetCheckState(salvor_test::NodeOf(host.tree, "docs"), kChecked);
        TempDir out;
        host.target = (out / "r").string();
        host.window.done.clear();
        CProgressDlg dlg(host);
        dlg.Run(&host.window, kind);
        EXPECT_EQ(host.window.done, std::vector<int> { 1 });
        EXPECT_TRUE(fs::exists(out / "r" / "docs" / "note.txt"));
    }
}

// ---- Look and input ----

TEST_F(ProgressDialog, LayoutAnimationStatusDragAndScreenshot)
{
    ProbeDlg dlg(host);
    std::vector<int> frames;
    std::vector<QImage> pictures;
    bool elided = false;
    bool dragged = false;
    bool stop_is_no_drag = false;
    QImage shot;
    std::atomic<bool> looked { false };
    QTimer::singleShot(0, &dlg, [&] {
        EXPECT_EQ(QSize(dlg.ClientWidth(), dlg.ClientHeight()), QSize(500, 175));
        EXPECT_EQ(dlg.Bar()->geometry(), QRect(80, 80, 380, 20));
        EXPECT_EQ(dlg.Bar()->maximum(), 100);
        EXPECT_EQ(std::make_pair(dlg.CloseButton().Rect().left, dlg.CloseButton().Rect().top), std::make_pair(460, 5));
        EXPECT_EQ(std::make_pair(dlg.StopButton().Rect().left, dlg.StopButton().Rect().top), std::make_pair(200, 125));
        EXPECT_EQ(dlg.CloseButton().CommandId(), IDC_PROGRESS_CLOSE);
        EXPECT_EQ(dlg.StopButton().CommandId(), IDC_PROGRESS_STOP);
        EXPECT_EQ(dlg.StatusRect(), (zr::ZrRect { 80, 55, 490, 73 }));
        EXPECT_EQ(dlg.StatusText(), "Scanning,please wait...");
        EXPECT_TRUE(dlg.HasTimer(IDT_PROGRESS_POLL) && dlg.HasTimer(IDT_ANIMATION));
        // Rounded corners: the corner pixel is outside the window's shape.
        EXPECT_FALSE(dlg.mask().contains(QPoint(0, 0)));
        EXPECT_TRUE(dlg.mask().contains(QPoint(250, 80)));

        const int start = dlg.AnimationFrame();
        for (int i = 0; i < 7; ++i) {
            dlg.Tick(IDT_ANIMATION);
            frames.push_back((dlg.AnimationFrame() - start + 6) % 6);
            pictures.push_back(dlg.RenderToImage());
        }
        // Neighbouring frames differ inside the animation rectangle only.
        const zr::ZrRect a = dlg.AnimationRect();
        const QRect anim(a.left, a.top, a.width(), a.height());
        EXPECT_EQ(anim, QRect(10, 70, 54, 48));
        EXPECT_NE(pictures[0].copy(anim), pictures[1].copy(anim));
        EXPECT_EQ(pictures[0].copy(0, 0, 500, 60), pictures[1].copy(0, 0, 500, 60));
        EXPECT_EQ(pictures[0].copy(anim), pictures[6].copy(anim));

        // A long status line is cut at its rectangle, on one line.
        dlg.SetStatusText("Recovering: " + std::string(300, 'W'));
        const QImage text = dlg.RenderToImage();
        const zr::ZrRect s = dlg.StatusRect();
        const int right_of_text = salvor_test::CountColour(
            text, QRect(s.right, s.top, dlg.ClientWidth() - s.right, s.height()), 0xFF000000, 40);
        const int below_text = salvor_test::CountColour(text, QRect(s.left, s.bottom, 380, 6), 0xFF000000, 40);
        const int inside = salvor_test::CountColour(text, QRect(s.left, s.top, s.width(), s.height()), 0xFF000000, 40);
        elided = inside > 50 && right_of_text == 0 && below_text == 0;

        const zr::ZrRect stop = dlg.StopButton().Rect();
        salvor_test::SendMouse(
            &dlg, QEvent::MouseButtonPress, (stop.left + stop.right) / 2, (stop.top + stop.bottom) / 2, Qt::LeftButton);
        stop_is_no_drag = !dlg.Dragging() && dlg.StopButton().Pressed();
        salvor_test::SendMouse(&dlg, QEvent::MouseMove, 300, 160, Qt::LeftButton);
        salvor_test::SendMouse(&dlg, QEvent::MouseButtonRelease, 300, 160, Qt::NoButton);
        salvor_test::SendMouse(&dlg, QEvent::MouseButtonPress, 30, 20, Qt::LeftButton);
        dragged = dlg.Dragging();
        salvor_test::SendMouse(&dlg, QEvent::MouseButtonRelease, 30, 20, Qt::NoButton);

        dlg.SetStatusText("Scanning,please wait...");
        dlg.Bar()->setValue(45);
        shot = dlg.grab().toImage();
        looked = true;
    });
    host.search = [&](ProgressSink&) { WaitFor([&] { return looked.load(); }); };
    dlg.Run(&host.window, kProgressPartitionSearch);
    EXPECT_EQ(frames, (std::vector<int> { 1, 2, 3, 4, 5, 0, 1 }));
    EXPECT_TRUE(elided);
    EXPECT_TRUE(stop_is_no_drag);
    EXPECT_TRUE(dragged);
    EXPECT_TRUE(boxes.empty()) << "a press outside the buttons asks nothing";
    ASSERT_EQ(shot.size(), QSize(500, 175));
    const fs::path dir = salvor_test::build_dir() / "screenshots";
    fs::create_directories(dir);
    EXPECT_TRUE(shot.save(QString::fromStdString((dir / "progress_dialog.png").string())));
}

TEST_F(ProgressDialog, WithoutItsSkinTheDialogKeepsItsSizeAndBar)
{
    TempDir empty;
    const QString saved = zr::ImageRoot();
    zr::SetImageRoot(QString::fromStdString(empty.path().string() + "/"));
    CProgressDlg dlg(host);
    std::atomic<bool> looked { false };
    QTimer::singleShot(0, &dlg, [&] {
        EXPECT_EQ(QSize(dlg.ClientWidth(), dlg.ClientHeight()), QSize(500, 175));
        EXPECT_TRUE(dlg.Bar()->isVisible());
        EXPECT_TRUE(dlg.AnimationRect().empty());
        dlg.RenderToImage(); // draws without the images
        looked = true;
    });
    host.search = [&](ProgressSink&) { WaitFor([&] { return looked.load(); }); };
    dlg.Run(&host.window, kProgressPartitionSearch);
    zr::SetImageRoot(saved);
    EXPECT_TRUE(looked);
}

} // namespace
