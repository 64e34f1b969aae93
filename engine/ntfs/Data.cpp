// File data streaming: one file's value handed out chunk after chunk.

#include "FileStream.h"

#include <algorithm>
#include <cstring>

namespace fsprobe::ntfs {

u32 FileStream::first(void* buffer, u32 length)
{
    m_position = 0;
    u64 want = std::min<u64>(length, m_data->data_size);
    if (want == 0)
        return NTFS_DATA_END;
    if (read_attribute(*m_data, 0, buffer, want, m_map) == 0)
        return NTFS_DATA_NO_DATA;
    // The position moves by the length asked for, as every later call does.
    m_position = length;
    return NTFS_DATA_OK;
}

u32 FileStream::next(void* buffer, u32 length)
{
    Context& ctx = *m_data;
    if (ctx.non_resident) {
        u64 d = ctx.data_size;
        if (m_position >= d)
            return NTFS_DATA_END;
        u64 want = std::min<u64>(length, d - m_position);
        if (read_attribute(ctx, m_position, buffer, want, m_map) == 0)
            return NTFS_DATA_NO_DATA;
        m_position += want;
        return NTFS_DATA_OK;
    }
    u64 v = ctx.data_size;
    if (m_position >= v)
        return NTFS_DATA_END;
    u64 n = std::min<u64>(length, v - m_position);
    std::memcpy(buffer, ctx.value() + m_position, size_t(n));
    m_position += length;
    return NTFS_DATA_OK;
}

} // namespace fsprobe::ntfs
