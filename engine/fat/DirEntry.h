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
