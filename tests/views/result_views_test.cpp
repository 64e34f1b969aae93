// The result tree and list on Qt item views: structure, check boxes driven
// by real clicks, the check rules, and calls from a worker thread.
#include <views/result_views.h>

#include <salvor/scan/check_rules.h>

#include "qt_env.h"

#include <QEventLoop>
#include <QHeaderView>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <thread>

using namespace salvor;

namespace {

::testing::Environment* const qt_env = ::testing::AddGlobalTestEnvironment(new salvor_test::QtEnvironment);

class ViewsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host.resize(800, 500);
        tree.Widget()->setGeometry(13, 118, 171, 330);
        list.Widget()->setGeometry(183, 275, 611, 155);
        host.show();
        ApplyCheckRules(session, tree, list);
    }

    void click_box(QTreeWidget* w, const QRect& box)
    {
        ASSERT_FALSE(box.isEmpty());
        QTest::mouseClick(w->viewport(), Qt::LeftButton, Qt::NoModifier, box.center());
    }

    QWidget host;
    QtResultTree tree{&host};
    QtResultList list{&host};
    ScanSession session{tree, list};
};

TEST_F(ViewsTest, TreeKeepsStructureAndForgetsDeletedNodes)
{
    const NodeId root = tree.InsertNode(0, "C:(NTFS )", kImageRoot, kImageRootSelected);
    const NodeId a = tree.InsertNode(root, "docs", kImageFolder, kImageFolderSelected);
    const NodeId b = tree.InsertNode(root, "photos", kImageFolder, kImageFolderSelected);
    const NodeId a1 = tree.InsertNode(a, "old", kImageFolder, kImageFolderSelected);
    ASSERT_NE(root, 0u);
    EXPECT_EQ(tree.FirstRoot(), root);
    EXPECT_EQ(tree.FirstChild(root), a);
    EXPECT_EQ(tree.NextSibling(a), b);
    EXPECT_EQ(tree.PreviousSibling(b), a);
    EXPECT_EQ(tree.NextSibling(b), 0u);
    EXPECT_EQ(tree.Parent(a1), a);
    EXPECT_EQ(tree.Parent(root), 0u);
    EXPECT_EQ(tree.Text(b), "photos");
    EXPECT_EQ(tree.Image(root), kImageRoot);
    EXPECT_EQ(tree.CheckState(a), kUnchecked);
    tree.SetItemData(a, 77);
    EXPECT_EQ(tree.ItemData(a), 77u);
    // A node under a parent that does not exist is refused.
    EXPECT_EQ(tree.InsertNode(9999, "x", 0, 1), 0u);

    tree.DeleteNode(a);
    EXPECT_EQ(tree.FirstChild(root), b);
    // Ids of the deleted subtree are stale, never another node.
    EXPECT_EQ(tree.Text(a1), "");
    EXPECT_EQ(tree.CheckState(a1), 0);
    EXPECT_EQ(tree.Parent(a1), 0u);
    tree.SetCheckState(a1, kChecked); // harmless
    EXPECT_EQ(tree.NodeCount(), 2u);

    tree.DeleteAll();
    EXPECT_EQ(tree.FirstRoot(), 0u);
    const NodeId again = tree.InsertNode(0, "D:(FAT32)", kImageRoot, kImageRootSelected);
    EXPECT_NE(again, root);
    EXPECT_EQ(tree.Text(root), "");
}

