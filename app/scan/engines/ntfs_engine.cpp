// The NTFS engines (deleted files and format recovery): every found file is
// placed in the folder path climbed from its parent references, files whose
// chain of parents breaks go to "Lost files/Folder<n>"; their data is read
// through the engine's per-file reader.
#include "engines.h"

#include <salvor/scan/text.h>

#include <fsprobe/ntfs.h>

#include <cstring>
#include <map>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

namespace salvor {

namespace {

constexpr uint32_t kRootRecord = 5;
// The nearest folders of a path that are kept; deeper ancestors are dropped.
constexpr size_t kMaxAncestors = 32;
// Bound on a climb, so a damaged chain of parents ends.
constexpr size_t kMaxClimb = 4096;
// Record flags of a folder.
constexpr uint8_t kDirectoryFlag = 2;

// The engine keeps one file being read at a time, per mode; these start the
// next read at byte 0.
void reset_deleted_reader() { Ntfs_RWfile_Set(1); }
void reset_format_reader() { Ntfs_RWfile_Set(2); }

bool has_name(const NtfsNameParent& e)
{
    return e.name_length != 0 || e.name[0] || e.name[1] || e.name[2] || e.name[3];
}

uint64_t reference_of(const NtfsNameParent& e)
{
    return (uint64_t(e.reference_high) << 32) | e.reference_low;
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

// NTFS time (100 ns units since 1601-01-01 UTC) as a file time; none for 0.
std::optional<FileTime> ntfs_time(uint64_t value)
{
    if (value == 0)
        return std::nullopt;
    constexpr int64_t kUnitsPerSecond = 10000000;
    constexpr int64_t kSeconds1601To1970 = 11644473600;
    FileTime t;
    t.seconds = int64_t(value / kUnitsPerSecond) - kSeconds1601To1970;
    t.nanoseconds = uint32_t(value % kUnitsPerSecond) * 100;
    return t;
}

// The folders of the result below which paths are built: a child is found by
// its name (and, in format recovery, its fragment) or made.
class FolderPaths {
public:
    FolderPaths(ScanSink& sink) : m_sink(sink) {}
    FolderIndex child(FolderIndex parent, const std::string& name, uint32_t fragment)
    {
        const auto key = std::make_tuple(parent, name, fragment);
        auto it = m_children.find(key);
        if (it != m_children.end())
            return it->second;
        const FolderIndex made = m_sink.AddFolder(parent, name);
        m_children.emplace(key, made);
        return made;
    }
    // Registers a folder made elsewhere, so a path through its name finds it.
    void known(FolderIndex parent, const std::string& name, uint32_t fragment, FolderIndex folder)
    {
        m_children.emplace(std::make_tuple(parent, name, fragment), folder);
    }
    // Builds the folders of names[count-1] down to names[0] below `folder`.
    FolderIndex path(FolderIndex folder, const std::vector<std::string>& names, size_t count, uint32_t fragment)
    {
        for (size_t e = count; e-- > 0;)
            folder = child(folder, names[e], fragment);
        return folder;
    }

private:
    ScanSink& m_sink;
    std::map<std::tuple<FolderIndex, std::string, uint32_t>, FolderIndex> m_children;
};

// Lost folders, keyed by the missing parent (and, in format recovery, the
// fragment), made as "Folder<n>" in creation order below "Lost files".
class LostFolders {
public:
    LostFolders(ScanSink& sink, FolderIndex lost) : m_sink(sink), m_lost(lost) {}
    FolderIndex folder(uint64_t key)
    {
        auto it = m_folders.find(key);
        if (it != m_folders.end())
            return it->second;
        const FolderIndex made = m_sink.AddFolder(m_lost, "Folder" + std::to_string(m_folders.size()));
        m_folders.emplace(key, made);
        return made;
    }

private:
    ScanSink& m_sink;
    FolderIndex m_lost;
    std::unordered_map<uint64_t, FolderIndex> m_folders;
};

FolderIndex lost_files_folder(ScanSink& sink, FolderPaths& paths)
{
    const FolderIndex lost = sink.AddFolder(kRootFolder, "Lost files");
    sink.DropWhenEmpty(lost);
    // A top folder of the volume named so shares it, as a tree of names does.
    paths.known(kRootFolder, "Lost files", 0, lost);
    return lost;
}

// Reads a found file through one of the engine's two per-file readers.
class NtfsStream final : public FileStream {
public:
    using ReadChunk = std::function<uint32_t(uint8_t*, uint32_t)>;
    NtfsStream(void (*reset)(), ReadChunk read, size_t chunk) : m_reset(reset), m_read(std::move(read)), m_chunk(chunk)
    {
        m_reset();
    }
    ~NtfsStream() override { m_reset(); }
    StreamRead Read(uint8_t* buffer, size_t length) override
    {
        if (m_read(buffer, uint32_t(length)) == NTFS_DATA_OK)
            return {length, true};
        std::memset(buffer, 0, length);
        return {length, false};
    }
    size_t Chunk() const override { return m_chunk; }

private:
    void (*m_reset)();
    ReadChunk m_read;
    size_t m_chunk;
};

class NtfsDeletedEngine final : public Engine {
public:
    ~NtfsDeletedEngine() override
    {
        if (m_head)
            NTFS_Free_File_Info(m_head);
        if (m_opened)
            NTFS_Free_Glod_Exit();
    }

    ScanOutcome Scan(BgVolume* volume, ScanSink& sink) override
    {
        m_volume = volume;
        m_opened = true;
        if (!Initi_Ntfs_InFo(volume))
            return {ScanStatus::kFailed,
                    FailureReason(ntfs_last_failure, "the NTFS boot sector or the $MFT record cannot be read")};
        m_head = Ntfs_Get_Del_File();
        if (!m_head)
            return {ScanStatus::kNothing, {}};
        if (sink.StopRequested())
            return {ScanStatus::kStopped, {}};
        place_files(sink);
        return {ScanStatus::kFound, {}};
    }

    std::unique_ptr<FileStream> Open(const FoundFile& file, std::string& reason) override
    {
        const NtfsFileInfo* record = RecordOf<NtfsFileInfo>(file, reason);
        if (!record)
            return nullptr;
        const uint64_t number = record->record_number;
        return std::make_unique<NtfsStream>(
            reset_deleted_reader,
            [number](uint8_t* buffer, uint32_t length) {
                return Ntfs_Get_Data(uint32_t(number), uint32_t(number >> 32), buffer, length);
            },
            cluster_chunk(m_volume ? bg_volume_cluster_size(m_volume) : 0));
    }

private:
    // Places every deleted file in the folder path of its parents; the
    // files that share a parent share the folder, so a path is climbed once.
    void place_files(ScanSink& sink)
    {
        FolderPaths paths(sink);
        const FolderIndex lost = lost_files_folder(sink, paths);
        LostFolders lost_folders(sink, lost);

        std::unordered_map<uint32_t, std::vector<NtfsFileInfo*>> by_parent;
        for (NtfsFileInfo* f = m_head; f; f = f->next)
            if (f->state == 0)
                by_parent[uint32_t(f->parent_reference)].push_back(f);
        std::unordered_map<const NtfsFileInfo*, FolderIndex> placement;
        auto place = [&](NtfsFileInfo* f, FolderIndex folder) {
            for (NtfsFileInfo* g : by_parent[uint32_t(f->parent_reference)])
                placement.emplace(g, folder);
        };

        std::vector<std::string> names(kMaxAncestors);
        std::unordered_set<uint64_t> visited;
        for (NtfsFileInfo* f = m_head; f; f = f->next) {
            if (f->state != 0 || placement.count(f))
                continue;
            visited.clear();
            visited.insert(uint32_t(f->record_number));
            uint64_t ref = f->record_number;
            for (size_t depth = 0;; ++depth) {
                NtfsNameParent e {};
                Ntfs_Get_NameParentID(uint32_t(ref), uint32_t(ref >> 32), &e);
                const uint32_t parent = e.reference_low;
                if (depth < kMaxAncestors)
                    names[depth] = has_name(e) ? full_name(reference_of(e), e.name, e.name_length) : std::string();
                const size_t kept = std::min(depth, kMaxAncestors);
                if (parent == kRootRecord) {
                    place(f, paths.path(kRootFolder, names, kept, 0));
                    break;
                }
                const bool loops = !visited.insert(parent).second;
                if (has_name(e) && (e.flags & kDirectoryFlag) && !loops && depth + 1 < kMaxClimb) {
                    ref = reference_of(e);
                    continue;
                }
                // The chain breaks here. A missing parent of 0 gets a lost
                // folder like any other, so the file can still be recovered.
                const FolderIndex folder = lost_folders.folder(parent);
                if (kept == 0)
                    placement.emplace(f, folder);
                else
                    place(f, paths.path(folder, names, kept, 0));
                break;
            }
        }

        for (NtfsFileInfo* f = m_head; f; f = f->next) {
            auto it = placement.find(f);
            if (f->state != 0 || it == placement.end())
                continue;
            FoundFile found;
            found.name = full_name(f->record_number, f->name, f->name_length);
            found.size = f->size;
            found.times.created = ntfs_time(f->created);
            found.time_text = EngineTimeText(f->created);
            found.record = f;
            sink.AddFile(it->second, std::move(found));
        }
    }

    BgVolume* m_volume = nullptr;
    bool m_opened = false;
    NtfsFileInfo* m_head = nullptr;
};

class NtfsFormatEngine final : public Engine {
public:
    ~NtfsFormatEngine() override
    {
        if (m_head)
            NTFS_Free_Format_Info(m_head);
        if (m_opened)
            NTFS_Free_Glod_Exit();
    }

    ScanOutcome Scan(BgVolume* volume, ScanSink& sink) override
    {
        m_opened = true;
        m_head = Search_Ntfs_InFo(volume);
        if (!m_head)
            return {ScanStatus::kNothing, {}};
        if (sink.StopRequested())
            return {ScanStatus::kStopped, {}};
        place_files(sink);
        return {ScanStatus::kFound, {}};
    }

    std::unique_ptr<FileStream> Open(const FoundFile& file, std::string& reason) override
    {
        NtfsFormatInfo* record = RecordOf<NtfsFormatInfo>(file, reason);
        if (!record)
            return nullptr;
        const int32_t block = Ntfs_Format_BlockSize(record);
        return std::make_unique<NtfsStream>(
            reset_format_reader,
            [record](uint8_t* buffer, uint32_t length) { return Ntfs_Read_ForMat_Data(record, buffer, length); },
            cluster_chunk(block > 0 ? uint64_t(block) : 0));
    }

private:
    static bool is_file(const NtfsFormatInfo* r)
    {
        return (r->kind & 1) == 0 && NTFS_FORMAT_FRAGMENT(r) < NTFS_FORMAT_UNATTRIBUTED;
    }

    void place_files(ScanSink& sink)
    {
        FolderPaths paths(sink);
        const FolderIndex lost = lost_files_folder(sink, paths);
        LostFolders lost_folders(sink, lost);

        std::map<std::pair<uint32_t, uint8_t>, std::vector<NtfsFormatInfo*>> by_parent;
        for (NtfsFormatInfo* r = m_head; r; r = r->next)
            if (is_file(r))
                by_parent[{uint32_t(r->parent), uint8_t(NTFS_FORMAT_FRAGMENT(r))}].push_back(r);
        std::unordered_map<const NtfsFormatInfo*, FolderIndex> placement;

        std::vector<std::string> names(kMaxAncestors);
        std::unordered_set<const NtfsFormatInfo*> visited;
        for (NtfsFormatInfo* f = m_head; f; f = f->next) {
            if (!is_file(f) || placement.count(f))
                continue;
            const uint8_t fragment = uint8_t(NTFS_FORMAT_FRAGMENT(f));
            auto place = [&](FolderIndex folder) {
                for (NtfsFormatInfo* g : by_parent[{uint32_t(f->parent), fragment}])
                    placement.emplace(g, folder);
            };
            visited.clear();
            visited.insert(f);
            NtfsFormatInfo* current = f;
            for (size_t depth = 0;; ++depth) {
                NtfsNameParent e {};
                NtfsFormatInfo* parent_record = Nfst_GetFormat_NameParentID(nullptr, current, &e);
                const uint32_t parent = e.reference_low;
                // The parent's own record holds its whole name.
                if (depth < kMaxAncestors)
                    names[depth] = parent_record ? NameFromUtf16Bytes(parent_record->name, parent_record->name_length)
                                                 : std::string();
                const size_t kept = std::min(depth, kMaxAncestors);
                if (parent == kRootRecord) {
                    place(paths.path(kRootFolder, names, kept, fragment));
                    break;
                }
                const bool loops = parent_record && !visited.insert(parent_record).second;
                if (has_name(e) && parent_record && (parent_record->kind & 1) && !loops && depth + 1 < kMaxClimb) {
                    current = parent_record;
                    continue;
                }
                // A missing parent of 0 gets the key -1, so 0 never stands
                // for a folder; the fragment is part of the key.
                const uint32_t key = parent == 0 ? 0xFFFFFFFFu : parent;
                const FolderIndex folder = lost_folders.folder((uint64_t(fragment) << 32) | key);
                if (kept == 0)
                    placement.emplace(f, folder);
                else
                    place(paths.path(folder, names, kept, fragment));
                break;
            }
        }

        for (NtfsFormatInfo* r = m_head; r; r = r->next) {
            auto it = placement.find(r);
            if (it == placement.end())
                continue;
            FoundFile found;
            found.name = NameFromUtf16Bytes(r->name, r->name_length);
            found.size = r->size;
            found.times.created = ntfs_time(r->created);
            found.time_text = EngineTimeText(r->created);
            found.record = r;
            sink.AddFile(it->second, std::move(found));
        }
    }

    bool m_opened = false;
    NtfsFormatInfo* m_head = nullptr;
};

} // namespace

std::unique_ptr<Engine> MakeNtfsDeletedEngine() { return std::make_unique<NtfsDeletedEngine>(); }
std::unique_ptr<Engine> MakeNtfsFormatEngine() { return std::make_unique<NtfsFormatEngine>(); }

} // namespace salvor
