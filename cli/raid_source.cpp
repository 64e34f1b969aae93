// salvor-cli --raid: member images assembled into a virtual volume.
#include "raid_source.h"
#include "output.h"
#include "raid_detect.h"

#include <fsprobe/raid.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

namespace salvor::cli {

namespace {

// A decimal number of at most `max`; false for anything else.
bool parse_number(const std::string& text, uint64_t max, uint64_t& out)
{
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = std::stoull(text);
    return out <= max;
}

} // namespace

bool parse_raid_option(const std::string& text, RaidOption& option, std::string& error)
{
    option = RaidOption {};
    if (text == "auto") {
        option.automatic = true;
        return true;
    }
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    const std::string usage = "--raid takes LEVEL:LAYOUT:STRIPE:FIRST (for example 1:0:128:63) or auto";
    if (parts.size() != 4) {
        error = usage;
        return false;
    }
    uint64_t level = 0, layout = 0, stripe = 0, first = 0;
    if (!parse_number(parts[0], 1, level)) {
        error = "--raid: the level is 0 (striping) or 1 (striping with parity, RAID 5)";
        return false;
    }
    if (!parse_number(parts[1], BG_RAID_NO_PARITY, layout)) {
        error = "--raid: the layout code is 0 to 5 for level 1, 6 for level 0";
        return false;
    }
    if (!parse_number(parts[2], UINT32_MAX, stripe)) {
        error = "--raid: the stripe size is a number of sectors";
        return false;
    }
    if (!parse_number(parts[3], UINT32_MAX, first)) {
        error = "--raid: the first sector is a sector number below 2^32";
        return false;
    }
    option.level = uint8_t(level);
    option.layout = uint32_t(layout);
    option.stripe = uint32_t(stripe);
    option.first = uint32_t(first);
    return true;
}

bool parse_raid_member(const std::string& text, RaidMember& member, std::string& error)
{
    member = RaidMember {};
    if (text == "missing") {
        member.missing = true;
        return true;
    }
    member.path = text;
    const size_t at = text.find_last_of('@');
    if (at != std::string::npos && at > 0) {
        const std::string tail = text.substr(at + 1);
        uint64_t sector = 0;
        if (!tail.empty() && tail.find_first_not_of("0123456789") == std::string::npos) {
            if (!parse_number(tail, UINT64_MAX / 65536, sector)) {
                error = "member " + shown(text) + ": the sector after @ is too large";
                return false;
            }
            member.path = text.substr(0, at);
            member.windowed = true;
            member.sector = sector;
        }
    }
    if (member.path.empty()) {
        error = "an empty member name";
        return false;
    }
    return true;
}

std::vector<std::string> raid_member_paths(const std::vector<std::string>& members)
{
    std::vector<std::string> out;
    for (const auto& text : members) {
        RaidMember m;
        std::string error;
        if (parse_raid_member(text, m, error) && !m.missing)
            out.push_back(m.path);
    }
    return out;
}

RaidSource::~RaidSource()
{
    if (m_open)
        RAID_exit();
}

BgVolume* RaidSource::Open(const RaidOption& option, const std::vector<std::string>& members, int volume_index,
                           std::string& error)
{
    if (option.automatic)
        return OpenDetected(members, volume_index, error);
    if (members.size() > BG_RAID_MAX_MEMBERS) {
        error = "the array has " + std::to_string(members.size()) + " members; at most " +
                std::to_string(BG_RAID_MAX_MEMBERS) + " are supported";
        return nullptr;
    }
    if (members.size() < 2) {
        error = "an array needs at least 2 members (write 'missing' for a missing one)";
        return nullptr;
    }
    std::vector<RaidMember> parsed(members.size());
    std::set<std::string> named;
    bool windowed = false;
    for (size_t i = 0; i < members.size(); ++i) {
        if (!parse_raid_member(members[i], parsed[i], error))
            return nullptr;
        if (parsed[i].missing)
            continue;
        if (!named.insert(parsed[i].path).second) {
            error = "member " + shown(parsed[i].path) + " is named twice";
            return nullptr;
        }
        windowed |= parsed[i].windowed;
    }

    bg_set_real_disks(0);
    bg_clear_images();
    for (const auto& m : parsed) {
        if (m.missing)
            continue;
        if (int32_t err = bg_add_image(m.path.c_str())) {
            error = "cannot open " + shown(m.path) + ": " + open_error_text(m.path, err);
            return nullptr;
        }
    }
    bg_scan_disks();
    bg_scan_volumes();
    std::vector<BgReader*> disks;
    for (BgDiskNode* d = bg_disk_list; d; d = d->next)
        disks.push_back(d->disk);
    std::vector<BgReader*> readers(parsed.size(), BG_RAID_MISSING);
    size_t next = 0;
    for (size_t i = 0; i < parsed.size(); ++i) {
        if (parsed[i].missing)
            continue;
        if (next >= disks.size()) {
            error = "cannot open " + shown(parsed[i].path);
            return nullptr;
        }
        BgReader* disk = disks[next++];
        if (int32_t err = bg_last_error(disk)) {
            error = "cannot read " + shown(parsed[i].path) + ": " + std::strerror(err);
            return nullptr;
        }
        readers[i] = disk;
    }
    if (windowed) {
        // Members whose data starts at different sectors: each is read from
        // its own sector on, all cut to the shortest's length.
        uint64_t common = UINT64_MAX;
        for (size_t i = 0; i < parsed.size(); ++i) {
            if (parsed[i].missing)
                continue;
            const uint64_t size = bg_object_size(readers[i]);
            const uint64_t offset = parsed[i].sector * readers[i]->bytes_per_sector;
            if (offset >= size) {
                error = "member " + shown(members[i]) + ": sector " + std::to_string(parsed[i].sector) +
                        " lies beyond its end";
                return nullptr;
            }
            common = std::min(common, size - offset);
        }
        for (size_t i = 0; i < parsed.size(); ++i) {
            if (parsed[i].missing)
                continue;
            const uint64_t offset = parsed[i].sector * readers[i]->bytes_per_sector;
            readers[i] = bg_open_window(readers[i], offset, common);
            if (!readers[i]) {
                error = "cannot read " + shown(members[i]);
                return nullptr;
            }
        }
    }

    std::memset(&m_params, 0, sizeof m_params);
    m_params.level = option.level;
    m_params.member_count = uint16_t(parsed.size());
    m_params.first_sector = option.first;
    m_params.layout = option.layout;
    m_params.stripe_size = option.stripe;
    for (size_t i = 0; i < readers.size(); ++i)
        m_params.members[i] = readers[i];
    if (Professional_Mode(&m_params) != 1) {
        error = std::string("cannot assemble the array: ") + raid_last_failure();
        return nullptr;
    }
    m_open = true;
    BgVolume* array = m_params.volume;
    BgVolume* parts[64] {};
    const uint32_t count = std::min<uint32_t>(bg_virtual_partitions(array, parts, 64), 64);
    if (count == 0) {
        if (volume_index > 0) {
            error = "the array holds no partition table, so no volume " + std::to_string(volume_index);
            return nullptr;
        }
        return array;
    }
    if (volume_index < 0) {
        if (count == 1)
            return parts[0];
        error = "the array holds " + std::to_string(count) + " volumes: choose one with --volume N";
        return nullptr;
    }
    if (uint32_t(volume_index) >= count) {
        error = "the array has no volume " + std::to_string(volume_index) + " (it holds " + std::to_string(count) +
                ")";
        return nullptr;
    }
    return parts[volume_index];
}

BgVolume* RaidSource::OpenDetected(const std::vector<std::string>& members, int volume_index, std::string& error)
{
    std::vector<std::string> paths;
    for (const auto& text : members) {
        RaidMember m;
        if (!parse_raid_member(text, m, error))
            return nullptr;
        if (m.windowed) {
            error = "--raid auto takes the members as they are: " + shown(text) + " names a sector";
            return nullptr;
        }
        paths.push_back(m.missing ? std::string("missing") : m.path);
    }
    std::vector<BgReader*> readers;
    const Detection found = detect_layouts(paths, readers);
    bg_release_devices();
    if (!found.error.empty()) {
        error = found.error;
        return nullptr;
    }
    if (found.layouts.empty()) {
        error = "--raid auto found no layout";
        for (size_t i = 0; i < found.reasons.size(); ++i)
            error += (i ? "; " : ": ") + found.reasons[i];
        return nullptr;
    }
    // The first layout found (the metadata's before the content's), with
    // the members in its column order; members that start the array at
    // different sectors are each read from their own.
    const DetectedLayout& best = found.layouts.front();
    // A first sector past 32 bits does not fit the layout record: such
    // members are read through windows as well.
    const uint64_t shared = best.common_start();
    const uint64_t common = shared < UINT32_MAX ? shared : UINT64_MAX;
    RaidOption chosen;
    chosen.level = best.level;
    chosen.layout = best.layout;
    chosen.stripe = best.stripe_size;
    chosen.first = common == UINT64_MAX ? 0 : uint32_t(common);
    std::vector<std::string> ordered;
    std::string shown_members;
    for (int m : best.order) {
        if (m < 0 || size_t(m) >= paths.size()) {
            error = "--raid auto: the layout found leaves a column without a member";
            return nullptr;
        }
        std::string entry = paths[size_t(m)];
        if (entry != "missing" && common == UINT64_MAX)
            entry += "@" + std::to_string(best.member_start[size_t(m)]);
        shown_members += " " + shown(entry);
        ordered.push_back(std::move(entry));
    }
    std::fprintf(stderr, "salvor-cli: --raid auto (%s): --raid %u:%u:%u:%u%s\n", best.method.c_str(),
                 unsigned(chosen.level), unsigned(chosen.layout), unsigned(chosen.stripe), unsigned(chosen.first),
                 shown_members.c_str());
    return Open(chosen, ordered, volume_index, error);
}

} // namespace salvor::cli
