// HFS+ driver and listing.
#include <salvor/scan/drivers.h>
#include <salvor/scan/text.h>

#include <fsprobe/hfsplus.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace salvor {

std::string HfsPlusRowName(void* file)
{
    const char* name = hfsp_get_filename(static_cast<HfspFileRecord*>(file));
    if (!name)
        return {};
    return SafeName(std::string(name, strnlen(name, HFSP_NAME_BYTES)));
}

int HfsPlusDriver(ScanSession& session, NodeId root, LoadingState& loading)
{
    ResultTree& tree = session.tree;
    if (!hfsp_init(session.volume)) {
        session.failure = "the HFS+ volume header cannot be used";
        return 0;
    }
    session.scan_state = 1;
    HfspFileRecord* first = hfsp_searchfile();
    loading.LoadingOn();
    InsertFileGroups(tree, root, first, [](HfspFileRecord* f) { return hfsp_get_next(f); });
    tree.Expand(tree.FirstRoot());
    loading.LoadingOff();
    return first ? 1 : 0;
}

void HfsPlusListing(ScanSession& session)
{
    if (session.current_folder == session.tree.FirstRoot())
        return;
    auto* file = reinterpret_cast<HfspFileRecord*>(session.tree.ItemData(session.current_folder));
    const std::string now = CurrentTimeText();
    for (int n = 0; file && n < kFilesPerGroup; ++n, file = hfsp_get_next(file)) {
        char size[48];
        std::snprintf(size, sizeof size, "%" PRIu64 "  Byte", hfsp_get_filesize(file));
        session.list.AppendRow(HfsPlusRowName(file), size, now, reinterpret_cast<uintptr_t>(file));
    }
}

} // namespace salvor
