// An open NTFS volume: its geometry from the boot sector, record 0 of its MFT
// and the map of the MFT, and reads of records and attribute values.
#pragma once

#include "Ntfs.h"

namespace fsprobe::ntfs {

struct Geometry {
    u32 bytes_per_sector = 512;
    u32 cluster_size = 0; // 0: no volume open
    u32 record_size = 0;
    u32 index_record_size = 0;
};

class Volume {
public:
    // Whether `device` is presented as an NTFS volume at all.
    static bool accepts(const BgVolume* device)
    {
        return device && device->fs_code == BG_FS_NTFS && device->boot_sector && device->reader;
    }

    // Reads the boot sector's geometry and the MFT map from record 0. False,
    // with the volume closed, for another file system, a geometry no NTFS
    // volume has, an unreadable record 0 or one without its $DATA.
    bool open(BgVolume* device);
    void close();

    bool is_open() const { return m_geometry.cluster_size != 0 && m_mft; }
    BgVolume* device() const { return m_device; }
    const Geometry& geometry() const { return m_geometry; }
    u32 cluster_size() const { return m_geometry.cluster_size; }
    u32 record_size() const { return m_geometry.record_size; }
    // The $DATA of record 0: where every record of the MFT lies.
    const Context* mft() const { return m_mft.get(); }
    ClusterMap clusters() const { return { m_device, m_geometry.cluster_size, 0 }; }

    u32 read(void* buf, u64 count, u64 offset) const { return read_device(m_device, buf, count, offset); }
    u64 read_attribute(Context& ctx, u64 offset, void* buf, u64 length) const
    {
        return ntfs::read_attribute(ctx, offset, buf, length, clusters());
    }
    // Reads bytes of the MFT at a byte offset within it.
    u64 read_mft(u64 offset, void* buf, u64 length) { return m_mft ? read_attribute(*m_mft, offset, buf, length) : 0; }
    // Reads `size` bytes at record `number` of the MFT and fixes up the first
    // record in them. False on a short read or a failed fix-up.
    bool read_mft_record(u64 number, u8* buf, size_t size);
    // Looks an attribute up in record `number` (a buffer of the record size),
    // following its attribute list through this volume.
    ContextPtr find_attribute(const u8* record, u64 number, u32 type, const char16_t* name);

private:
    BgVolume* m_device = nullptr;
    u8 m_boot[512] {};
    Geometry m_geometry;
    std::vector<u8> m_record0;
    ContextPtr m_mft;
};

} // namespace fsprobe::ntfs
