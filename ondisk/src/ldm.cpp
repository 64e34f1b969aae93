// Logical Disk Manager database parsing. The layouts of the records follow
// the LDM format: a record is a run of variable-length fields (a length byte,
// then that many bytes, numbers big-endian) with fixed gaps between some of
// them, and a record longer than one VBLK is split into fragments that share
// a group number.
#include <ondisk/ldm.h>

#include <algorithm>
#include <map>

namespace ondisk::ldm {

namespace {

// Most fragments a record may have: a volume record with every optional
// field fits in three; anything far above that is damage.
constexpr u32 max_fragments = 16;

// Reads the variable-length fields of one record in order.
class FieldCursor {
public:
    FieldCursor(ByteView record, u64 position)
        : m_record(record)
        , m_position(position)
    {
    }

    bool ok() const { return m_ok; }

    // Skips `count` fixed bytes.
    void skip(u64 count)
    {
        if (!m_ok || !m_record.has(m_position, count))
            m_ok = false;
        else
            m_position += count;
    }

    u8 byte()
    {
        auto v = m_record.u8_at(m_position);
        if (!m_ok || !v) {
            m_ok = false;
            return 0;
        }
        ++m_position;
        return *v;
    }

    u64 fixed64()
    {
        auto v = m_record.be64(m_position);
        if (!m_ok || !v) {
            m_ok = false;
            return 0;
        }
        m_position += 8;
        return *v;
    }

    // A length byte and up to eight bytes of big-endian number.
    u64 number()
    {
        ByteView f = field();
        if (!m_ok || f.size() > 8) {
            m_ok = false;
            return 0;
        }
        u64 v = 0;
        for (size_t i = 0; i < f.size(); ++i)
            v = (v << 8) | f.data()[i];
        return v;
    }

    ByteView bytes(u64 count)
    {
        if (!m_ok || !m_record.has(m_position, count)) {
            m_ok = false;
            return {};
        }
        ByteView f = m_record.slice(m_position, count);
        m_position += count;
        return f;
    }

    std::string text()
    {
        ByteView f = field();
        if (!m_ok)
            return {};
        std::string s(reinterpret_cast<const char*>(f.data()), f.size());
        if (size_t zero = s.find('\0'); zero != std::string::npos)
            s.resize(zero);
        return s;
    }

