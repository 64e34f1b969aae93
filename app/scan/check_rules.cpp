// Check-box rules of the result views.
#include <salvor/scan/check_rules.h>

#include <vector>

namespace salvor {

namespace {

void set_rows(ResultList& list, int state)
{
    for (size_t r = 0; r < list.RowCount(); ++r)
        list.SetCheckState(r, state);
}

// Sets every descendant of `node` to `state`; true when `target` was among them.
bool set_subtree(ResultTree& tree, NodeId node, int state, NodeId target)
{
    bool found = false;
    std::vector<NodeId> pending;
    for (NodeId c = tree.FirstChild(node); c; c = tree.NextSibling(c))
        pending.push_back(c);
    while (!pending.empty()) {
        NodeId n = pending.back();
        pending.pop_back();
        tree.SetCheckState(n, state);
        if (n == target)
            found = true;
        for (NodeId c = tree.FirstChild(n); c; c = tree.NextSibling(c))
            pending.push_back(c);
    }
    return found;
}

bool all_children_checked(const ResultTree& tree, NodeId parent)
{
    for (NodeId c = tree.FirstChild(parent); c; c = tree.NextSibling(c))
        if (tree.CheckState(c) != kChecked)
            return false;
    return true;
}

} // namespace

void TreeCheckClick(ScanSession& session, NodeId node)
{
    ResultTree& tree = session.tree;
    const int state = tree.CheckState(node) == kUnchecked ? kChecked : kUnchecked;
    tree.SetCheckState(node, state);
    if (set_subtree(tree, node, state, session.current_folder) || node == session.current_folder)
        set_rows(session.list, state);

    int walking = state;
    for (NodeId parent = tree.Parent(node); parent; parent = tree.Parent(parent)) {
        if (walking == kUnchecked) {
            tree.SetCheckState(parent, kUnchecked);
        } else if (all_children_checked(tree, parent)) {
            tree.SetCheckState(parent, kChecked);
        }
        walking = tree.CheckState(parent);
    }
}

void ListCheckChanged(ScanSession& session)
{
    if (!session.current_folder)
        return;
    bool all = true;
    for (size_t r = 0; r < session.list.RowCount(); ++r)
        if (session.list.CheckState(r) != kChecked)
            all = false;
    session.tree.SetCheckState(session.current_folder, all ? kChecked : kUnchecked);
}

void SelectAll(ResultList& list)
{
    set_rows(list, kChecked);
}

void SelectInversely(ResultList& list)
{
    for (size_t r = 0; r < list.RowCount(); ++r)
        list.SetCheckState(r, list.CheckState(r) == kChecked ? kUnchecked : kChecked);
}

} // namespace salvor
