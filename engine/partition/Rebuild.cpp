// Rebuild: each found volume whose boot sector's hidden sectors equal its own
// start becomes a master boot record entry; every other one becomes a logical
// drive with its own extended boot record, lying `hidden` sectors before it,
// chained to the next logical drive's record and enclosed by one extended
// partition entry (type 0x0F) in the master boot record.
#include "Rebuild.h"

#include "Search.h"

#include <fsprobe/common/failure.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

namespace fsprobe::partition {

namespace {

// Where a volume's extended boot record lies, when the volume can be a logical
// drive: its hidden sectors must point behind its own start, past the end of
// the volume before it (never at sector 0, the master boot record, nor into
// the previous volume).
std::optional<u64> extended_record_of(const FoundVolume& v, u64 previous_end)
{
    if (v.hidden == v.start_sector || v.hidden == 0 || v.hidden > v.start_sector)
        return std::nullopt;
    u64 ebr = v.start_sector - v.hidden;
    if (ebr < previous_end || ebr == 0)
        return std::nullopt;
    return ebr;
}

void put_slot(TableWrite& w, u32 slot, const std::array<u8, 16>& entry)
{
    std::memcpy(w.bytes.data() + 16 * slot, entry.data(), entry.size());
}

TableWrite empty_table(u64 sector)
{
    TableWrite w;
    w.sector = sector;
    w.bytes[64] = 0x55;
    w.bytes[65] = 0xAA;
    return w;
}

} // namespace

RebuildPlan plan_rebuild(const std::vector<FoundVolume>& volumes, u32 S)
{
    RebuildPlan plan;
    plan.master = empty_table(0);
    if (volumes.empty()) {
        plan.status = RebuildStatus::NothingFound;
        return plan;
    }
    std::vector<std::array<u8, 16>> master;
    bool extended_open = false;
    size_t extended_slot = 0;
    u64 E = 0; // first sector of the extended partition

    auto close_extended = [&](const FoundVolume& last) {
        u64 end = sat_add(last.start_sector, last.sectors);
        u32 count = cap_sectors(end - E);
        master[extended_slot] = encode_entry(0x00, type_extended_lba, u32(E), count, E, S);
        extended_open = false;
    };

    u64 previous_end = 1; // sector 0 holds the master boot record
    for (size_t idx = 0; idx < volumes.size(); ++idx) {
        const FoundVolume& v = volumes[idx];
        u32 count = cap_sectors(v.sectors);
        u8 type = type_id_for_code(v.fs_code);
        std::optional<u64> ebr = extended_record_of(v, previous_end);
        if (!ebr) {
            // Primary: at the start its boot sector gives, which must be
            // its real one; a volume whose hidden sectors fit neither kind
            // is described by its real start.
            if (v.start_sector > 0xFFFFFFFFull) {
                plan.status = RebuildStatus::Unrepresentable;
                return plan;
            }
            if (extended_open)
                close_extended(volumes[idx - 1]);
            master.push_back(encode_entry(v.first_found ? 0x80 : 0x00, type, u32(v.start_sector), count,
                                          v.start_sector, S));
        } else {
            if (!extended_open) {
                if (*ebr > 0xFFFFFFFFull) {
                    plan.status = RebuildStatus::Unrepresentable;
                    return plan;
                }
                E = *ebr;
                master.push_back(encode_entry(0x00, type_extended_lba, u32(E), 0, E, S));
                extended_slot = master.size() - 1;
                extended_open = true;
            }
            TableWrite w = empty_table(*ebr);
            put_slot(w, 0, encode_entry(0x00, type, v.hidden, count, v.start_sector, S));
            // The link names the next logical drive's own extended boot
            // record, relative to the extended partition's first sector, and
            // spans that record and its drive.
            if (idx + 1 < volumes.size()) {
                const FoundVolume& next = volumes[idx + 1];
                u64 end = sat_add(v.start_sector, v.sectors);
                if (auto next_ebr = extended_record_of(next, end)) {
                    u64 relative = *next_ebr - E;
                    if (relative > 0xFFFFFFFFull) {
                        plan.status = RebuildStatus::Unrepresentable;
                        return plan;
                    }
                    u32 span = cap_sectors(sat_add(next.start_sector, next.sectors) - *next_ebr);
                    put_slot(w, 1, encode_entry(0x00, type_extended_link, u32(relative), span, *next_ebr, S));
                }
            }
            plan.extended.push_back(w);
        }
        previous_end = sat_add(v.start_sector, v.sectors);
    }
    if (extended_open)
        close_extended(volumes.back());

    plan.master_entries = u32(master.size());
    if (master.size() > 4) {
        plan.status = RebuildStatus::TooManyPrimaries;
        plan.extended.clear();
        return plan;
    }
    for (size_t i = 0; i < master.size(); ++i)
        put_slot(plan.master, u32(i), master[i]);
    return plan;
}

bool rebuild_tables(BgReader* disk, const SearchState& state)
{
    // The tables count 512-byte sectors; a disk with larger logical sectors
    // would need every field in its own unit.
    if (!disk || !disk->write) {
        fail("no disk was given");
        return false;
    }
    if (state.bytes_per_sector != sector_bytes) {
        fail(state.bytes_per_sector ? "the disk's sectors are not 512 bytes" : "no search has run on the disk");
        return false;
    }
    std::vector<FoundVolume> volumes;
    for (u32 i = 0; i < max_found_volumes && state.found[i].boot_sector; ++i) {
        const BgVolume& r = state.found[i];
        FoundVolume v;
        v.start_sector = r.start / sector_bytes;
        v.sectors = r.size / sector_bytes;
        v.hidden = load_le32(r.boot_sector + boot::hidden_sectors);
        v.fs_code = r.fs_code;
        v.first_found = r.first_found != 0;
        volumes.push_back(v);
    }
    RebuildPlan plan = plan_rebuild(volumes, state.sectors_per_track);
    switch (plan.status) {
    case RebuildStatus::Ok:
        break;
    case RebuildStatus::NothingFound:
        fail("no volume was found to describe");
        return false;
    case RebuildStatus::TooManyPrimaries:
        fail("more than four master boot record entries would be needed");
        return false;
    case RebuildStatus::Unrepresentable:
        fail("a volume lies beyond what a partition table entry can hold");
        return false;
    }

    bool ok = true;
    auto write_table = [&](const TableWrite& w) {
        u64 offset = w.sector * sector_bytes + table_offset;
        errno = 0;
        if (disk->write(disk, w.bytes.data(), table_write_bytes, offset) != table_write_bytes) {
            ok = false;
            fail("writing the partition table at sector " + std::to_string(w.sector) + " failed"
                 + (errno ? std::string(": ") + std::strerror(errno) : std::string()));
        }
        errno = 0;
        if (disk->commit && disk->commit(disk) == 0) {
            ok = false;
            fail("flushing the partition table at sector " + std::to_string(w.sector) + " failed"
                 + (errno ? std::string(": ") + std::strerror(errno) : std::string()));
        }
    };
    for (const TableWrite& w : plan.extended)
        write_table(w);
    write_table(plan.master);
    return ok;
}

} // namespace fsprobe::partition
