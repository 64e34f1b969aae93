// The NTFS engine: which volume is open and which file is being streamed.

#include "Engine.h"

#include <cstring>

namespace fsprobe::ntfs {

bool Engine::open(BgVolume* device)
{
    if (!Volume::accepts(device)) {
        m_volume.open(device); // refused: leaves no volume open
        return false;
    }
    m_device = device;
    m_stream.reset();
    m_file_key.reset();
    m_format_key.reset();
    return m_volume.open(device);
}

void Engine::close()
{
    m_file_key.reset();
    m_format_key.reset();
    m_listing = nullptr;
    m_stream.reset();
    m_volume.close();
    m_format.clear();
}

void Engine::free_file_info(NtfsFileInfo* head)
{
    ntfs::free_file_info(head);
    m_listing = nullptr;
}

NtfsFormatInfo* Engine::search_format(BgVolume* device)
{
    if (device && device->reader)
        m_device = device;
    return m_format.search(device);
}

void Engine::free_format_info(NtfsFormatInfo* head)
{
    ntfs::free_format_info(head);
    m_format.forget_directories();
}

u32 Engine::read_file(u32 low, u32 high, void* buffer, u32 length)
{
    if (!buffer)
        return NTFS_DATA_NO_DATA;
    const u64 key = (u64(high) << 32) | low;
    if (m_file_key == key)
        return m_stream ? m_stream->next(buffer, length) : NTFS_DATA_NO_DATA;
    m_file_key = key;
    if (m_device && m_device->reader && m_device->reader->stream_flag)
        *m_device->reader->stream_flag = 0;
    m_stream.reset();
    if (!m_volume.is_open())
        return NTFS_DATA_NO_RECORD;
    std::vector<u8> rec(m_volume.record_size());
    if (!m_volume.read_mft_record(low, rec.data(), rec.size()))
        return NTFS_DATA_NO_RECORD;
    ContextPtr data = m_volume.find_attribute(rec.data(), low, NTFS_AT_DATA, u"");
    if (!data)
        return NTFS_DATA_NO_DATA;
    m_stream = std::make_unique<FileStream>(std::move(data), m_volume.clusters());
    return m_stream->first(buffer, length);
}

u32 Engine::read_format_file(const NtfsFormatInfo* record, void* buffer, u32 length)
{
    if (!record || !buffer)
        return NTFS_DATA_NO_DATA;
    const std::optional<ClusterMap> map = m_format.clusters_of(record);
    if (!map)
        return NTFS_DATA_NO_DATA;
    const u64 position = record->position; // a packed field: read it once
    if (m_format_key == position)
        return m_stream ? m_stream->next(buffer, length) : NTFS_DATA_NO_DATA;
    constexpr size_t kRecord = 1024;
    u8 rec[kRecord];
    if (read_device(map->device, rec, kRecord, position) != kRecord)
        return NTFS_DATA_NO_DATA;
    // A torn record is used as read.
    u8 fixed[kRecord];
    std::memcpy(fixed, rec, kRecord);
    if (apply_fixup(fixed, kRecord, 512))
        std::memcpy(rec, fixed, kRecord);
    m_stream.reset();
    m_file_key.reset();
    FindOptions opts;
    opts.record_size = kRecord;
    ContextPtr data = find_attribute(rec, NTFS_AT_DATA, u"", opts);
    if (!data)
        return NTFS_DATA_NO_DATA;
    m_format_key = position;
    m_stream = std::make_unique<FileStream>(std::move(data), *map);
    return m_stream->first(buffer, length);
}

bool Engine::cluster_in_use(BgVolume* device, i32 n)
{
    if (m_volume.cluster_size() == 0 || n < 0)
        return false;
    close();
    if (!open(device))
        return false;
    std::vector<u8> rec(m_volume.record_size());
    if (!m_volume.read_mft_record(6, rec.data(), rec.size()))
        return false;
    ContextPtr data = m_volume.find_attribute(rec.data(), 6, NTFS_AT_DATA, u"");
    if (!data)
        return false;
    // One bit per cluster, least significant bit first.
    u8 byte = 0;
    bool ok = u64(n) / 8 < data->data_size && m_volume.read_attribute(*data, u64(n) / 8, &byte, 1) == 1;
    return ok && (byte >> (n % 8)) & 1;
}

} // namespace fsprobe::ntfs
