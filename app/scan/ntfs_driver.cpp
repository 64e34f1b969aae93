// NTFS drivers: rebuild the folder path of every found file from the parent
// references, and list the files of a folder node.
#include <salvor/scan/drivers.h>
#include <salvor/scan/text.h>

#include <fsprobe/ntfs.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace salvor {

namespace {

constexpr uint32_t kRootRecord = 5;
// The nearest folders of a path that are kept; deeper ancestors are dropped.
constexpr size_t kMaxAncestors = 32;
// Bound on a climb, so a damaged chain of parents ends.
constexpr size_t kMaxClimb = 4096;

bool has_name(const NtfsNameParent& e)
{
    return e.name_length != 0 || e.name[0] || e.name[1] || e.name[2] || e.name[3];
}

// Names longer than the 128 units an engine record keeps are read whole
// from the record itself.
std::string full_name(uint64_t reference, const uint8_t* kept, size_t length)
{
    if (length > 128) {
        char16_t whole[256] = {};
        const uint32_t units = Ntfs_Get_FullName(uint32_t(reference), uint32_t(reference >> 32), whole, 255);
        if (units == length)
            return NameFromUtf16(whole, units);
    }
    return NameFromUtf16Bytes(kept, length == 0 || length > 128 ? 128 : length);
}

std::string entry_name(const NtfsNameParent& e)
{
    return full_name((uint64_t(e.reference_high) << 32) | e.reference_low, e.name, e.name_length);
}

// Lost folders, keyed by the missing parent (and, in format recovery, the
// fragment). Grows as needed: no file is dropped for lack of room.
class LostFolderTable {
public:
    NodeId find(uint64_t key) const
    {
        auto it = m_nodes.find(key);
        return it == m_nodes.end() ? 0 : it->second;
    }
    // Makes "Folder%u" under `lost`, numbered in creation order.
    NodeId add(ResultTree& tree, NodeId lost, uint64_t key, uintptr_t item_data)
    {
        char name[32];
        std::snprintf(name, sizeof name, "Folder%u", unsigned(m_count));
        NodeId node = tree.InsertNode(lost, name, kImageFolder, kImageFolderSelected);
        if (!node)
            return 0;
        tree.SetItemData(node, item_data);
        m_nodes[key] = node;
        ++m_count;
        return node;
    }

private:
    std::unordered_map<uint64_t, NodeId> m_nodes;
    size_t m_count = 0;
};

// Finds or creates the child of `parent` with this text (and item data).
NodeId child_named(ResultTree& tree, NodeId parent, const std::string& text, uintptr_t item_data, bool match_data)
{
    for (NodeId c = tree.FirstChild(parent); c; c = tree.NextSibling(c))
        if (tree.Text(c) == text && (!match_data || tree.ItemData(c) == item_data))
            return c;
    NodeId node = tree.InsertNode(parent, text, kImageFolder, kImageFolderSelected);
    if (node)
        tree.SetItemData(node, item_data);
    return node;
}

// Builds the folders of names[count-1] down to names[0] below `node`.
NodeId build_path(ResultTree& tree, NodeId node, const std::vector<std::string>& names, size_t count,
                  uintptr_t item_data, bool match_data)
{
    for (size_t e = count; e-- > 0 && node;)
        node = child_named(tree, node, names[e], item_data, match_data);
    return node;
}

} // namespace

