// Feeds arbitrary bytes to the LDM parsers: as a database area (the input
// repeated over the 1 MiB, so that records refer to each other), as a
// private header, and as a whole member disk through bg_probe_member.
#include <ondisk/ldm.h>

#include <blockgate/member.h>

#include <cstdint>
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
    if (size == 0)
        return 0;
    std::vector<uint8_t> area(ldm::database_size);
    // The first 64 KiB at the VMDB's usual place, then the input again and again.
    for (size_t i = 0; i < area.size(); ++i)
        area[i] = data[i % size];
    std::memcpy(&area[ldm::vmdb_sector_in_database * 512], data, std::min<size_t>(size, 65536));
    if (auto db = ldm::parse_database(ByteView(area.data(), area.size()))) {
        for (const auto& p : db->partitions)
            (void)db->disk_with_id(p.disk_id);
        for (const auto& d : db->disks)
            (void)db->disk_with_guid(d.guid);
    }
    (void)ldm::parse_private_header(ByteView(data, size));

    // The input as the start of a 2 MiB member whose end repeats it.
    std::vector<uint8_t> disk(2u << 20);
    std::memcpy(disk.data(), data, std::min(size, disk.size()));
    std::memcpy(disk.data() + disk.size() - std::min(size, disk.size()), data, std::min(size, disk.size()));
    MemoryMember m;
    m.reader.read = read_memory;
    m.reader.size = size_memory;
    m.reader.bytes_per_sector = size > 2 && (data[1] & 1) ? 4096 : 512;
    m.data = disk.data();
    m.size = disk.size();
    BgMemberLocation loc;
    if (bg_probe_member(&m.reader, &loc)) {
        (void)loc.database_offset;
    }
    return 0;
}
