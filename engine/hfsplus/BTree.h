// HFS+ B-tree nodes: header record and node parsing over byte buffers, and a
// walk of the live tree that reads every node at most once.
#pragma once

#include "Volume.h"

#include <functional>
#include <optional>
#include <vector>

namespace fsprobe::hfsplus {

struct BTreeHeader {
    u16 tree_depth = 0;
    u32 root_node = 0;
    u32 first_leaf_node = 0;
    u16 node_size = 0;
    u16 max_key_length = 0;
    u32 total_nodes = 0; // already clipped to the nodes the fork holds
    u32 attributes = 0;
};

// One record of a node: [offset, offset + length) inside the node.
struct NodeRecord {
    u32 offset;
    u32 length;
};

// A node whose descriptor and record offset table were checked.
struct ParsedNode {
    u32 forward_link = 0;
    u32 backward_link = 0;
    i8 kind = 0;
    u8 height = 0;
    std::vector<NodeRecord> records;
    u32 free_start = 0; // first byte of free space (after the last record)
    u32 free_end = 0;   // first byte of the record offset table
};

// Parses the header record of node 0. `fork_bytes` bounds the node count.
// nullopt when the node size is not a power of two from 512 to 32768 or the
// root lies outside the tree.
std::optional<BTreeHeader> parse_btree_header(ByteView node0, u64 fork_bytes);

// Checks a node's descriptor and offset table: offsets at least 14, strictly
// rising, and ending before the offset table itself. nullopt when damaged.
std::optional<ParsedNode> parse_node(ByteView node);

// For an index record: the child node number after the key; nullopt when the
// key runs past the record.
std::optional<u32> index_child(ByteView node, const NodeRecord& record, const BTreeHeader& header);

// Reads node `number` of a tree through its fork.
bool read_node(const VolumeAccess& volume, const ForkMap& fork, const BTreeHeader& header, u32 number, u8* buffer);

// Walks the live tree: from the root down through index nodes, then along the
// leaf chain from the first leaf. Each node is read at most once; damaged
// nodes, out-of-range links and loops are skipped. `on_leaf` gets each live
// leaf. `visited` (one flag per node) tells afterwards which nodes were
// reached. Returns false when `cancel` asked to stop.
struct BTreeWalk {
    std::vector<bool> visited; // one bit per node: a damaged header may claim millions
    u64 nodes_read = 0;
};
bool walk_live_tree(const VolumeAccess& volume, const ForkMap& fork, const BTreeHeader& header, BTreeWalk& walk,
                    const std::function<void(ByteView, const ParsedNode&)>& on_leaf,
                    const std::function<bool()>& cancel = {});

} // namespace fsprobe::hfsplus