int NtfsDeletedDriver(ScanSession& session, NodeId root, LoadingState& loading)
{
    ResultTree& tree = session.tree;
    const bool opened = Initi_Ntfs_InFo(session.volume);
    session.scan_state = 1;
    if (!opened) {
        session.failure = "the NTFS boot sector or the $MFT record cannot be read";
        return 0;
    }
    auto* head = Ntfs_Get_Del_File();
    session.ntfs_head = head;
    session.ntfs_placement.clear();
    if (!head)
        return 0;
    loading.LoadingOn();
    NodeId lost = tree.InsertNode(root, "Lost files", kImageFolder, kImageFolderSelected);

    // Records by parent, in list order, so a folder's path is climbed once.
    std::unordered_map<uint32_t, std::vector<NtfsFileInfo*>> by_parent;
    for (NtfsFileInfo* f = head; f; f = f->next)
        if (f->state == 0)
            by_parent[uint32_t(f->parent_reference)].push_back(f);

    auto place = [&](NtfsFileInfo* f, NodeId node) {
        for (NtfsFileInfo* g : by_parent[uint32_t(f->parent_reference)])
            session.ntfs_placement.emplace(g, node);
    };

    LostFolderTable table;
    std::vector<NtfsNameParent> stack(kMaxAncestors);
    std::vector<std::string> names(kMaxAncestors);
    std::unordered_set<uint64_t> visited;
    for (NtfsFileInfo* f = head; f; f = f->next) {
        if (f->state != 0 || session.ntfs_placement.count(f))
            continue;
        std::memset(stack.data(), 0, stack.size() * sizeof(NtfsNameParent));
        visited.clear();
        visited.insert(uint32_t(f->record_number));
        uint64_t ref = f->record_number;
        size_t d = 0;
        for (;;) {
            NtfsNameParent e {};
            Ntfs_Get_NameParentID(uint32_t(ref), uint32_t(ref >> 32), &e);
            const uint32_t parent = e.reference_low;
            if (d < kMaxAncestors) {
                stack[d] = e;
                names[d] = has_name(e) ? entry_name(e) : std::string();
            }
            const size_t kept = d < kMaxAncestors ? d : kMaxAncestors;
            if (parent == kRootRecord) {
                place(f, build_path(tree, root, names, kept, 0, false));
                break;
            }
            const bool loops = !visited.insert(parent).second;
            if (has_name(e) && (e.flags & 2) && !loops && d + 1 < kMaxClimb) {
                ref = (uint64_t(e.reference_high) << 32) | e.reference_low;
                ++d;
                continue;
            }
            // The chain breaks here. A missing parent of 0 gets a lost folder
            // like any other, so the file can still be recovered.
            NodeId folder = table.find(parent);
            if (!folder)
                folder = table.add(tree, lost, parent, 0);
            if (folder && kept == 0)
                session.ntfs_placement.emplace(f, folder);
            else if (folder)
                place(f, build_path(tree, folder, names, kept, 0, false));
            break;
        }
    }

    if (!tree.FirstChild(lost))
        tree.DeleteNode(lost);
    tree.Select(root);
    tree.Expand(tree.FirstRoot());
    loading.LoadingOff();
    return 1;
}

