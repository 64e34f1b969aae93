// Fuzz harness: update-sequence fix-up, attribute lookup ($FILE_NAME
// preference, named index attributes, attribute lists without a volume) and
// run-list decoding over one MFT record.

#include "Ntfs.h"

#include <fsprobe/ntfs.h>

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    namespace nt = fsprobe::ntfs;
    std::vector<uint8_t> rec(1024, 0);
    std::memcpy(rec.data(), data, std::min<size_t>(size, rec.size()));
    // The first byte past the record chooses the stride, so 4096-byte
    // sectors are exercised on a 4096-byte record too.
    if (size > 1024 && (data[1024] & 1)) {
        rec.assign(4096, 0);
        std::memcpy(rec.data(), data, std::min<size_t>(size, rec.size()));
        nt::apply_fixup(rec.data(), rec.size(), 4096);
    } else {
        nt::apply_fixup(rec.data(), rec.size(), 512);
    }
    nt::FindOptions opts; // no volume: attribute lists are not followed
    opts.record_size = rec.size();
    static const struct {
        uint32_t type;
        const char16_t* name;
    } lookups[] = { { 0x10, u"" }, { 0x20, u"" }, { 0x30, u"" }, { 0x80, u"" }, { 0x90, u"$I30" }, { 0xA0, u"$I30" }, { 0xB0, u"$I30" } };
    for (const auto& l : lookups) {
        nt::ContextPtr c = nt::find_attribute(rec.data(), l.type, l.name, opts);
        nt::FileName fn;
        nt::read_file_name(c.get(), &fn);
        if (c && !c->non_resident) {
            // Resident reads stay inside the copied value.
            uint8_t buf[64];
            nt::read_attribute(*c, c->data_size / 2, buf, sizeof buf, nt::ClusterMap {});
        }
    }
    Ntfs_Get_MFTID(rec.data());
    // Every position of the input decoded as a run entry, bounded and not.
    std::vector<uint8_t> padded(data, data + size);
    padded.resize(size + 17, 0);
    for (size_t i = 0; i < size; ++i) {
        int64_t off;
        uint64_t len;
        nt::decode_run(data + i, data + size, &off, &len);
        if (padded[i])
            Ntfs_Decode_Run(padded.data() + i, &off, &len);
    }
    return 0;
}
