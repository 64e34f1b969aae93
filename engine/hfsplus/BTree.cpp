#include "BTree.h"

#include <unordered_map>

namespace fsprobe::hfsplus {

std::optional<BTreeHeader> parse_btree_header(ByteView node0, u64 fork_bytes)
{
    auto kind = node0.u8_at(8);
    if (!kind || i8(*kind) != kHeaderNode)
        return std::nullopt;
    // The header record always follows the descriptor directly.
    ByteView rec = node0.slice(kNodeDescriptorSize, kHeaderRecordSize);
    if (!rec.size())
        return std::nullopt;
    BTreeHeader h;
    h.tree_depth = rec.be16_or(kHdrTreeDepth);
    h.root_node = rec.be32_or(kHdrRootNode);
    h.first_leaf_node = rec.be32_or(kHdrFirstLeafNode);
    h.node_size = rec.be16_or(kHdrNodeSize);
    h.max_key_length = rec.be16_or(kHdrMaxKeyLength);
    h.total_nodes = rec.be32_or(kHdrTotalNodes);
    h.attributes = rec.be32_or(kHdrAttributes);
    if (!is_power_of_two(h.node_size) || h.node_size < 512 || h.node_size > 32768)
        return std::nullopt;
    u64 fork_nodes = fork_bytes / h.node_size;
    if (h.total_nodes > fork_nodes)
        h.total_nodes = u32(fork_nodes);
    if (h.total_nodes == 0)
        return std::nullopt;
    if (h.root_node >= h.total_nodes)
        h.root_node = 0; // an empty tree, or a root outside it: no live nodes
    if (h.first_leaf_node >= h.total_nodes)
        h.first_leaf_node = 0;
    return h;
}

std::optional<ParsedNode> parse_node(ByteView node)
{
    u64 size = node.size();
    if (size < 512)
        return std::nullopt;
    ParsedNode p;
    p.forward_link = node.be32_or(0);
    p.backward_link = node.be32_or(4);
    p.kind = i8(node.u8_or(8));
    p.height = node.u8_or(9);
    u32 count = node.be16_or(10);
    if (p.kind < kLeafNode || p.kind > kMapNode)
        return std::nullopt;
    // count + 1 offsets (the last one marks the free space) at the node's end.
    u64 table_bytes = 2 * (u64(count) + 1);
    if (kNodeDescriptorSize + table_bytes > size)
        return std::nullopt;
    u32 table_start = u32(size - table_bytes);
    u32 previous = 0;
    p.records.reserve(count);
    for (u32 i = 0; i <= count; ++i) {
        u32 off = node.be16_or(size - 2 * (u64(i) + 1));
        bool first = i == 0;
        if (off < kNodeDescriptorSize || off > table_start || (!first && off <= previous) || (off & 1))
            return std::nullopt;
        if (!first)
            p.records.push_back({ previous, off - previous });
        previous = off;
    }
    p.free_start = previous;
    p.free_end = table_start;
    return p;
}

std::optional<u32> index_child(ByteView node, const NodeRecord& record, const BTreeHeader& header)
{
    ByteView rec = node.slice(record.offset, record.length);
    auto key_length = rec.be16(0);
    if (!key_length)
        return std::nullopt;
    u64 key_bytes = (header.attributes & kBTVariableIndexKeysMask) ? *key_length : header.max_key_length;
    key_bytes = (2 + key_bytes + 1) & ~u64(1);
    return rec.be32(key_bytes);
}

bool read_node(const VolumeAccess& volume, const ForkMap& fork, const BTreeHeader& header, u32 number, u8* buffer)
{
    if (number >= header.total_nodes)
        return false;
    return fork.read(volume, buffer, header.node_size, u64(number) * header.node_size);
}

bool walk_live_tree(const VolumeAccess& volume, const ForkMap& fork, const BTreeHeader& header, BTreeWalk& walk,
                    const std::function<void(ByteView, const ParsedNode&)>& on_leaf,
                    const std::function<bool()>& cancel)
{
    walk.visited.assign(header.total_nodes, false);
    walk.visited[0] = true; // the header node
    std::vector<u8> buffer(header.node_size);
    ByteView view(buffer.data(), buffer.size());
    // Leaf chain links seen while descending, so the chain can be followed
    // past nodes already read.
    std::unordered_map<u32, u32> forward;

    auto visit = [&](u32 number, std::vector<u32>* children) -> std::optional<ParsedNode> {
        walk.visited[number] = true;
        ++walk.nodes_read;
        if (!read_node(volume, fork, header, number, buffer.data()))
            return std::nullopt;
        auto node = parse_node(view);
        if (!node)
            return std::nullopt;
        if (node->kind == kIndexNode && children) {
            for (const auto& r : node->records) {
                auto child = index_child(view, r, header);
                if (child && *child != 0 && *child < header.total_nodes && !walk.visited[*child])
                    children->push_back(*child);
            }
        } else if (node->kind == kLeafNode) {
            if (node->forward_link < header.total_nodes)
                forward[number] = node->forward_link;
            on_leaf(view, *node);
        }
        return node;
    };

    // Descent from the root; a node is never read twice.
    std::vector<u32> stack;
    if (header.root_node != 0)
        stack.push_back(header.root_node);
    while (!stack.empty()) {
        if (cancel && cancel())
            return false;
        u32 n = stack.back();
        stack.pop_back();
        if (walk.visited[n])
            continue;
        std::vector<u32> children;
        visit(n, &children);
        // Keep the leaves in key order: push the children in reverse.
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            stack.push_back(*it);
    }

    // The leaf chain: nodes reached only through sibling links are live too.
    u32 n = header.first_leaf_node;
    for (u64 steps = 0; n != 0 && n < header.total_nodes && steps < header.total_nodes; ++steps) {
        if (cancel && cancel())
            return false;
        if (!walk.visited[n]) {
            auto node = visit(n, nullptr);
            if (!node || node->kind != kLeafNode)
                break;
        }
        auto link = forward.find(n);
        n = link == forward.end() ? 0 : link->second;
    }
    return true;
}

} // namespace fsprobe::hfsplus
