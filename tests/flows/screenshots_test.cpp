// Pictures of every page of the main window in every mode, and of the
// progress dialog, drawn offscreen from the real program on fixture images.
// Under ctest they go to a temporary folder and are checked for being real
// pictures of the window; `ninja salvor_screenshots` writes the committed
// copies in docs/screenshots (SALVOR_SCREENSHOT_DIR).
#include "flow_env.h"
#include "flow_fixtures.h"
#include "main_driver.h"

#include <progress/progress_dlg.h>

#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QScrollBar>
#include <QSet>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace {

using namespace salvor;
using namespace salvor_flow;
using salvor_test::TempDir;
namespace fs = std::filesystem;

[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new FlowEnvironment);

class Screenshots : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* dir = std::getenv("SALVOR_SCREENSHOT_DIR");
        m_dir = dir && *dir ? fs::path(dir) : m_tmp.path();
        fs::create_directories(m_dir);
    }

    // Grabs the window with its child controls, writes it as NAME.png and
    // checks it is a picture of the window and not an empty frame.
    void Save(QWidget* w, const std::string& name)
    {
        const QImage image = w->grab().toImage();
        ASSERT_FALSE(image.isNull()) << name;
        EXPECT_EQ(image.size(), w->size()) << name;
        QSet<QRgb> colours;
        for (int y = 0; y < image.height() && colours.size() < 64; y += 3)
            for (int x = 0; x < image.width() && colours.size() < 64; x += 3)
                colours.insert(image.pixel(x, y));
        EXPECT_GE(colours.size(), 64) << name << " looks empty";
        const fs::path file = m_dir / (name + ".png");
        ASSERT_TRUE(image.save(QString::fromStdString(file.string()), "PNG")) << file;
        EXPECT_GT(fs::file_size(file), 2000u) << file;
    }

    TempDir m_tmp;
    fs::path m_dir;
};

TEST_F(Screenshots, ModePageInEveryMode)
{
    MainDriver ui({});
    const struct {
        RecoveryMode mode;
        const char* name;
    } modes[] = {{kModeDeleted, "mode-deleted"},
                 {kModeFormat, "mode-format"},
                 {kModePartition, "mode-partition"},
                 {kModeRaw, "mode-raw"}};
    for (const auto& m : modes) {
        ui.ClickMode(m.mode);
        ASSERT_EQ(ui.Dialog().Mode(), m.mode);
        ui.MoveTo(400, 500); // no hover on the radios
        Save(&ui.Dialog(), m.name);
    }
}

TEST_F(Screenshots, SourcePageWithAFewDevicesAndWithEnoughToScroll)
{
    TempDir tmp;
    Fixture fat, ext2, raw;
    if (!MakeFatDeleted(tmp / "fat", fat) || !MakeExt2Deleted(tmp / "ext2", ext2) ||
        !MakeRawPhotoMusic(tmp / "raw", raw))
        return;
    {
        MainDriver ui({fat.image, ext2.image});
        ui.ClickNext();
        ASSERT_EQ(ui.Dialog().Page(), kPageSource);
        ASSERT_TRUE(ui.ClickDeviceEntry("volume.img"));
        EXPECT_FALSE(ui.Dialog().DeviceScrollBar()->isVisible());
        ui.MoveTo(400, 560);
        Save(&ui.Dialog(), "source-few");
    }
    {
        // Twelve cards: more than the panel's 240 pixels.
        std::vector<fs::path> images;
        for (int i = 1; i <= 12; ++i) {
            const fs::path copy = tmp / ("card" + std::to_string(i) + ".img");
            fs::copy_file(i % 3 == 0 ? ext2.image : i % 3 == 1 ? fat.image : raw.image, copy);
            images.push_back(copy);
        }
        MainDriver ui(images);
        ui.ClickNext();
        ASSERT_EQ(ui.Dialog().Page(), kPageSource);
        EXPECT_TRUE(ui.Dialog().DeviceScrollBar()->isVisible()) << "twelve disks fit in the panel?";
        ASSERT_TRUE(ui.ClickDeviceEntry("card2.img"));
        ui.MoveTo(400, 560);
        Save(&ui.Dialog(), "source-scroll");
    }
}

