// The exFAT engine: the folder tree walked from the root, with the deleted
// files of every folder (deleted folders included), read along their FAT
// chains or their contiguous clusters.
#include "engines.h"

#include <salvor/scan/text.h>

#include <fsprobe/exfat.h>

#include <cstring>
#include <unordered_map>

namespace salvor {

namespace {

// A timestamp's fields (bits 0-4 seconds / 2, 5-10 minute, 11-15 hour,
// 16-20 day, 21-24 month).
std::string stamp_text(uint32_t stamp)
{
    return FatTimeText(int(stamp >> 21 & 0x0F), int(stamp >> 16 & 0x1F), int(stamp >> 11 & 0x1F),
                       int(stamp >> 5 & 0x3F), int(stamp & 0x1F));
}

std::optional<FileTime> stamp_time(uint32_t stamp, uint8_t ten_ms, uint8_t utc_offset)
{
    if (stamp == 0)
        return std::nullopt;
    uint32_t nanoseconds = 0;
    const int64_t seconds = exfat_unix_time(stamp, ten_ms, utc_offset, &nanoseconds);
    if (seconds == INT64_MIN)
        return std::nullopt;
    FileTime t;
    t.seconds = seconds;
    t.nanoseconds = nanoseconds;
    // Bit 7 marks a valid offset: bits 0-6 are quarter hours east of UTC.
    if (utc_offset & 0x80) {
        const int32_t quarters = int32_t(int8_t(uint8_t(utc_offset << 1)) >> 1);
        t.utc_offset_minutes = quarters * 15;
    } else {
        t.zone_known = false; // the device's local time, taken as it is
    }
    return t;
}

std::string entry_name(const ExfatEntry* e)
{
    return NameFromUtf16(e->name, e->name_length);
}

class ExfatStream final : public FileStream {
public:
    ExfatStream(ExfatEntry* entry, size_t chunk) : m_entry(entry), m_chunk(chunk) {}
    StreamRead Read(uint8_t* buffer, size_t length) override
    {
        if (m_position >= m_entry->size)
            return {0, true};
        const size_t n = size_t(std::min<uint64_t>(length, m_entry->size - m_position));
        const uint64_t before = m_position;
        const bool ok = exfat_readfile(m_entry, buffer, uint32_t(n), &m_position);
        if (!ok)
            std::memset(buffer, 0, n);
        if (m_position == before || !ok)
            m_position = before + n; // keep the place after a piece that could not be read
        return {n, ok};
    }
    size_t Chunk() const override { return m_chunk; }

private:
    ExfatEntry* m_entry;
    size_t m_chunk;
    uint64_t m_position = 0;
};

class ExfatEngine final : public Engine {
public:
    ~ExfatEngine() override
    {
        if (m_opened)
            exfat_exit();
    }

    ScanOutcome Scan(BgVolume* volume, ScanSink& sink) override
    {
        m_volume = volume;
        m_opened = true;
        if (!exfat_init(volume))
            return {ScanStatus::kFailed, FailureReason(exfat_last_failure, "the exFAT boot sector cannot be used")};
        uint32_t files = 0, folders = 0;
        ExfatDirNode* root = exfat_search(1, &files, &folders);
        if (!root)
            return {ScanStatus::kFailed, FailureReason(exfat_last_failure, "the root folder of the exFAT volume cannot be read")};
        // Nodes come in creation order, each after its parent.
        std::unordered_map<const ExfatDirNode*, FolderIndex> folder_of{{root, kRootFolder}};
        size_t steps = 0;
        for (ExfatDirNode* n = root; n && steps < kMaxChain; n = n->next, ++steps) {
            FolderIndex folder = kRootFolder;
            if (n != root) {
                auto parent = folder_of.find(n->parent);
                const FolderIndex under = parent == folder_of.end() ? kRootFolder : parent->second;
                folder = sink.AddFolder(under, n->self ? entry_name(n->self) : std::string("_"));
                folder_of[n] = folder;
            }
            for (size_t i = 0; n->entries && i < kMaxChain && n->entries[i]; ++i) {
                ExfatEntry* e = n->entries[i];
                if (e->is_directory || !e->deleted)
                    continue;
                FoundFile found;
                found.name = entry_name(e);
                found.size = e->size;
                found.times.modified = stamp_time(e->modify_time, e->modify_10ms, e->modify_utc_offset);
                found.times.created = stamp_time(e->create_time, e->create_10ms, e->create_utc_offset);
                found.times.accessed = stamp_time(e->access_time, 0, e->access_utc_offset);
                found.time_text = stamp_text(e->modify_time);
                found.record = e;
                sink.AddFile(folder, std::move(found));
            }
        }
        return {files ? ScanStatus::kFound : ScanStatus::kNothing, {}};
    }

    std::unique_ptr<FileStream> Open(const FoundFile& file, std::string& reason) override
    {
        ExfatEntry* entry = RecordOf<ExfatEntry>(file, reason);
        if (!entry)
            return nullptr;
        return std::make_unique<ExfatStream>(entry,
                                             cluster_chunk(m_volume ? bg_volume_cluster_size(m_volume) : 0));
    }

private:
    BgVolume* m_volume = nullptr;
    bool m_opened = false;
};

} // namespace

std::unique_ptr<Engine> MakeExfatEngine() { return std::make_unique<ExfatEngine>(); }

} // namespace salvor
