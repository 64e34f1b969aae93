// The result tree and the result list of the main window on Qt item views.
//
// Both keep their own check states (state images 1 unchecked, 2 checked) and
// draw them as check boxes; a click on a box is reported to the owner, never
// toggled by Qt, so the check rules decide what changes. Every method may be
// called from a worker thread: the call then runs on the widget's thread
// while the worker waits for it.
#pragma once

#include <salvor/scan/result_model.h>
#include <salvor/scan/session.h>

#include <QIcon>

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

namespace salvor {

class ResultItemView;

// Runs `f` on the thread of `on`: directly when that is the calling thread,
// otherwise as a blocking queued call.
void RunOnWidgetThread(QWidget* on, const std::function<void()>& f);

class QtResultTree final : public ResultTree {
public:
    explicit QtResultTree(QWidget* parent);
    ~QtResultTree() override;
    QtResultTree(const QtResultTree&) = delete;
    QtResultTree& operator=(const QtResultTree&) = delete;

    NodeId InsertNode(NodeId parent, const std::string& text, int image, int selected_image) override;
    void DeleteNode(NodeId node) override;
    void DeleteAll() override;
    std::string Text(NodeId node) const override;
    int Image(NodeId node) const override;
    int CheckState(NodeId node) const override;
    void SetCheckState(NodeId node, int state) override;
    uintptr_t ItemData(NodeId node) const override;
    void SetItemData(NodeId node, uintptr_t data) override;
    NodeId Parent(NodeId node) const override;
    NodeId FirstChild(NodeId node) const override;
    NodeId NextSibling(NodeId node) const override;
    NodeId PreviousSibling(NodeId node) const override;
    NodeId FirstRoot() const override;
    void Select(NodeId node) override;
    NodeId Selected() const override;
    void Expand(NodeId node) override;

    QTreeWidget* Widget() const;
    // Check boxes on every node (off for the partition search's tree).
    void SetCheckBoxes(bool on);
    bool CheckBoxes() const { return m_check_boxes; }
    // The node of a widget item and back (0 / null when unknown).
    NodeId NodeOfItem(const QTreeWidgetItem* item) const;
    QTreeWidgetItem* ItemOfNode(NodeId node) const;
    // Where the check box of a node is drawn, in viewport coordinates (empty
    // when the node is not on show or has no box).
    QRect CheckBoxRect(NodeId node) const;
    size_t NodeCount() const;

    // Called on the widget's thread: a click on a node's check box, and a
    // change of the selected node (0 when none).
    std::function<void(NodeId)> on_check_click;
    std::function<void(NodeId)> on_selection_changed;

private:
    QTreeWidgetItem* item(NodeId node) const;
    void forget_subtree(QTreeWidgetItem* item);
    void apply_check(QTreeWidgetItem* item) const;

    ResultItemView* m_view;
    std::vector<QIcon> m_node_icons; // images of bitmap resource 201
    std::unordered_map<NodeId, QTreeWidgetItem*> m_items;
    NodeId m_next_id = 1;
    bool m_check_boxes = true;
};

class QtResultList final : public ResultList {
public:
    explicit QtResultList(QWidget* parent);
    ~QtResultList() override;
    QtResultList(const QtResultList&) = delete;
    QtResultList& operator=(const QtResultList&) = delete;

    size_t AppendRow(const std::string& name, const std::string& size, const std::string& time,
                     uintptr_t data) override;
    void DeleteRow(size_t row) override;
    void Clear() override;
    size_t RowCount() const override;
    std::string Text(size_t row, int column) const override;
    int CheckState(size_t row) const override;
    void SetCheckState(size_t row, int state) override;
    uintptr_t ItemData(size_t row) const override;

    QTreeWidget* Widget() const;
    void SetCheckBoxes(bool on);
    bool CheckBoxes() const { return m_check_boxes; }
    void SetGridLines(bool on);
    // Replaces the columns (header text and width); every column centred.
    void SetColumns(const std::vector<std::pair<std::string, int>>& header_and_width);
    // The designed columns "File Name" 200, "Size" 150, "Time" 200.
    void SetStandardColumns();
    // Appends a row of any number of cells; the first gets the icon of its name.
    size_t AppendTexts(const std::vector<std::string>& cells, uintptr_t data);
    // The selected row, -1 when none.
    long SelectedRow() const;
    void SelectRow(long row);
    QRect CheckBoxRect(size_t row) const;
    // The theme icon of a file name (by its extension).
    static QIcon IconForName(const std::string& name);

    // Called on the widget's thread: a row's check box was toggled by the
    // user, and a row was clicked.
    std::function<void(size_t)> on_check_changed;
    std::function<void(size_t)> on_row_clicked;

private:
    QTreeWidgetItem* row_item(size_t row) const;
    void apply_check(QTreeWidgetItem* item) const;

    ResultItemView* m_view;
    bool m_check_boxes = true;
};

// Wires the views to the check rules of the session: a tree check click runs
// TreeCheckClick, a row's check change ListCheckChanged. Both are off while
// the views have no check boxes.
void ApplyCheckRules(ScanSession& session, QtResultTree& tree, QtResultList& list);

} // namespace salvor
