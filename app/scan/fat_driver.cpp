// FAT drivers (deleted and format) and the FAT listing.
#include <salvor/scan/drivers.h>
#include <salvor/scan/text.h>

#include <fsprobe/fat.h>

#include <cstring>
#include <string>
#include <vector>

namespace salvor {

namespace {

// Longest name a FAT entry carries (a long name of 255 units plus the end).
constexpr size_t kMaxNameUnits = 260;

// A directory node of either search: its entries and its successor in
// creation order.
struct DirView {
    FatEntry** (*entries)(void*);
    void* (*next)(void*);
};

FatEntry** deleted_entries(void* n) { return static_cast<FatDirNode*>(n)->entries; }
void* deleted_next(void* n) { return static_cast<FatDirNode*>(n)->next; }
FatEntry** lost_entries(void* n) { return static_cast<FatLostDir*>(n)->entries; }
void* lost_next(void* n) { return static_cast<FatLostDir*>(n)->next; }

// Walks the entries of `top` depth first, matching each directory entry with
// the next node of the creation-order chain, and makes a folder node for it.
// Returns false when a node could not be created. `cursor` is advanced along
// the chain.
bool hierarchy_walk(ResultTree& tree, void* top, NodeId top_folder, const DirView& view)
{
    struct Frame {
        void* dir;
        NodeId folder;
        size_t index;
    };
    std::vector<Frame> stack;
    void* cursor = top;
    Frame cur{top, top_folder, 0};
    tree.SetItemData(top_folder, reinterpret_cast<uintptr_t>(top));
    for (size_t steps = 0; steps < kMaxChain; ++steps) {
        FatEntry** entries = view.entries(cur.dir);
        FatEntry* e = entries ? entries[cur.index] : nullptr;
        if (!e) {
            if (stack.empty())
                return true;
            cur = stack.back();
            stack.pop_back();
            ++cur.index;
            continue;
        }
        if (!e->is_directory) {
            ++cur.index;
            continue;
        }
        void* child = view.next(cursor);
        if (!child)
            return true; // the chain holds no node for this directory
        NodeId node = tree.InsertNode(cur.folder, FatEntryName(e), kImageFolder, kImageFolderSelected);
        if (!node)
            return false;
        tree.SetItemData(node, reinterpret_cast<uintptr_t>(child));
        cursor = child;
        stack.push_back(cur);
        cur = Frame{child, node, 0};
    }
    return true;
}

} // namespace

std::string FatEntryName(const void* entry)
{
    const auto* e = static_cast<const FatEntry*>(entry);
    std::u16string name;
    for (size_t i = 0; i < kMaxNameUnits; ++i) {
        char16_t c;
        std::memcpy(&c, reinterpret_cast<const uint8_t*>(e->name) + 2 * i, 2);
        if (c == 0)
            break;
        name.push_back(c);
    }
    // The deletion mark in the first unit is shown as '_'.
    if (!name.empty() && name[0] == 0xE5)
        name[0] = u'_';
    return NameFromUtf16(name.c_str(), name.size());
}

int FatDeletedDriver(ScanSession& session, NodeId root, LoadingState& loading)
{
    ResultTree& tree = session.tree;
    int result = 1;
    if (!fat_init(session.volume)) {
        session.failure = "the FAT boot sector describes no usable geometry";
        return 0;
    }
    // Set like every other driver, so the clean-up releases the engine.
    session.scan_state = 1;
    uint32_t files = 0, dirs = 0;
    FatDirNode* top = fat_searchfile(1, &files, &dirs);
    if (!top) {
        session.failure = "the root folder of the FAT volume cannot be read";
        return 0;
    }
    loading.LoadingOn();
    if (!hierarchy_walk(tree, top, root, DirView{deleted_entries, deleted_next}))
        result = 0;
    // Folders found in clusters that no folder links to follow the walked
    // tree, without a parent: each is shown as "Lost files/Folder%u".
    NodeId lost = 0;
    unsigned number = 0;
    size_t steps = 0;
    for (FatDirNode* n = top->next; result && n && steps < kMaxChain; n = n->next, ++steps) {
        if (n->parent || n->root)
            continue;
        if (!lost && !(lost = tree.InsertNode(root, "Lost files", kImageFolder, kImageFolderSelected))) {
            result = 0;
            break;
        }
        NodeId folder = tree.InsertNode(lost, "Folder" + std::to_string(number++), kImageFolder,
                                        kImageFolderSelected);
        if (!folder || !hierarchy_walk(tree, n, folder, DirView{deleted_entries, deleted_next}))
            result = 0;
    }
    tree.Select(root);
    tree.Expand(tree.FirstRoot());
    loading.LoadingOff();
    return result;
}

int FatFormatDriver(ScanSession& session, NodeId root, LoadingState& loading)
{
    ResultTree& tree = session.tree;
    if (!fat_fmtRec_init(session.volume)) {
        session.failure = "the volume cannot be opened for a FAT format scan";
        return 0;
    }
    {
        session.scan_state = 1;
        FatLostDir** tops = fat_fmtRec_search(session.fs_code);
        if (!tops) {
            session.failure = "the volume cannot be read";
            return 0;
        }
        loading.LoadingOn();
        for (size_t t = 0; t < FAT_FMT_MAX_TREES && tops[t]; ++t) {
            FatLostDir* top = tops[t];
            const std::string name(top->name, strnlen(top->name, sizeof top->name));
            NodeId folder = tree.InsertNode(root, SafeName(name), kImageFolder, kImageFolderSelected);
            if (!folder)
                break;
            if (!hierarchy_walk(tree, top, folder, DirView{lost_entries, lost_next}))
                break;
            tree.Select(root);
        }
    }
    tree.Select(root);
    tree.Expand(tree.FirstRoot());
    loading.LoadingOff();
    return 1;
}

void FatListing(ScanSession& session)
{
    const uintptr_t data = session.tree.ItemData(session.current_folder);
    if (!data)
        return;
    FatEntry** entries = session.mode == kModeFormat ? reinterpret_cast<FatLostDir*>(data)->entries
                                                     : reinterpret_cast<FatDirNode*>(data)->entries;
    if (!entries)
        return;
    for (size_t i = 0; i < kMaxChain && entries[i]; ++i) {
        FatEntry* e = entries[i];
        const std::string name = FatEntryName(e);
        // An entry named with ".???" ends the folder's listing.
        if (name.find(".???") != std::string::npos)
            break;
        if (e->is_directory)
            continue;
        session.list.AppendRow(name, FormatSize(e->size),
                               FatTimeText(e->month, e->day, e->hour, e->minute, e->seconds2),
                               reinterpret_cast<uintptr_t>(e));
    }
}

} // namespace salvor
