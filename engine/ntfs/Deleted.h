// Deleted-file search over the MFT of an open volume, the parent of a record
// and directory listings from $I30 indexes.
#pragma once

#include "Volume.h"

namespace fsprobe::ntfs {

// Every record not in use and not a directory with a name and an unnamed
// $DATA, as a list the caller frees with free_file_info. Drives bg_progress.
NtfsFileInfo* find_deleted_files(Volume& volume);

// The parent reference of record `number` and the parent's flags and name.
// 1 on success, 0 when either record cannot be read or has no name.
int32_t name_parent(Volume& volume, u32 number, NtfsNameParent* out);

// The whole $FILE_NAME name of record `number`; see Ntfs_Get_FullName.
u32 full_name(Volume& volume, u32 number, char16_t* out, u32 capacity);

// Appends the entries of directory `number` to the listing that `listing`
// heads (null: a new one). False without an index root, or when a large
// index lacks its allocation or bitmap.
bool list_directory(Volume& volume, u32 number, NtfsFileInfo*& listing);

// The size of record (low, high): from the list when it holds the record,
// else from the record's unnamed $DATA.
u64 file_size(Volume& volume, u32 low, u32 high, const NtfsFileInfo* head);

void free_file_info(NtfsFileInfo* head);

} // namespace fsprobe::ntfs
