// Directory entries: 8.3 names, long names reassembled from their slots (live
// or deleted), and the FatEntry records the searches keep.
#pragma once

#include "Definitions.h"

#include <fsprobe/fat.h>

#include <optional>
#include <string>

namespace fsprobe::fat {

// The 8.3 name of a short entry (32 bytes at `entry`): up to 8 characters up
// to the first space, then "." and the extension when it does not start with
// a space. A first byte 0x05 stands for 0xE5; a first byte 0xE5 (deleted) is
// kept as the unit 0x00E5. Other bytes above 0x7F are taken in code page 437.
// The lower-case flags at offset 0x0C apply to the ASCII letters.
std::u16string short_name(const u8* entry);

// Number of consecutive long-name slots from index `first` of a directory
// buffer of `count` entries (stopping at an end-of-directory entry).
size_t long_name_run(const u8* dir, size_t count, size_t first);

// Reassembles the name of a run of `slots` long-name slots starting at
// `run`: the first slot met carries the last 13 units. The sequence byte is
// not used, so the slots of a deleted entry reassemble too. Padding units
// 0xFFFF are left out and the name ends at a 0 unit. Nullopt for an empty
// run or one longer than 20 slots (damage).
std::optional<std::u16string> assemble_long_name(const u8* run, size_t slots);

// A new record for the short entry at `entry`, named `name`. With `fat32` the
// high cluster word (offset 20) is used. Times are taken when `with_times`.
FatEntry* make_entry(const u8* entry, const std::u16string& name, bool fat32, bool with_times, bool is_directory);
void free_entry(FatEntry* entry);

// The first cluster stored in a short entry.
u32 entry_cluster(const u8* entry, bool use_high_word);

// True when a directory cluster begins with the "." and ".." entries.
bool starts_with_dot_entries(const u8* cluster, size_t length);

// True when a cluster could be the continuation of a directory: it starts
// with an entry, and every entry up to the end mark is a plausible short or
// long-name entry (valid attributes, no control or forbidden characters in
// short names, no cluster in long-name slots).
bool plausible_directory_cluster(const u8* cluster, size_t length);

// True when no entry of the cluster is an end mark (the directory may go on
// in another cluster).
bool directory_cluster_full(const u8* cluster, size_t length);

// The checksum of an 8.3 name (11 bytes) that its long-name slots carry at
// offset 13.
u8 short_name_checksum(const u8* name11);

// The first name byte that gives a deleted short entry (whose first byte is
// now the deletion mark) the checksum `checksum`. Every checksum has exactly
// one such byte.
u8 deleted_first_byte(const u8* entry, u8 checksum);

// What a free cluster that no directory links to holds, judged by its
// entries alone.
enum class LostClusterKind {
    none,     // not directory entries (file data, random bytes, zeros)
    entries,  // a later cluster of a directory
    first,    // the first cluster of a directory ("." and ".." at its start)
};

struct LostClusterLimits {
    u32 cluster_count = 0;  // first clusters must lie below this
    u64 volume_bytes = 0;   // no file is larger
};

// Judges a cluster strictly: every entry up to the end mark must be a well
// formed long-name slot (sequence or deletion mark, type 0, no cluster,
// units ending in a 0 and 0xFFFF padding) or a well formed short entry (8.3
// characters, padding only at the end of each part, attributes without the
// label bit, a directory of size 0, first cluster and size in range, valid
// times and dates); "." and ".." only as the first two entries. Several such
// entries are needed (three, or one followed by nothing but zeros to the end
// of the cluster), one of them a short entry other than "." and "..".
LostClusterKind judge_lost_cluster(const u8* cluster, size_t length, const LostClusterLimits& limits);

// The long name that the run of `slots` long-name slots at `run` gives the
// short entry that follows them at `entry`, or nullopt when the slots are
// not its own: every slot must carry the entry's checksum (for a deleted
// entry: the checksum must ask for a first name byte that fits the long
// name's first character). The first slot must end the name with a 0 unit;
// a run of full slots only counts when `run_may_be_cut` is false (the run
// did not start where the bytes at hand start).
std::optional<std::u16string> checked_long_name(const u8* run, size_t slots, const u8* entry, bool run_may_be_cut);

// A zero-terminated array of entry pointers that grows in steps of 512.
class EntryArray {
public:
    static constexpr size_t step = 512;
    void push(FatEntry* entry);
    // Removes and frees the last entry.
    void drop_last();
    FatEntry** data();
    size_t size() const { return m_count; }
    FatEntry* back() const { return m_count ? m_items[m_count - 1] : nullptr; }

private:
    FatEntry** m_items = nullptr;
    size_t m_count = 0;
    size_t m_capacity = 0;
};

// Frees every record of a zero-terminated array and the array itself.
void free_entry_array(FatEntry** entries);

} // namespace fsprobe::fat
