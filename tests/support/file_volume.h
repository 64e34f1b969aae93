// A read-only volume object over a file (or a byte range of one), independent
// of the device scan: engine tests open fixture images with it directly.
#pragma once

#include <blockgate/blockgate.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace salvor_test {

class FileVolume {
public:
    // The volume covers [start, start + length) of the file; length 0 means to
    // the end of the file.
    explicit FileVolume(const std::string& path, int32_t fs_code = BG_FS_UNKNOWN, uint64_t start = 0,
                        uint64_t length = 0, uint32_t bytes_per_sector = 512)
        : m_path(path)
        , m_start(start)
    {
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0)
            throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
        struct stat st {};
        ::fstat(m_fd, &st);
        uint64_t file_size = uint64_t(st.st_size);
        m_length = length ? length : (file_size > start ? file_size - start : 0);
        std::memset(&m_reader, 0, sizeof m_reader);
        std::memset(&m_volume, 0, sizeof m_volume);
        m_reader.name = m_path.c_str();
        m_reader.write = &FileVolume::write_op;
        m_reader.read = &FileVolume::read_op;
        m_reader.size = &FileVolume::size_op;
        m_reader.commit = &FileVolume::commit_op;
        m_reader.tracks_per_cylinder = 255;
        m_reader.sectors_per_track = 63;
        m_reader.bytes_per_sector = bytes_per_sector;
        m_reader.cylinders = (m_length / bytes_per_sector + 255 * 63 - 1) / (255 * 63);
        m_reader.handle = m_fd;
        m_reader.stream_flag = &m_flag;
        m_reader.impl = this;
        m_boot.assign(512, 0);
        read_op(&m_reader, m_boot.data(), 512, 0);
        m_volume.size = m_length;
        m_volume.fs_code = fs_code;
        m_volume.drive_letter = '?';
        m_volume.reader = &m_reader;
        m_volume.boot_sector = m_boot.data();
        m_volume.start = start;
    }
    ~FileVolume()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileVolume(const FileVolume&) = delete;
    FileVolume& operator=(const FileVolume&) = delete;

    BgVolume* volume() { return &m_volume; }
    BgReader* reader() { return &m_reader; }
    uint64_t bytes_read() const { return m_bytes_read; }
    uint64_t reads() const { return m_reads; }

private:
    static FileVolume* self(BgReader* r) { return static_cast<FileVolume*>(r->impl); }
    static uint32_t read_op(BgReader* r, void* buf, uint32_t count, uint64_t offset)
    {
        auto* s = self(r);
        if (offset >= s->m_length)
            return 0;
        uint64_t want = std::min<uint64_t>(count, s->m_length - offset);
        uint64_t done = 0;
        while (done < want) {
            ssize_t n = ::pread(s->m_fd, static_cast<uint8_t*>(buf) + done, want - done, off_t(s->m_start + offset + done));
            if (n <= 0)
                break;
            done += uint64_t(n);
        }
        ++s->m_reads;
        s->m_bytes_read += done;
        return uint32_t(done);
    }
    // Fixture volumes are never written.
    static uint32_t write_op(BgReader*, const void*, uint32_t, uint64_t) { return 0; }
    static uint64_t size_op(BgReader* r) { return self(r)->m_length; }
    static int32_t commit_op(BgReader*) { return 0; }

    std::string m_path;
    int m_fd = -1;
    uint64_t m_start = 0;
    uint64_t m_length = 0;
    std::vector<uint8_t> m_boot;
    BgReader m_reader;
    BgVolume m_volume;
    uint8_t m_flag = 1;
    uint64_t m_reads = 0;
    uint64_t m_bytes_read = 0;
};

} // namespace salvor_test
