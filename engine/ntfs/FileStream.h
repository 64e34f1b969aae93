// One file's unnamed $DATA read in order, chunk by chunk: the stream behind
// the data exports of both the deleted-file and the format recovery.
#pragma once

#include "Ntfs.h"

namespace fsprobe::ntfs {

class FileStream {
public:
    // `map` says where the clusters of a non-resident value lie.
    FileStream(ContextPtr data, const ClusterMap& map)
        : m_data(std::move(data))
        , m_map(map)
    {
    }

    // The first chunk: min(length, size) bytes from byte 0. NTFS_DATA_END for
    // an empty value, NTFS_DATA_NO_DATA when the disk delivered nothing.
    u32 first(void* buffer, u32 length);
    // The next chunk from the read position; the last one may be short.
    u32 next(void* buffer, u32 length);
    // The next read starts again at byte 0.
    void rewind() { m_position = 0; }

private:
    ContextPtr m_data;
    ClusterMap m_map;
    u64 m_position = 0;
};

} // namespace fsprobe::ntfs
