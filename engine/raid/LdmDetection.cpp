// Method 1 of the layout detection: the Logical Disk Manager database that
// every dynamic disk of a disk group carries.
#include "Detection.h"

#include <blockgate/member.h>
#include <fsprobe/common/failure.h>

#include <ondisk/ldm.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace fsprobe::raid {

namespace {

namespace ldm = ondisk::ldm;

struct MemberDatabase {
    BgMemberLocation location {};
    std::string guid;
    std::optional<ldm::Database> database;
};

std::optional<MemberDatabase> read_member(BgReader* member)
{
    MemberDatabase m;
    if (!bg_probe_member(member, &m.location) || m.location.database_offset == 0)
        return std::nullopt;
    m.guid = ldm::normalise_guid(ondisk::ByteView(reinterpret_cast<const uint8_t*>(m.location.disk_guid),
                                                  sizeof m.location.disk_guid));
    std::vector<uint8_t> area(ldm::database_size);
    if (member->read(member, area.data(), uint32_t(area.size()), m.location.database_offset) != area.size())
        return m;
    m.database = ldm::parse_database(ondisk::ByteView(area.data(), area.size()));
    return m;
}

const char* volume_type_for(uint8_t level) { return level == BG_RAID_LEVEL_STRIPE ? "gen" : "raid5"; }

uint8_t component_type_for(uint8_t level)
{
    return level == BG_RAID_LEVEL_STRIPE ? ldm::component_stripe : ldm::component_raid5;
}

// The layouts of one database's volumes over the given members.
std::vector<Candidate> judge_database(const MemberSet& set, const ldm::Database& db,
                                      const std::vector<std::optional<MemberDatabase>>& members,
                                      std::string& reason)
{
    std::vector<Candidate> out;
    const size_t n = set.members.size();
    // The disk record of every present member, by its private header's GUID.
    std::vector<std::optional<uint64_t>> disk_id(n);
    for (size_t j = 0; j < n; ++j)
        if (members[j])
            if (const ldm::DiskRecord* d = db.disk_with_guid(members[j]->guid))
                disk_id[j] = d->id;

    bool any_volume = false;
    for (const ldm::VolumeRecord& volume : db.volumes) {
        if (volume.type != volume_type_for(set.level))
            continue;
        std::vector<const ldm::ComponentRecord*> components;
        for (const auto& c : db.components)
            if (c.parent_id == volume.id)
                components.push_back(&c);
        // A mirror has two components, a simple or spanned volume a
        // component that is no stripe: neither is an array of this level.
        if (components.size() != 1 || components[0]->type != component_type_for(set.level))
            continue;
        const ldm::ComponentRecord& component = *components[0];
        any_volume = true;
        if (component.columns < 2 || component.columns > BG_RAID_MAX_MEMBERS || component.stripe_size == 0
            || component.stripe_size > BG_RAID_MAX_STRIPE_SECTORS) {
            reason = "the database's volume " + volume.name + " has an unusable stripe size or column count";
            continue;
        }
        if (component.columns != n)
            continue; // the volume is not made of the given members
        std::vector<const ldm::PartitionRecord*> partitions;
        for (const auto& p : db.partitions)
            if (p.parent_id == component.id)
                partitions.push_back(&p);
        if (partitions.size() != component.columns) {
            reason = "the database's volume " + volume.name + " lists " + std::to_string(partitions.size())
                     + " partitions for " + std::to_string(component.columns) + " columns";
            continue;
        }

        Candidate c;
        c.order.fill(0xFF);
        c.member_start.assign(n, no_start);
        c.stripe_size = uint32_t(component.stripe_size);
        // Windows writes its RAID-5 volumes left symmetric, and only so.
        c.layout = set.level == BG_RAID_LEVEL_STRIPE ? BG_RAID_NO_PARITY : BG_RAID_LEFT_SYMMETRIC;
        c.volume_name = volume.name;
        std::vector<bool> used(n, false);
        int unplaced_column = -1;
        bool usable = true;
        for (const ldm::PartitionRecord* p : partitions) {
            // Windows stores no index for column 0.
            const uint64_t column = p->index.value_or(0);
            if (column >= component.columns || c.order[column] != 0xFF) {
                usable = false;
                break;
            }
            size_t j = 0;
            while (j < n && !(disk_id[j] && *disk_id[j] == p->disk_id))
                ++j;
            if (j == n) {
                if (unplaced_column >= 0) {
                    usable = false;
                    break;
                }
                unplaced_column = int(column);
                continue;
            }
            if (used[j]) {
                usable = false;
                break;
            }
            const BgMemberLocation& loc = members[j]->location;
            const uint64_t start = p->start + loc.data_offset / loc.bytes_per_sector;
            if (start < p->start) {
                usable = false;
                break;
            }
            used[j] = true;
            c.order[column] = uint8_t(j);
            c.member_start[j] = start;
        }
        if (!usable)
            continue;
        if (unplaced_column >= 0) {
            // Level 1 rebuilds one column: the member given as missing.
            if (set.level != BG_RAID_LEVEL_PARITY || set.missing_count() != 1)
                continue;
            c.order[unplaced_column] = uint8_t(set.missing_index());
        }
        out.push_back(std::move(c));
    }
    if (out.empty() && reason.empty())
        reason = any_volume ? std::string("no ") + (set.level ? "RAID-5" : "striped")
                                  + " volume of the dynamic-disk database lies on the given members"
                            : std::string("the dynamic-disk database holds no ") + (set.level ? "RAID-5" : "striped")
                                  + " volume";
    return out;
}

} // namespace

std::vector<Candidate> detect_from_metadata(const MemberSet& set)
{
    const size_t n = set.members.size();
    std::vector<std::optional<MemberDatabase>> members(n);
    bool any = false;
    for (size_t j = 0; j < n; ++j) {
        if (!set.members[j])
            continue;
        members[j] = read_member(set.members[j]);
        any |= members[j] && members[j]->database;
    }
    if (!any) {
        fail("no member holds a readable dynamic-disk database");
        return {};
    }
    // Every disk of the group carries the whole database: the first member
    // whose copy yields the layout decides.
    std::string reason;
    for (size_t j = 0; j < n; ++j) {
        if (!members[j] || !members[j]->database)
            continue;
        auto found = judge_database(set, *members[j]->database, members, reason);
        if (!found.empty())
            return found;
    }
    fail(reason);
    return {};
}

} // namespace fsprobe::raid
