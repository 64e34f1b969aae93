// Feeds arbitrary bytes to the LDM parsers: as a database (a VMDB and its
// records), as a private header, and as the start and end of a member disk
// through bg_probe_member.
#include <ondisk/ldm.h>

#include <blockgate/member.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

namespace {

struct MemoryMember {
    BgReader reader {};
    const uint8_t* data = nullptr;
    size_t size = 0;
};

uint32_t read_memory(BgReader* self, void* buffer, uint32_t count, uint64_t offset)
{
    auto* m = reinterpret_cast<MemoryMember*>(self);
    if (offset >= m->size)
        return 0;
    const uint64_t n = count < m->size - offset ? count : m->size - offset;
    std::memcpy(buffer, m->data + offset, n);
    return uint32_t(n);
}

uint64_t size_memory(BgReader* self) { return reinterpret_cast<MemoryMember*>(self)->size; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace ondisk;
    // The input as a database from its VMDB on (the rest of the area zero).
    static std::vector<uint8_t> area(ldm::database_size);
    const size_t at = ldm::vmdb_sector_in_database * 512;
    const size_t n = std::min(size, area.size() - at);
    std::memcpy(&area[at], data, n);
    if (auto db = ldm::parse_database(ByteView(area.data(), area.size()))) {
        for (const auto& p : db->partitions)
            (void)db->disk_with_id(p.disk_id);
        for (const auto& d : db->disks)
            (void)db->disk_with_guid(d.guid);
    }
    std::memset(&area[at], 0, n);
    (void)ldm::parse_private_header(ByteView(data, size));

    // The input as the start of a 2 MiB member disk and as its last bytes.
    static std::vector<uint8_t> disk(2u << 20);
    const size_t m = std::min<size_t>(size, 64u << 10);
    std::memcpy(disk.data(), data, m);
    std::memcpy(disk.data() + disk.size() - m, data, m);
    MemoryMember member;
    member.reader.read = read_memory;
    member.reader.size = size_memory;
    member.reader.bytes_per_sector = size > 2 && (data[1] & 1) ? 4096 : 512;
    member.data = disk.data();
    member.size = disk.size();
    BgMemberLocation loc;
    (void)bg_probe_member(&member.reader, &loc);
    std::memset(disk.data(), 0, m);
    std::memset(disk.data() + disk.size() - m, 0, m);
    return 0;
}