TEST_F(ViewsTest, TreeCheckClickPropagatesThroughSubtreeAncestorsAndRows)
{
    const NodeId root = tree.InsertNode(0, "C:(NTFS )", kImageRoot, kImageRootSelected);
    const NodeId a = tree.InsertNode(root, "a", 0, 1);
    const NodeId b = tree.InsertNode(root, "b", 0, 1);
    const NodeId b1 = tree.InsertNode(b, "b1", 0, 1);
    tree.Expand(root);
    tree.Expand(b);
    session.current_folder = b1;
    list.AppendRow("x.jpg", "1.00KB", "01-01 00:00:00", 1);
    list.AppendRow("y.txt", "10B", "01-01 00:00:00", 2);

    // Clicking b ticks its subtree and the rows of the folder on show.
    click_box(tree.Widget(), tree.CheckBoxRect(b));
    EXPECT_EQ(tree.CheckState(b), kChecked);
    EXPECT_EQ(tree.CheckState(b1), kChecked);
    EXPECT_EQ(list.CheckState(0), kChecked);
    EXPECT_EQ(list.CheckState(1), kChecked);
    EXPECT_EQ(tree.CheckState(root), kUnchecked); // a is still unticked
    EXPECT_EQ(tree.Widget()->topLevelItem(0)->child(1)->checkState(0), Qt::Checked);

    // Ticking the last child completes the root.
    click_box(tree.Widget(), tree.CheckBoxRect(a));
    EXPECT_EQ(tree.CheckState(root), kChecked);

    // Unticking a row unticks the folder on show; the ancestors stay as they were.
    click_box(list.Widget(), list.CheckBoxRect(1));
    EXPECT_EQ(list.CheckState(1), kUnchecked);
    EXPECT_EQ(tree.CheckState(b1), kUnchecked);
    click_box(list.Widget(), list.CheckBoxRect(1));
    EXPECT_EQ(tree.CheckState(b1), kChecked);

    // Unticking the root clears everything below it.
    click_box(tree.Widget(), tree.CheckBoxRect(root));
    EXPECT_EQ(tree.CheckState(root), kUnchecked);
    EXPECT_EQ(tree.CheckState(a), kUnchecked);
    EXPECT_EQ(tree.CheckState(b1), kUnchecked);
    EXPECT_EQ(list.CheckState(0), kUnchecked);

    // A click beside the box selects the node and does not tick it.
    const QRect box = tree.CheckBoxRect(a);
    QTest::mouseClick(tree.Widget()->viewport(), Qt::LeftButton, Qt::NoModifier,
                      QPoint(box.right() + 40, box.center().y()));
    EXPECT_EQ(tree.CheckState(a), kUnchecked);
    EXPECT_EQ(tree.Selected(), a);
}

TEST_F(ViewsTest, WithoutCheckBoxesClicksTickNothing)
{
    const NodeId root = tree.InsertNode(0, "Disk", kImageRoot, kImageRootSelected);
    list.AppendRow("x.jpg", "1B", "", 1);
    const QRect tree_box = tree.CheckBoxRect(root);
    const QRect list_box = list.CheckBoxRect(0);
    tree.SetCheckBoxes(false);
    list.SetCheckBoxes(false);
    EXPECT_TRUE(tree.CheckBoxRect(root).isEmpty());
    EXPECT_FALSE(tree.Widget()->topLevelItem(0)->data(0, Qt::CheckStateRole).isValid());
    QTest::mouseClick(tree.Widget()->viewport(), Qt::LeftButton, Qt::NoModifier, tree_box.center());
    QTest::mouseClick(list.Widget()->viewport(), Qt::LeftButton, Qt::NoModifier, list_box.center());
    EXPECT_EQ(tree.CheckState(root), kUnchecked);
    EXPECT_EQ(list.CheckState(0), kUnchecked);
    // The click selected the row instead.
    EXPECT_EQ(list.SelectedRow(), 0);
    tree.SetCheckBoxes(true);
    EXPECT_EQ(tree.Widget()->topLevelItem(0)->checkState(0), Qt::Unchecked);
}

