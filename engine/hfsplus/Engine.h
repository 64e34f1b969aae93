// The HFS+ family's engine: one open volume (its converted header), the
// deleted-file records of the last search, the reader of one file at a time,
// and what is known of each record beyond its fields (its catalog dates, the
// path of its folder through the live catalog).
#pragma once

#include "CatalogScan.h"

#include <fsprobe/hfsplus.h>
#include <fsprobe/times.h>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace fsprobe::hfsplus {

class Engine {
public:
    Engine() = default;
    ~Engine() { close(); }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Closes what was open, then reads and checks the volume header.
    bool open(BgVolume* volume);
    // Frees the previous records and searches the catalog, moving bg_progress
    // from 0 to 100. The first record, or null.
    HfspFileRecord* search();
    // The allocation block size, 0 when nothing is open.
    uint64_t block_size() const;
    // One chunk of a file (see hfsp_readfile).
    bool read(HfspFileRecord* record, uint64_t* length, uint64_t* position, void* buffer);
    int32_t read_error() const { return m_read_error; }

    // The path of the record's folder from the root ("" for the root, and
    // when the folder cannot be resolved through the live catalog); null for
    // a record not of the last search.
    const char* folder_of(const HfspFileRecord* record);
    // The record's catalog dates; nullopt for a record not of the last search.
    std::optional<FsprobeTimes> times_of(const HfspFileRecord* record) const;

    void close();

private:
    struct Dates {
        u32 create = 0;
        u32 content_modify = 0;
        u32 attribute_modify = 0;
        u32 access = 0;
    };

    void free_records();
    void raise_progress(double fraction);

    BgVolume* m_volume = nullptr;
    VolumeHeader* m_header = nullptr; // converted header, engine-allocated
    VolumeAccess m_access;
    HfspFileRecord* m_head = nullptr;
    // The file being read.
    HfspFileRecord* m_reading = nullptr;
    u64 m_remaining = 0;
    u64 m_logical = 0;
    int32_t m_read_error = 0;
    // Progress of the search.
    double m_threshold = 0.05;
    // Beyond the records: their dates, the live folders, resolved paths.
    std::unordered_map<const HfspFileRecord*, Dates> m_dates;
    FolderLinks m_folders;
    std::unordered_map<u32, std::string> m_paths;
};

} // namespace fsprobe::hfsplus
