// An in-memory disk or volume object, for unit tests and fuzz harnesses that
// feed engines with byte arrays instead of files.
#pragma once

#include <blockgate/blockgate.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace salvor_test {

class MemoryVolume {
public:
    explicit MemoryVolume(std::vector<uint8_t> bytes, int32_t fs_code = BG_FS_UNKNOWN, uint32_t bytes_per_sector = 512)
        : m_bytes(std::move(bytes))
    {
        std::memset(&m_reader, 0, sizeof m_reader);
        std::memset(&m_volume, 0, sizeof m_volume);
        m_reader.disk_number = 0;
        m_reader.name = "memory";
        m_reader.write = &MemoryVolume::write_op;
        m_reader.read = &MemoryVolume::read_op;
        m_reader.size = &MemoryVolume::size_op;
        m_reader.commit = &MemoryVolume::commit_op;
        m_reader.tracks_per_cylinder = 255;
        m_reader.sectors_per_track = 63;
        m_reader.bytes_per_sector = bytes_per_sector;
        uint64_t sectors = m_bytes.size() / bytes_per_sector;
        m_reader.cylinders = (sectors + 255 * 63 - 1) / (255 * 63);
        m_reader.handle = -1;
        m_reader.stream_flag = &m_flag;
        m_reader.impl = this;
        m_boot.assign(512, 0);
        if (!m_bytes.empty())
            std::memcpy(m_boot.data(), m_bytes.data(), std::min<size_t>(512, m_bytes.size()));
        m_volume.size = m_bytes.size();
        m_volume.fs_code = fs_code;
        m_volume.drive_letter = '?';
        m_volume.reader = &m_reader;
        m_volume.boot_sector = m_boot.data();
    }
    MemoryVolume(const MemoryVolume&) = delete;
    MemoryVolume& operator=(const MemoryVolume&) = delete;

    BgVolume* volume() { return &m_volume; }
    BgReader* reader() { return &m_reader; }
    std::vector<uint8_t>& bytes() { return m_bytes; }
    // Writes are refused unless allowed (an engine must not write by accident).
    void allow_writes(bool allow) { m_writable = allow; }
    size_t writes() const { return m_writes; }

private:
    static MemoryVolume* self(BgReader* r) { return static_cast<MemoryVolume*>(r->impl); }
    static uint32_t read_op(BgReader* r, void* buf, uint32_t count, uint64_t offset)
    {
        auto* s = self(r);
        if (offset >= s->m_bytes.size())
            return 0;
        uint64_t n = std::min<uint64_t>(count, s->m_bytes.size() - offset);
        std::memcpy(buf, s->m_bytes.data() + offset, n);
        return uint32_t(n);
    }
    static uint32_t write_op(BgReader* r, const void* buf, uint32_t count, uint64_t offset)
    {
        auto* s = self(r);
        ++s->m_writes;
        if (!s->m_writable || offset >= s->m_bytes.size())
            return 0;
        uint64_t n = std::min<uint64_t>(count, s->m_bytes.size() - offset);
        std::memcpy(s->m_bytes.data() + offset, buf, n);
        return uint32_t(n);
    }
    static uint64_t size_op(BgReader* r) { return self(r)->m_bytes.size(); }
    static int32_t commit_op(BgReader*) { return 1; }

    std::vector<uint8_t> m_bytes;
    std::vector<uint8_t> m_boot;
    BgReader m_reader;
    BgVolume m_volume;
    uint8_t m_flag = 1;
    bool m_writable = false;
    size_t m_writes = 0;
};

} // namespace salvor_test
