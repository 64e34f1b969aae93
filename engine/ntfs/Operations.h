// The operations behind the NTFS exports (see fsprobe/ntfs.h).
#pragma once

#include "Ntfs.h"

namespace fsprobe::ntfs {

// Deleted-file search, parents and listings.
NtfsFileInfo* get_deleted_files();
int32_t get_name_parent(u32 low, NtfsNameParent* out);
u32 full_name(u32 low, char16_t* out, u32 capacity);
bool show_dir(u32 number);
int32_t free_file_info(NtfsFileInfo* head);

// Format recovery.
NtfsFormatInfo* search_format(BgVolume* volume);
NtfsFormatInfo* format_parent(NtfsFormatInfo* record, NtfsNameParent* out);
uint32_t read_format_data(NtfsFormatInfo* record, void* buffer, uint32_t length);
bool bitmap_test(BgVolume* volume, int32_t n);
int32_t free_format_info(NtfsFormatInfo* head);
int32_t format_block_size(const NtfsFormatInfo* record);

// File data.
uint32_t get_data(uint32_t low, uint32_t high, void* buffer, uint32_t length);
int32_t rw_file_set(int32_t type);
uint64_t get_file_size(uint32_t low, uint32_t high, NtfsFileInfo* head);

} // namespace fsprobe::ntfs