    ByteView field()
    {
        auto length = m_record.u8_at(m_position);
        if (!m_ok || !length || !m_record.has(m_position + 1, *length)) {
            m_ok = false;
            return {};
        }
        ByteView f = m_record.slice(m_position + 1, *length);
        m_position += 1 + *length;
        return f;
    }

private:
    ByteView m_record;
    u64 m_position;
    bool m_ok = true;
};

std::string guid_from_bytes(ByteView bytes)
{
    static const char hex[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < 16 && i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            s += '-';
        s += hex[bytes.data()[i] >> 4];
        s += hex[bytes.data()[i] & 15];
    }
    return s;
}

std::optional<VolumeRecord> parse_volume(ByteView r)
{
    VolumeRecord v;
    FieldCursor c(r, vblk::fields);
    v.id = c.number();
    v.name = c.text();
    v.type = c.text();
    c.field();   // the "disable driver letter" text
    c.skip(0x15); // state, volume type, number and flags
    v.children = c.number();
    c.skip(0x10); // commit ids
    v.size = c.number();
    c.skip(4);
    v.partition_type = c.byte();
    if (!c.ok())
        return std::nullopt;
    return v;
}

std::optional<ComponentRecord> parse_component(ByteView r)
{
    ComponentRecord v;
    FieldCursor c(r, vblk::fields);
    v.id = c.number();
    v.name = c.text();
    c.field(); // volume state text
    v.type = c.byte();
    c.skip(4);
    v.children = c.number();
    c.skip(0x10); // commit id and an unknown field
    v.parent_id = c.number();
    if (r.u8_or(vblk::flags) & component_flag_striped) {
        c.skip(1);
        v.stripe_size = c.number();
        v.columns = c.number();
    }
    if (!c.ok())
        return std::nullopt;
    return v;
}

std::optional<PartitionRecord> parse_partition(ByteView r)
{
    PartitionRecord v;
    FieldCursor c(r, vblk::fields);
    v.id = c.number();
    v.name = c.text();
    c.skip(0x0C); // unknown and commit id
    v.start = c.fixed64();
    v.volume_offset = c.fixed64();
    v.size = c.number();
    v.parent_id = c.number();
    v.disk_id = c.number();
    if (r.u8_or(vblk::flags) & partition_flag_index)
        v.index = c.number();
    if (!c.ok())
        return std::nullopt;
    return v;
}

std::optional<DiskRecord> parse_disk(ByteView r, u8 type)
{
    DiskRecord v;
    FieldCursor c(r, vblk::fields);
    v.id = c.number();
    v.name = c.text();
    if (type == disk_v3)
        v.guid = normalise_guid(c.field());
    else
        v.guid = guid_from_bytes(c.bytes(16)); // version 4: 16 bytes, no length byte
    if (!c.ok() || v.guid.empty())
        return std::nullopt;
    return v;
}

} // namespace

std::string normalise_guid(ByteView text)
{
    std::string s;
    for (size_t i = 0; i < text.size(); ++i) {
        char ch = char(text.data()[i]);
        if (ch == '\0' || ch == ' ')
            break;
        if (ch >= 'A' && ch <= 'F')
            ch = char(ch - 'A' + 'a');
        s += ch;
    }
    if (s.size() != 36)
        return {};
    for (size_t i = 0; i < s.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const char ch = s[i];
        if (dash ? ch != '-' : !((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f')))
            return {};
    }
    return s;
}

std::optional<PrivateHeader> parse_private_header(ByteView sector)
{
    if (!sector.has(0, privhead::size) || !sector.equals(privhead::signature, "PRIVHEAD", 8))
        return std::nullopt;
    PrivateHeader h;
    h.disk_guid = normalise_guid(sector.slice(privhead::disk_guid, 64));
    h.group_guid = normalise_guid(sector.slice(privhead::group_guid, 64));
    h.data_start = sector.be64_or(privhead::data_start);
    h.data_size = sector.be64_or(privhead::data_size);
    h.config_start = sector.be64_or(privhead::config_start);
    h.config_size = sector.be64_or(privhead::config_size);
    if (h.disk_guid.empty())
        return std::nullopt;
    return h;
}

std::optional<DatabaseHeader> find_database_header(ByteView area)
{
    auto header_at = [&](u64 offset) -> std::optional<DatabaseHeader> {
        ByteView v = area.slice(offset, vmdb::size);
        if (!v.size() || !v.equals(vmdb::signature, "VMDB", 4))
            return std::nullopt;
        DatabaseHeader h;
        h.offset = offset;
        h.last_sequence = v.be32_or(vmdb::last_sequence);
        h.vblk_size = v.be32_or(vmdb::vblk_size);
        h.first_vblk = v.be32_or(vmdb::first_vblk);
        h.volume_count = v.be32_or(vmdb::volume_count);
        h.disk_count = v.be32_or(vmdb::disk_count);
        // A record must hold its header and a few fields; larger than a
        // sector is not a size Windows writes.
        if (h.vblk_size < 0x40 || h.vblk_size > 4096 || h.first_vblk < vmdb::size || h.first_vblk > area.size())
            return std::nullopt;
        return h;
    };
    if (auto h = header_at(vmdb_sector_in_database * 512))
        return h;
    for (u64 offset = 0; offset + 512 <= area.size(); offset += 512)
        if (auto h = header_at(offset))
            return h;
    return std::nullopt;
}

std::optional<Database> parse_database(ByteView area)
{
    auto header = find_database_header(area);
    if (!header)
        return std::nullopt;
    Database db;
    db.header = *header;
    const u64 size = header->vblk_size;
    const u64 data_per_fragment = size - vblk::header_size;

    struct Pieces {
        u32 count = 0;
        std::map<u32, ByteView> fragments;
        bool broken = false;
    };
    std::map<u32, Pieces> groups;
    std::vector<u32> order; // groups in the order their first piece appears
    for (u64 at = header->offset + header->first_vblk; area.has(at, size); at += size) {
        ByteView block = area.slice(at, size);
        if (!block.equals(vblk::signature, "VBLK", 4))
            continue;
        const u32 sequence = block.be32_or(vblk::sequence);
        if (sequence == 0 || sequence > header->last_sequence)
            continue; // not committed
        const u32 group = block.be32_or(vblk::group);
        const u16 index = block.be16_or(vblk::fragment);
        const u16 count = block.be16_or(vblk::fragments);
        if (count == 0)
            continue; // an empty slot
        auto [it, fresh] = groups.try_emplace(group);
        Pieces& p = it->second;
        if (fresh) {
            p.count = count;
            order.push_back(group);
        }
        if (count != p.count || count > max_fragments || index >= count || !p.fragments.emplace(index, block).second)
            p.broken = true;
    }

    std::vector<u8> joined;
    for (u32 group : order) {
        Pieces& p = groups[group];
        if (p.broken || p.fragments.size() != p.count) {
            ++db.corrupt_records;
            continue;
        }
        // The first fragment whole, then the data of the others.
        joined.assign(p.fragments[0].data(), p.fragments[0].data() + size);
        for (u32 k = 1; k < p.count; ++k) {
            const u8* d = p.fragments[k].data() + vblk::header_size;
            joined.insert(joined.end(), d, d + data_per_fragment);
        }
        ByteView r(joined.data(), joined.size());
        const u8 type = r.u8_or(vblk::type);
        bool parsed = true;
        switch (type) {
        case volume_v5:
            if (auto v = parse_volume(r))
                db.volumes.push_back(std::move(*v));
            else
                parsed = false;
            break;
        case component_v3:
            if (auto v = parse_component(r))
                db.components.push_back(std::move(*v));
            else
                parsed = false;
            break;
        case partition_v3:
            if (auto v = parse_partition(r))
                db.partitions.push_back(std::move(*v));
            else
                parsed = false;
            break;
        case disk_v3:
        case disk_v4:
            if (auto v = parse_disk(r, type))
                db.disks.push_back(std::move(*v));
            else
                parsed = false;
            break;
        default:
            break; // disk groups and unknown kinds are not needed
        }
        if (!parsed)
            ++db.corrupt_records;
    }
    return db;
}

const DiskRecord* Database::disk_with_guid(const std::string& guid) const
{
    if (guid.empty())
        return nullptr;
    auto it = std::find_if(disks.begin(), disks.end(), [&](const DiskRecord& d) { return d.guid == guid; });
    return it == disks.end() ? nullptr : &*it;
}

const DiskRecord* Database::disk_with_id(u64 id) const
{
    auto it = std::find_if(disks.begin(), disks.end(), [&](const DiskRecord& d) { return d.id == id; });
    return it == disks.end() ? nullptr : &*it;
}

} // namespace ondisk::ldm
