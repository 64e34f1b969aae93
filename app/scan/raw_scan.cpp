// Raw Recovery: carving scan, type nodes under their categories and the listing of a type.
#include <salvor/scan/categories.h>
#include <salvor/scan/drivers.h>
#include <salvor/scan/text.h>

#include <carvex/carvex.h>

#include <cctype>
#include <cstdio>

namespace salvor {

namespace {

// Items of a type are numbered from 0 without gaps: the count is the first
// index that gives no item.
int32_t item_count(const std::string& type)
{
    int32_t n = 0;
    while (n < INT32_MAX && cx_get_item(type.c_str(), n))
        ++n;
    return n;
}

std::string lower(std::string s)
{
    for (char& c : s)
        c = char(std::tolower(uint8_t(c)));
    return s;
}

} // namespace

int RunRawScan(ScanSession& session, ProgressSink& progress)
{
    (void)progress;
    session.tree.DeleteAll();
    session.list.Clear();
    session.current_folder = 0;
    session.failure.clear();
    session.mode = kModeRaw;
    session.cleanup_mode = kModeRaw;
    NodeId root = session.tree.InsertNode(0, session.source_label, kImageRoot, kImageRootSelected);
    for (int c = kPhoto; c <= kOthers; ++c) {
        session.category_node[c] = 0;
        if (session.raw.enabled(c))
            session.category_node[c] = session.tree.InsertNode(root, CategoryName(c), kImageFolder,
                                                               kImageFolderSelected);
    }
    session.scan_state = 1;
    if (cx_scan_volume(session.volume) < 0) {
        session.failure = "the volume cannot be read";
        return -1;
    }
    return int(FillTypeNodes(session));
}

uint64_t FillTypeNodes(ScanSession& session)
{
    for (auto& t : session.raw_totals)
        t = 0;
    // The list of types starts again after its end, so one full pass is read.
    for (const char* t = cx_next_type(); t; t = cx_next_type()) {
        const std::string type = t;
        std::string upper_probe = type;
        for (char& c : upper_probe)
            c = char(std::toupper(uint8_t(c)));
        if (IsFileSystemType(type) || !IsKnownType(session.raw, type))
            continue;
        const int category = CategoryOfType(session.raw, type);
        if (category < 0 || !session.category_node[category])
            continue;
        const int32_t n = item_count(type);
        char text[300];
        std::snprintf(text, sizeof text, "%s(%d)", upper_probe.c_str(), n);
        if (session.tree.InsertNode(session.category_node[category], TruncateUtf8(text, 260), kImageFolder,
                                    kImageFolderSelected))
            session.raw_totals[category] += uint64_t(n);
    }
    uint64_t total = 0;
    for (auto t : session.raw_totals)
        total += t;
    if (total > 0)
        session.tree.Expand(session.tree.FirstRoot());
    return total;
}

std::string RawTypeOfNode(const std::string& text)
{
    return lower(text.substr(0, text.find('(')));
}

void RawListing(ScanSession& session)
{
    const std::string type = RawTypeOfNode(session.tree.Text(session.current_folder));
    if (type.empty())
        return;
    const std::string now = CurrentTimeText();
    for (int32_t n = 0; n < INT32_MAX; ++n) {
        CxItem* item = cx_get_item(type.c_str(), n);
        if (!item)
            break;
        char name[300];
        std::snprintf(name, sizeof name, "%d.%s", n, type.c_str());
        session.list.AppendRow(SafeName(name), FormatSize(cx_item_size(item)), now, reinterpret_cast<uintptr_t>(item));
    }
}

} // namespace salvor