int NtfsFormatDriver(ScanSession& session, NodeId root, LoadingState& loading)
{
    ResultTree& tree = session.tree;
    tree.SetItemData(root, 0);
    session.scan_state = 1;
    auto* head = Search_Ntfs_InFo(session.volume);
    session.ntfs_head = head;
    session.ntfs_placement.clear();
    loading.LoadingOn();
    if (!head) {
        loading.LoadingOff();
        return 0;
    }
    NodeId lost = tree.InsertNode(root, "Lost files", kImageFolder, kImageFolderSelected);

    auto is_open_file = [&](const NtfsFormatInfo* r) {
        return (r->kind & 1) == 0 && NTFS_FORMAT_FRAGMENT(r) < NTFS_FORMAT_UNATTRIBUTED;
    };
    std::map<std::pair<uint32_t, uint8_t>, std::vector<NtfsFormatInfo*>> by_parent;
    for (NtfsFormatInfo* r = head; r; r = r->next)
        if (is_open_file(r))
            by_parent[{uint32_t(r->parent), uint8_t(NTFS_FORMAT_FRAGMENT(r))}].push_back(r);

    LostFolderTable table;
    std::vector<NtfsNameParent> stack(kMaxAncestors);
    std::vector<std::string> names(kMaxAncestors);
    std::unordered_set<const NtfsFormatInfo*> visited;
    for (NtfsFormatInfo* f = head; f; f = f->next) {
        if (!is_open_file(f) || session.ntfs_placement.count(f))
            continue;
        const uint8_t fragment = uint8_t(NTFS_FORMAT_FRAGMENT(f));
        auto place = [&](NodeId node) {
            for (NtfsFormatInfo* g : by_parent[{uint32_t(f->parent), fragment}])
                session.ntfs_placement.emplace(g, node);
        };
        std::memset(stack.data(), 0, stack.size() * sizeof(NtfsNameParent));
        visited.clear();
        visited.insert(f);
        NtfsFormatInfo* current = f;
        size_t d = 0;
        for (;;) {
            NtfsNameParent e {};
            NtfsFormatInfo* parent_record = Nfst_GetFormat_NameParentID(head, current, &e);
            const uint32_t parent = e.reference_low;
            if (d < kMaxAncestors) {
                stack[d] = e;
                // The parent's own record holds its whole name.
                names[d] = parent_record ? NameFromUtf16Bytes(parent_record->name, parent_record->name_length)
                                         : std::string();
            }
            const size_t kept = d < kMaxAncestors ? d : kMaxAncestors;
            if (parent == kRootRecord) {
                place(build_path(tree, root, names, kept, fragment, true));
                break;
            }
            const bool loops = parent_record && !visited.insert(parent_record).second;
            if (has_name(e) && parent_record && (parent_record->kind & 1) && !loops && d + 1 < kMaxClimb) {
                current = parent_record;
                ++d;
                continue;
            }
            // A missing parent of 0 gets the key -1, so 0 never stands for a
            // folder; the fragment is part of the key.
            const uint32_t key = parent == 0 ? 0xFFFFFFFFu : parent;
            const uint64_t full_key = (uint64_t(fragment) << 32) | key;
            NodeId folder = table.find(full_key);
            if (!folder)
                folder = table.add(tree, lost, full_key, fragment);
            if (folder && kept == 0)
                session.ntfs_placement.emplace(f, folder);
            else if (folder)
                place(build_path(tree, folder, names, kept, fragment, true));
            break;
        }
    }

    if (!tree.FirstChild(lost))
        tree.DeleteNode(lost);
    tree.Select(root);
    tree.Expand(tree.FirstRoot());
    loading.LoadingOff();
    return 1;
}

namespace {

// The placed records of the current folder, in list order.
template <class Record>
const std::vector<const void*>& FolderRecords(ScanSession& session)
{
    auto& index = session.ntfs_index;
    if (index.head != session.ntfs_head || index.placed != session.ntfs_placement.size()) {
        index.records.clear();
        for (auto* r = static_cast<const Record*>(session.ntfs_head); r; r = r->next) {
            auto it = session.ntfs_placement.find(r);
            if (it != session.ntfs_placement.end())
                index.records[it->second].push_back(r);
        }
        index.head = session.ntfs_head;
        index.placed = session.ntfs_placement.size();
    }
    static const std::vector<const void*> none;
    auto it = index.records.find(session.current_folder);
    return it == index.records.end() ? none : it->second;
}

} // namespace

void NtfsDeletedListing(ScanSession& session)
{
    session.list.Clear();
    for (const void* placed : FolderRecords<NtfsFileInfo>(session)) {
        auto* f = static_cast<NtfsFileInfo*>(const_cast<void*>(placed));
        if (f->state != 0)
            continue;
        session.list.AppendRow(full_name(f->record_number, f->name, f->name_length), FormatSize(f->size),
                               EngineTimeText(f->created), reinterpret_cast<uintptr_t>(f));
    }
}

void NtfsFormatListing(ScanSession& session)
{
    for (const void* placed : FolderRecords<NtfsFormatInfo>(session)) {
        auto* r = static_cast<NtfsFormatInfo*>(const_cast<void*>(placed));
        session.list.AppendRow(NameFromUtf16Bytes(r->name, r->name_length), FormatSize(r->size),
                               EngineTimeText(r->created), reinterpret_cast<uintptr_t>(r));
    }
}

} // namespace salvor
