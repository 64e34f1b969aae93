// File data streaming: the caller names a file by its MFT record number and
// asks for one chunk after another.

#include "Operations.h"

#include <algorithm>
#include <cstring>

namespace fsprobe::ntfs {

// The next chunk of the current file (shared with format recovery).
uint32_t stream_next(void* buffer, uint32_t length)
{
    auto& st = state();
    Context* ctx = st.file;
    if (!ctx)
        return NTFS_DATA_NO_DATA;
    if (ctx->non_resident) {
        u64 d = ctx->data_size;
        if (st.position >= d)
            return NTFS_DATA_END;
        u64 want = std::min<u64>(length, d - st.position);
        if (read_attribute(ctx, st.position, buffer, want) == 0)
            return NTFS_DATA_NO_DATA;
        st.position += want;
        return NTFS_DATA_OK;
    }
    u64 v = ctx->data_size;
    if (st.position >= v)
        return NTFS_DATA_END;
    u64 n = std::min<u64>(length, v - st.position);
    std::memcpy(buffer, ctx->attribute + ctx->value_offset + st.position, size_t(n));
    st.position += length;
    return NTFS_DATA_OK;
}

uint32_t get_data(uint32_t low, uint32_t high, void* buffer, uint32_t length)
{
    auto& st = state();
    if (!buffer)
        return NTFS_DATA_NO_DATA;
    if (low == st.key_low && high == st.key_high)
        return stream_next(buffer, length);
    st.key_low = low;
    st.key_high = high;
    st.position = 0;
    if (st.volume && st.volume->reader && st.volume->reader->stream_flag)
        *st.volume->reader->stream_flag = 0;
    release_context(st.file);
    st.file = nullptr;
    if (st.cluster_size == 0 || st.record_size == 0)
        return NTFS_DATA_NO_RECORD;
    std::vector<u8> rec(st.record_size);
    if (!read_mft_record(low, rec.data(), rec.size()))
        return NTFS_DATA_NO_RECORD;
    FindOptions opts;
    opts.record_size = st.record_size;
    opts.self_number = low;
    Context* data = find_attribute(rec.data(), NTFS_AT_DATA, u"", opts);
    if (!data)
        return NTFS_DATA_NO_DATA;
    st.file = data;
    u64 want = std::min<u64>(length, data->data_size);
    if (want == 0)
        return NTFS_DATA_END;
    if (data->non_resident) {
        if (read_attribute(data, 0, buffer, want) == 0)
            return NTFS_DATA_NO_DATA;
    } else {
        std::memcpy(buffer, data->attribute + data->value_offset, size_t(want));
    }
    st.position = length;
    return NTFS_DATA_OK;
}

int32_t rw_file_set(int32_t type)
{
    auto& st = state();
    if (type == 1)
        st.key_low = st.key_high = 0xFFFFFFFF;
    else if (type == 2)
        st.format_key = kNoKey;
    st.position = 0;
    return 0;
}

uint64_t get_file_size(uint32_t low, uint32_t high, NtfsFileInfo* head)
{
    u64 wanted = (u64(high) << 32) | low;
    size_t guard = 0;
    for (NtfsFileInfo* r = head; r && guard < (size_t(1) << 26); r = r->next, ++guard)
        if (r->record_number == wanted && r->state == 0)
            return r->size;
    auto& st = state();
    if (st.cluster_size == 0 || st.record_size == 0)
        return 0;
    std::vector<u8> rec(st.record_size);
    if (!read_mft_record(low, rec.data(), rec.size()))
        return 0;
    FindOptions opts;
    opts.record_size = st.record_size;
    opts.self_number = low;
    Context* data = find_attribute(rec.data(), NTFS_AT_DATA, u"", opts);
    u64 size = attribute_size(data);
    release_context(data);
    return size;
}

} // namespace fsprobe::ntfs