// Scans `image` in the mode `setup` chooses and saves the results page with
// the volume ticked and its first folder's files listed.
void ResultsShot(Screenshots& t, const Fixture& fixture, const std::function<void(MainDriver&)>& setup,
                 const std::function<void(QWidget*, const std::string&)>& save, const std::string& name)
{
    MainDriver ui({fixture.image});
    setup(ui);
    ui.ClickNext();
    ASSERT_TRUE(ui.ClickDeviceEntry(fixture.image.filename().string()));
    ui.ClickScan();
    ASSERT_TRUE(ui.WaitForResults()) << ui.recorder.All();
    QtResultTree& tree = ui.Dialog().TreeView();
    // Show the first folder (or category) that lists files, then tick the
    // volume: the rows of the folder on show take the tick too.
    tree.Expand(tree.FirstRoot());
    for (NodeId n = tree.FirstChild(tree.FirstRoot()); n; n = tree.NextSibling(n)) {
        tree.Expand(n);
        tree.Select(n);
        if (ui.Dialog().ListView().RowCount() > 0)
            break;
        if (const NodeId child = tree.FirstChild(n)) {
            tree.Select(child);
            if (ui.Dialog().ListView().RowCount() > 0)
                break;
        }
    }
    ASSERT_TRUE(ui.TickTreeRoot());
    for (size_t row = 0; row < ui.Dialog().ListView().RowCount(); ++row)
        EXPECT_EQ(ui.Dialog().ListView().CheckState(row), kChecked) << name << " row " << row;
    EXPECT_GT(ui.Dialog().ListView().RowCount(), 0u) << name;
    ui.MoveTo(400, 560);
    save(&ui.Dialog(), name);
    (void)t;
}

TEST_F(Screenshots, ResultsPageOfADeletedAFormatAndARawScan)
{
    TempDir tmp;
    Fixture fat, formatted, raw;
    if (!MakeFatDeleted(tmp / "fat", fat) || !MakeFat32Formatted(tmp / "format", formatted) ||
        !MakeRawPhotoMusic(tmp / "raw", raw))
        return;
    auto save = [this](QWidget* w, const std::string& name) { Save(w, name); };
    ResultsShot(*this, fat, [](MainDriver& ui) { ui.ClickMode(kModeDeleted); }, save, "results-deleted");
    ResultsShot(*this, formatted,
                [](MainDriver& ui) {
                    ui.ClickMode(kModeFormat);
                    ui.ClickFileSystem(2);
                },
                save, "results-format");
    ResultsShot(*this, raw, [](MainDriver& ui) { ui.ClickMode(kModeRaw); }, save, "results-raw");
}

TEST_F(Screenshots, ProgressDialogDuringARawScan)
{
    // A large empty card keeps the scan going long enough to be seen.
    TempDir tmp;
    const fs::path image = tmp / "big-card.img";
    {
        std::ofstream f(image, std::ios::binary);
        f.seekp((256ll << 20) - 1);
        f.put('\0');
    }
    MainDriver ui({image});
    ui.ClickMode(kModeRaw);
    ui.ClickNext();
    ASSERT_TRUE(ui.ClickDeviceEntry("big-card.img"));

    // Grabs the progress dialog while its bar is under way (or the last
    // sight of it, if the scan is quick).
    QImage shot;
    int shot_percent = -1;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* progress = dynamic_cast<CProgressDlg*>(QApplication::activeModalWidget());
        if (!progress || !progress->isVisible())
            return;
        const int at = progress->BarPosition();
        if (shot_percent >= 20 && shot_percent <= 90)
            return;
        shot = progress->grab().toImage();
        shot_percent = at;
    });
    poll.start();
    ui.ClickScan();
    ASSERT_TRUE(ui.WaitForResults()) << ui.recorder.All();
    if (shot.isNull()) {
        // The window ran the scan without the dialog: run the dialog itself
        // on the same source.
        CProgressDlg progress(ui.Dialog());
        progress.Run(&ui.Dialog(), kProgressRawScan);
    }
    poll.stop();
    ASSERT_FALSE(shot.isNull()) << "the progress dialog never showed";
    const fs::path file = m_dir / "progress.png";
    ASSERT_TRUE(shot.save(QString::fromStdString(file.string()), "PNG"));
    std::cout << "progress dialog caught at " << shot_percent << "%\n";
}

} // namespace
