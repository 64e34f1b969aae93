// Whole flows of the desktop program on fixture images, as a user clicks
// them: mode, Next, the volume, Scan, the progress dialog ends, tick the
// volume, Recover into a folder, "recovery finished!". Each compares what
// was written with the fixture's SHA-256 and checks that the image is
// unchanged.
#include "flow_env.h"
#include "flow_fixtures.h"
#include "main_driver.h"

#include <gtest/gtest.h>

namespace {

using namespace salvor;
using namespace salvor_flow;
using salvor_test::TempDir;
using salvor_test::sha256_file;

[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new FlowEnvironment);

// Mode page -> source page -> results page -> recovered, for one image.
// `before_next` sets the mode page up (mode, file system, file types).
void RunFlow(const Fixture& fixture, const std::function<void(MainDriver&)>& before_next)
{
    const std::string before = sha256_file(fixture.image);
    TempDir out;
    {
        MainDriver ui({fixture.image});
        CMainDlg& dlg = ui.Dialog();
        ASSERT_EQ(dlg.Page(), kPageMode);
        before_next(ui);
        ui.ClickNext();
        ASSERT_EQ(dlg.Page(), kPageSource) << ui.recorder.All();

        // The image is the only disk; its volume is chosen by clicking it.
        const std::string name = fixture.image.filename().string();
        ASSERT_TRUE(ui.ClickDeviceEntry(name)) << "no device entry for " << name;
        size_t selected = 0;
        for (const DeviceEntry& e : dlg.Panel().entries)
            selected += e.disk != -1 && e.selected;
        EXPECT_EQ(selected, 1u);
        EXPECT_FALSE(dlg.InfoValues()[2].isEmpty()) << "capacity not shown";

        ui.ClickScan();
        ASSERT_TRUE(ui.WaitForResults()) << "no results; boxes: " << ui.recorder.All();
        EXPECT_TRUE(ui.recorder.boxes.empty()) << ui.recorder.All();

        // Recover with nothing ticked is refused.
        ui.folder = out.path().string();
        ui.ClickRecover();
        EXPECT_TRUE(ui.recorder.Saw("Please select the files you want to recover!")) << ui.recorder.All();
        ui.recorder.boxes.clear();

        ASSERT_TRUE(ui.TickTreeRoot());
        ui.ClickRecover();
        ASSERT_TRUE(ui.WaitFor([&] { return ui.recorder.Saw("recovery finished!"); }))
            << "boxes: " << ui.recorder.All();
        EXPECT_EQ(dlg.TargetFolder(), out.path().string() + "/ReVuvi Deverode");
    }
    ExpectRecovered(FilesBelow(out / "ReVuvi Deverode"), fixture);
    EXPECT_EQ(sha256_file(fixture.image), before) << "the source image was changed";
}

TEST(MainFlow, DeletedRecoveryOfFat32)
{
    TempDir tmp;
    Fixture fixture;
    if (!MakeFatDeleted(tmp.path(), fixture))
        return;
    RunFlow(fixture, [](MainDriver& ui) {
        ui.ClickMode(kModeDeleted);
        EXPECT_EQ(ui.Dialog().Mode(), kModeDeleted);
    });
}

TEST(MainFlow, DeletedRecoveryOfExt2)
{
    TempDir tmp;
    Fixture fixture;
    if (!MakeExt2Deleted(tmp.path(), fixture))
        return;
    RunFlow(fixture, [](MainDriver& ui) { ui.ClickMode(kModeDeleted); });
}

TEST(MainFlow, FormatRecoveryOfReformattedFat32)
{
    TempDir tmp;
    Fixture fixture;
    if (!MakeFat32Formatted(tmp.path(), fixture))
        return;
    RunFlow(fixture, [](MainDriver& ui) {
        ui.ClickMode(kModeFormat);
        ASSERT_EQ(ui.Dialog().Mode(), kModeFormat);
        ui.ClickFileSystem(2); // FAT32
        EXPECT_TRUE(ui.Dialog().FsRadio(2).Checked());
        EXPECT_FALSE(ui.Dialog().FsRadio(3).Checked());
    });
}

TEST(MainFlow, RawRecoveryOfPhotoAndMusic)
{
    TempDir tmp;
    Fixture fixture;
    if (!MakeRawPhotoMusic(tmp.path(), fixture))
        return;
    RunFlow(fixture, [](MainDriver& ui) {
        ui.ClickMode(kModeRaw);
        ASSERT_EQ(ui.Dialog().Mode(), kModeRaw);
        // All four are ticked at start: untick Video and Others.
        ui.ClickFileType(2);
        ui.ClickFileType(3);
        EXPECT_TRUE(ui.Dialog().TypeCheck(0).Ticked());
        EXPECT_TRUE(ui.Dialog().TypeCheck(1).Ticked());
        EXPECT_FALSE(ui.Dialog().TypeCheck(2).Ticked());
        EXPECT_FALSE(ui.Dialog().TypeCheck(3).Ticked());
    });
}

} // namespace