TEST_F(ViewsTest, ListColumnsRowsAndSelection)
{
    QTreeWidget* w = list.Widget();
    ASSERT_EQ(w->columnCount(), 3);
    EXPECT_EQ(w->headerItem()->text(0), "File Name");
    EXPECT_EQ(w->headerItem()->text(2), "Time");
    EXPECT_EQ(w->columnWidth(0), 200);
    EXPECT_EQ(w->columnWidth(1), 150);
    EXPECT_EQ(w->columnWidth(2), 200);
    EXPECT_EQ(list.SelectedRow(), -1);

    EXPECT_EQ(list.AppendRow("photo.jpg", "2.00MB", "03-04 05:06:07", 11), 0u);
    EXPECT_EQ(list.AppendRow("song.mp3", "3B", "03-04 05:06:07", 12), 1u);
    EXPECT_EQ(list.Text(0, 1), "2.00MB");
    EXPECT_EQ(list.Text(1, 0), "song.mp3");
    EXPECT_EQ(list.Text(5, 0), "");
    EXPECT_EQ(list.ItemData(1), 12u);
    EXPECT_EQ(list.CheckState(0), kUnchecked);
    EXPECT_EQ(w->topLevelItem(0)->textAlignment(1), int(Qt::AlignCenter));

    SelectAll(list);
    EXPECT_EQ(list.CheckState(0), kChecked);
    list.SetCheckState(1, kUnchecked);
    SelectInversely(list);
    EXPECT_EQ(list.CheckState(0), kUnchecked);
    EXPECT_EQ(list.CheckState(1), kChecked);

    size_t clicked = 99;
    list.on_row_clicked = [&](size_t r) { clicked = r; };
    const QRect row = w->visualItemRect(w->topLevelItem(1));
    QTest::mouseClick(w->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(row.left() + 300, row.center().y()));
    EXPECT_EQ(clicked, 1u);
    EXPECT_EQ(list.SelectedRow(), 1);

    list.DeleteRow(0);
    EXPECT_EQ(list.RowCount(), 1u);
    EXPECT_EQ(list.ItemData(0), 12u);

    list.SetColumns({{"Device", 150}, {"Type", 100}, {"Description", 250}});
    EXPECT_EQ(list.RowCount(), 0u);
    EXPECT_EQ(w->columnCount(), 3);
    EXPECT_EQ(w->headerItem()->text(2), "Description");
    EXPECT_EQ(w->columnWidth(2), 250);
    EXPECT_EQ(list.AppendTexts({"disk.img", "", ""}, 5), 0u);
    EXPECT_EQ(list.Text(0, 0), "disk.img");
}

TEST_F(ViewsTest, FileIconsComeFromTheThemeByName)
{
    const QIcon jpg = QtResultList::IconForName("IMG_0001.JPG");
    const QIcon txt = QtResultList::IconForName("notes.txt");
    EXPECT_FALSE(jpg.isNull());
    EXPECT_FALSE(txt.isNull());
    EXPECT_NE(jpg.name(), txt.name());
    list.AppendRow("IMG_0001.JPG", "1B", "", 1);
    EXPECT_FALSE(list.Widget()->topLevelItem(0)->icon(0).isNull());
}

TEST_F(ViewsTest, SelectionChangeIsReported)
{
    std::vector<NodeId> seen;
    tree.on_selection_changed = [&](NodeId n) { seen.push_back(n); };
    const NodeId root = tree.InsertNode(0, "C:", kImageRoot, kImageRootSelected);
    const NodeId a = tree.InsertNode(root, "a", 0, 1);
    tree.Select(a);
    EXPECT_EQ(tree.Selected(), a);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), a);
}

// A worker builds the tree and list while the user-interface thread runs its
// event loop; each call runs on the widget's thread and the worker sees its result.
TEST_F(ViewsTest, WorkerCallsRunOnTheWidgetThread)
{
    std::vector<NodeId> selection_threads_ok;
    tree.on_selection_changed = [&](NodeId n) {
        selection_threads_ok.push_back(QThread::currentThread() == tree.Widget()->thread() ? n : 0);
    };
    QEventLoop loop;
    NodeId root = 0, last = 0;
    size_t rows = 0;
    std::string text;
    int state = 0;
    std::thread worker([&] {
        root = tree.InsertNode(0, "C:(FAT32)", kImageRoot, kImageRootSelected);
        for (int i = 0; i < 50; ++i)
            last = tree.InsertNode(root, "Folder" + std::to_string(i), 0, 1);
        for (int i = 0; i < 20; ++i)
            rows = list.AppendRow("f" + std::to_string(i), "1B", "", uintptr_t(i + 1)) + 1;
        tree.SetCheckState(last, kChecked);
        state = tree.CheckState(last);
        text = tree.Text(last);
        tree.Select(last);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    worker.join();
    EXPECT_EQ(tree.NodeCount(), 51u);
    EXPECT_EQ(rows, 20u);
    EXPECT_EQ(list.RowCount(), 20u);
    EXPECT_EQ(state, kChecked);
    EXPECT_EQ(text, "Folder49");
    ASSERT_FALSE(selection_threads_ok.empty());
    EXPECT_EQ(selection_threads_ok.back(), last);
}

} // namespace
