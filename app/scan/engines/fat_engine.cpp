// The FAT engines (deleted files and format recovery): the engine's folder
// nodes become folders of the result, their entries its files; data is read
// as a contiguous run of clusters from each file's first cluster.
#include "engines.h"

#include <salvor/scan/text.h>

#include <fsprobe/fat.h>
#include <ondisk/fat_boot.h>

#include <cstring>
#include <string>
#include <vector>

namespace salvor {

namespace {

// Longest name a FAT entry carries (a long name of 255 units plus the end).
constexpr size_t kMaxNameUnits = 260;
constexpr uint16_t kDeletionMark = 0xE5;
// An entry whose name holds this ends the listing of its folder.
constexpr const char* kListingStop = ".???";

// An entry's name as shown: the deletion mark in the first unit as '_'.
std::string entry_name(const FatEntry* e)
{
    std::u16string name;
    for (size_t i = 0; i < kMaxNameUnits; ++i) {
        char16_t c;
        std::memcpy(&c, reinterpret_cast<const uint8_t*>(e->name) + 2 * i, 2);
        if (c == 0)
            break;
        name.push_back(c);
    }
    if (!name.empty() && name[0] == kDeletionMark)
        name[0] = u'_';
    return NameFromUtf16(name.c_str(), name.size());
}

// FAT keeps local wall-clock time of an unknown zone, to two seconds.
std::optional<FileTime> entry_time(const FatEntry* e)
{
    if (e->month < 1 || e->month > 12 || e->day < 1 || e->day > 31 || e->hour > 23 || e->minute > 59 ||
        e->seconds2 > 29)
        return std::nullopt;
    // Days from 1970-01-01 to the civil date (proleptic Gregorian).
    const int64_t y = 1980 + int64_t(e->year) - (e->month <= 2 ? 1 : 0);
    const int64_t era = y / 400;
    const int64_t yoe = y - era * 400;
    const int64_t mp = (int64_t(e->month) + 9) % 12;
    const int64_t doy = (153 * mp + 2) / 5 + int64_t(e->day) - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = era * 146097 + doe - 719468;
    FileTime t;
    t.seconds = days * 86400 + int64_t(e->hour) * 3600 + int64_t(e->minute) * 60 + int64_t(e->seconds2) * 2;
    t.zone_known = false;
    return t;
}

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

} // namespace

void AddFatListing(ScanSink& sink, FolderIndex folder, FatEntry** entries)
{
    for (size_t i = 0; entries && i < kMaxChain && entries[i]; ++i) {
        FatEntry* e = entries[i];
        std::string name = entry_name(e);
        if (name.find(kListingStop) != std::string::npos)
            break;
        if (e->is_directory)
            continue;
        FoundFile found;
        found.name = std::move(name);
        found.size = e->size;
        found.times.created = entry_time(e);
        // An entry without a valid stamp (all zero where none was written)
        // shows none rather than a date that never was.
        found.time_text =
            found.times.created ? FatTimeText(e->month, e->day, e->hour, e->minute, e->seconds2) : std::string("-");
        found.record = e;
        sink.AddFile(folder, std::move(found));
    }
}

namespace {

// Walks the entries of `top` depth first, matching each directory entry with
// the next node of the creation-order chain, and makes a folder for it.
void walk_tree(ScanSink& sink, void* top, FolderIndex top_folder, const DirView& view)
{
    struct Frame {
        void* dir;
        FolderIndex folder;
        size_t index;
    };
    std::vector<Frame> stack;
    void* cursor = top;
    Frame cur{top, top_folder, 0};
    AddFatListing(sink, top_folder, view.entries(top));
    for (size_t steps = 0; steps < kMaxChain; ++steps) {
        FatEntry** entries = view.entries(cur.dir);
        FatEntry* e = entries ? entries[cur.index] : nullptr;
        if (!e) {
            if (stack.empty())
                return;
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
            return; // the chain holds no node for this directory
        const FolderIndex folder = sink.AddFolder(cur.folder, entry_name(e));
        AddFatListing(sink, folder, view.entries(child));
        cursor = child;
        stack.push_back(cur);
        cur = Frame{child, folder, 0};
    }
}

// Reads a file as a contiguous run of sectors from its first cluster.
class FatStream final : public FileStream {
public:
    using ReadRun = bool (*)(FatEntry*, void*, uint32_t, uint64_t*);
    FatStream(FatEntry* entry, ReadRun read, uint32_t sector, size_t chunk)
        : m_entry(entry), m_read(read), m_sector(sector), m_chunk(chunk)
    {
    }
    StreamRead Read(uint8_t* buffer, size_t length) override
    {
        const uint64_t before = m_position;
        const bool ok = m_read(m_entry, buffer, uint32_t(length), &m_position);
        if (!ok || m_position == before)
            m_position = before + (length + m_sector - 1) / m_sector; // keep the place after a failed piece
        if (!ok)
            std::memset(buffer, 0, length);
        return {length, ok};
    }
    size_t Chunk() const override { return m_chunk; }

private:
    FatEntry* m_entry;
    ReadRun m_read;
    uint32_t m_sector;
    size_t m_chunk;
    uint64_t m_position = 0;
};

class FatDeletedEngine final : public Engine {
public:
    ~FatDeletedEngine() override
    {
        if (m_opened)
            fat_exit();
    }

    ScanOutcome Scan(BgVolume* volume, ScanSink& sink) override
    {
        m_volume = volume;
        if (!fat_init(volume))
            return {ScanStatus::kFailed, FailureReason(fat_last_failure, "the FAT boot sector describes no usable geometry")};
        m_opened = true;
        uint32_t files = 0, dirs = 0;
        FatDirNode* top = fat_searchfile(1, &files, &dirs);
        if (!top)
            return {ScanStatus::kFailed, FailureReason(fat_last_failure, "the root folder of the FAT volume cannot be read")};
        walk_tree(sink, top, kRootFolder, DirView{deleted_entries, deleted_next});
        // Folders found in clusters that no folder links to follow the
        // walked tree, without a parent: each is "Lost files/Folder<n>".
        FolderIndex lost = kRootFolder;
        unsigned number = 0;
        size_t steps = 0;
        for (FatDirNode* n = top->next; n && steps < kMaxChain; n = n->next, ++steps) {
            if (n->parent || n->root)
                continue;
            if (lost == kRootFolder)
                lost = sink.AddFolder(kRootFolder, "Lost files");
            const FolderIndex folder = sink.AddFolder(lost, "Folder" + std::to_string(number++));
            walk_tree(sink, n, folder, DirView{deleted_entries, deleted_next});
        }
        return {ScanStatus::kFound, {}};
    }

    std::unique_ptr<FileStream> Open(const FoundFile& file, std::string& reason) override
    {
        FatEntry* e = RecordOf<FatEntry>(file, reason);
        if (!e)
            return nullptr;
        return std::make_unique<FatStream>(e, fat_readfile, sector_size(),
                                           cluster_chunk(m_volume ? bg_volume_cluster_size(m_volume) : 0));
    }

private:
    // Positions count the volume's own sectors (boot sector offset 11).
    uint32_t sector_size() const
    {
        if (!m_volume || !m_volume->boot_sector)
            return 512;
        auto boot = ondisk::fat::parse_boot(ondisk::ByteView(m_volume->boot_sector, ondisk::boot_sector_size));
        return boot ? boot->bytes_per_sector : 512;
    }

    BgVolume* m_volume = nullptr;
    bool m_opened = false;
};

class FatFormatEngine final : public Engine {
public:
    explicit FatFormatEngine(BgFsCode code) : m_code(code) {}
    ~FatFormatEngine() override
    {
        if (m_opened)
            fat_fmtRec_exit();
    }

    ScanOutcome Scan(BgVolume* volume, ScanSink& sink) override
    {
        m_volume = volume;
        if (!fat_fmtRec_init(volume))
            return {ScanStatus::kFailed,
                    FailureReason(fat_last_failure, "the volume cannot be opened for a FAT format scan")};
        m_opened = true;
        FatLostDir** tops = fat_fmtRec_search(m_code);
        if (!tops)
            return {ScanStatus::kFailed, FailureReason(fat_last_failure, "the volume cannot be read")};
        for (size_t t = 0; t < FAT_FMT_MAX_TREES && tops[t]; ++t) {
            FatLostDir* top = tops[t];
            const std::string name(top->name, strnlen(top->name, sizeof top->name));
            walk_tree(sink, top, sink.AddFolder(kRootFolder, SafeName(name)), DirView{lost_entries, lost_next});
        }
        return {ScanStatus::kFound, {}};
    }

    std::unique_ptr<FileStream> Open(const FoundFile& file, std::string& reason) override
    {
        FatEntry* e = RecordOf<FatEntry>(file, reason);
        if (!e)
            return nullptr;
        // Positions count 512-byte sectors of the old file system.
        return std::make_unique<FatStream>(e, fat_fmtRec_readfile, 512,
                                           cluster_chunk(m_volume ? bg_volume_cluster_size(m_volume) : 0));
    }

private:
    BgFsCode m_code;
    BgVolume* m_volume = nullptr;
    bool m_opened = false;
};

} // namespace

std::unique_ptr<Engine> MakeFatDeletedEngine() { return std::make_unique<FatDeletedEngine>(); }
std::unique_ptr<Engine> MakeFatFormatEngine(BgFsCode code) { return std::make_unique<FatFormatEngine>(code); }

} // namespace salvor
