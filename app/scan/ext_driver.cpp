// ext2 and ext3 drivers and listings.
#include <salvor/scan/drivers.h>
#include <salvor/scan/text.h>

#include <fsprobe/ext2.h>
#include <fsprobe/ext3.h>

#include <cinttypes>
#include <cstdio>

namespace salvor {

namespace {

std::string byte_count(uint64_t size, const char* format)
{
    char buf[48];
    std::snprintf(buf, sizeof buf, format, size);
    return buf;
}

} // namespace

std::string Ext2RowName(void* file)
{
    const char16_t* name = ext2_get_filename(file, EXT2_NAME_FILE);
    // 252 bytes of UTF-16 at most, then the ".tmp" the listing adds.
    return SafeName(NameFromUtf16(name, 126) + ".tmp");
}

std::string Ext3RowName(void* file)
{
    const char* name = ext3_get_filename(file);
    return SafeName(name ? std::string(name) : std::string());
}

int Ext2Driver(ScanSession& session, NodeId root, LoadingState& loading)
{
    ResultTree& tree = session.tree;
    if (!ext2_init(session.volume)) {
        session.failure = "the ext2 superblock or group descriptors cannot be read";
        return 0;
    }
    Ext2Group* first = ext2_searchfile();
    if (!first) {
        ext2_exit();
        session.failure = "the ext2 inode tables cannot be read";
        return 0;
    }
    loading.LoadingOn();
    size_t guard = 0;
    for (Ext2Group* g = first; g && guard < (size_t(1) << 24); g = ext2_get_next(g), ++guard) {
        if (!ext2_get_file(g, 0))
            continue;
        NodeId node = tree.InsertNode(root, NameFromUtf16(ext2_get_filename(g, EXT2_NAME_GROUP), 128),
                                      kImageFolder, kImageFolderSelected);
        if (!node)
            break;
        tree.SetItemData(node, reinterpret_cast<uintptr_t>(g));
    }
    tree.Expand(tree.FirstRoot());
    loading.LoadingOff();
    session.scan_state = 1;
    return 1;
}

void Ext2Listing(ScanSession& session)
{
    auto* group = reinterpret_cast<Ext2Group*>(session.tree.ItemData(session.current_folder));
    if (!group || session.current_folder == session.tree.FirstRoot())
        return;
    if (!ext2_get_filelist(group))
        return;
    const std::string now = CurrentTimeText();
    for (uint32_t i = 0;; ++i) {
        Ext2LostFile* file = ext2_get_file(group, i);
        if (!file)
            break;
        session.list.AppendRow(Ext2RowName(file), byte_count(ext2_get_filesize(file), "%" PRIu64 " Byte"), now,
                               reinterpret_cast<uintptr_t>(file));
    }
}

int Ext3Driver(ScanSession& session, NodeId root, LoadingState& loading, ProgressSink& progress)
{
    ResultTree& tree = session.tree;
    progress.SetProgress(50);
    if (!ext3_init(session.volume)) {
        progress.SetProgress(100);
        session.failure = "the ext3 superblock or group descriptors cannot be read";
        return 0;
    }
    // The engine holds state from here on: the clean-up must release it.
    session.scan_state = 1;
    auto* first = ext3_searchfile2();
    loading.LoadingOn();
    InsertFileGroups(tree, root, first, [](Ext3FoundFile* f) { return static_cast<Ext3FoundFile*>(ext3_get_next(f)); });
    tree.Expand(tree.FirstRoot());
    loading.LoadingOff();
    progress.SetProgress(100);
    return first ? 1 : 0;
}

void Ext3Listing(ScanSession& session)
{
    if (session.current_folder == session.tree.FirstRoot())
        return;
    auto* file = reinterpret_cast<Ext3FoundFile*>(session.tree.ItemData(session.current_folder));
    const std::string now = CurrentTimeText();
    // The chain ends with its last file, so every row of the group stays.
    for (int n = 0; file && n < kFilesPerGroup; ++n, file = static_cast<Ext3FoundFile*>(ext3_get_next(file)))
        session.list.AppendRow(Ext3RowName(file), byte_count(ext3_get_filesize(file), "%" PRIu64 "  Byte"), now,
                               reinterpret_cast<uintptr_t>(file));
}

} // namespace salvor
