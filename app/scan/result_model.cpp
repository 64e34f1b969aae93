// In-memory result tree and list.
#include <salvor/scan/result_model.h>

#include <algorithm>

namespace salvor {

const MemoryResultTree::Node* MemoryResultTree::find(NodeId id) const
{
    if (id == 0 || id > m_nodes.size() || !m_nodes[id - 1].alive)
        return nullptr;
    return &m_nodes[id - 1];
}

MemoryResultTree::Node* MemoryResultTree::find(NodeId id)
{
    return const_cast<Node*>(static_cast<const MemoryResultTree*>(this)->find(id));
}

std::vector<NodeId>& MemoryResultTree::siblings_of(NodeId id)
{
    Node* n = find(id);
    if (n && n->parent)
        return find(n->parent)->children;
    return m_top;
}

const std::vector<NodeId>& MemoryResultTree::siblings_of(NodeId id) const
{
    const Node* n = find(id);
    if (n && n->parent)
        return find(n->parent)->children;
    return m_top;
}

NodeId MemoryResultTree::InsertNode(NodeId parent, const std::string& text, int image, int selected_image)
{
    if (parent && !find(parent))
        return 0;
    Node n;
    n.text = text;
    n.image = image;
    n.selected_image = selected_image;
    n.parent = parent;
    m_nodes.push_back(std::move(n));
    NodeId id = m_nodes.size();
    if (parent)
        find(parent)->children.push_back(id);
    else
        m_top.push_back(id);
    return id;
}

void MemoryResultTree::erase_subtree(NodeId id)
{
    Node* n = find(id);
    if (!n)
        return;
    std::vector<NodeId> children = n->children;
    for (NodeId c : children)
        erase_subtree(c);
    n = find(id);
    n->alive = false;
    n->children.clear();
    if (m_selected == id)
        m_selected = 0;
}

void MemoryResultTree::DeleteNode(NodeId node)
{
    if (!find(node))
        return;
    auto& sib = siblings_of(node);
    sib.erase(std::remove(sib.begin(), sib.end(), node), sib.end());
    erase_subtree(node);
}

void MemoryResultTree::DeleteAll()
{
    m_nodes.clear();
    m_top.clear();
    m_selected = 0;
    m_expanded = 0;
}

std::string MemoryResultTree::Text(NodeId node) const
{
    const Node* n = find(node);
    return n ? n->text : std::string();
}

int MemoryResultTree::Image(NodeId node) const
{
    const Node* n = find(node);
    return n ? n->image : -1;
}

int MemoryResultTree::CheckState(NodeId node) const
{
    const Node* n = find(node);
    return n ? n->check : kUnchecked;
}

void MemoryResultTree::SetCheckState(NodeId node, int state)
{
    if (Node* n = find(node))
        n->check = state;
}

uintptr_t MemoryResultTree::ItemData(NodeId node) const
{
    const Node* n = find(node);
    return n ? n->data : 0;
}

void MemoryResultTree::SetItemData(NodeId node, uintptr_t data)
{
    if (Node* n = find(node))
        n->data = data;
}

NodeId MemoryResultTree::Parent(NodeId node) const
{
    const Node* n = find(node);
    return n ? n->parent : 0;
}

NodeId MemoryResultTree::FirstChild(NodeId node) const
{
    const Node* n = find(node);
    return n && !n->children.empty() ? n->children.front() : 0;
}

NodeId MemoryResultTree::NextSibling(NodeId node) const
{
    if (!find(node))
        return 0;
    const auto& sib = siblings_of(node);
    auto it = std::find(sib.begin(), sib.end(), node);
    return it != sib.end() && it + 1 != sib.end() ? *(it + 1) : 0;
}

NodeId MemoryResultTree::PreviousSibling(NodeId node) const
{
    if (!find(node))
        return 0;
    const auto& sib = siblings_of(node);
    auto it = std::find(sib.begin(), sib.end(), node);
    return it != sib.end() && it != sib.begin() ? *(it - 1) : 0;
}

NodeId MemoryResultTree::FirstRoot() const
{
    return m_top.empty() ? 0 : m_top.front();
}

std::vector<NodeId> MemoryResultTree::Children(NodeId node) const
{
    if (node == 0)
        return m_top;
    const Node* n = find(node);
    return n ? n->children : std::vector<NodeId>{};
}

size_t MemoryResultTree::NodeCount() const
{
    return size_t(std::count_if(m_nodes.begin(), m_nodes.end(), [](const Node& n) { return n.alive; }));
}

size_t MemoryResultList::AppendRow(const std::string& name, const std::string& size, const std::string& time,
                                   uintptr_t data)
{
    Row r;
    r.text[0] = name;
    r.text[1] = size;
    r.text[2] = time;
    r.data = data;
    m_rows.push_back(std::move(r));
    return m_rows.size() - 1;
}

void MemoryResultList::DeleteRow(size_t row)
{
    if (row < m_rows.size())
        m_rows.erase(m_rows.begin() + ptrdiff_t(row));
}

std::string MemoryResultList::Text(size_t row, int column) const
{
    if (row >= m_rows.size() || column < 0 || column > 2)
        return {};
    return m_rows[row].text[column];
}

int MemoryResultList::CheckState(size_t row) const
{
    return row < m_rows.size() ? m_rows[row].check : kUnchecked;
}

void MemoryResultList::SetCheckState(size_t row, int state)
{
    if (row < m_rows.size())
        m_rows[row].check = state;
}

uintptr_t MemoryResultList::ItemData(size_t row) const
{
    return row < m_rows.size() ? m_rows[row].data : 0;
}

} // namespace salvor
