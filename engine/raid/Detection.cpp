#include "Detection.h"

#include <algorithm>

namespace fsprobe::raid {

uint64_t Candidate::common_start() const
{
    uint64_t start = no_start;
    for (uint64_t s : member_start) {
        if (s == no_start)
            continue;
        if (start != no_start && s != start)
            return no_start;
        start = s;
    }
    return start;
}

uint32_t Candidate::columns() const
{
    return uint32_t(std::count_if(order.begin(), order.end(), [](uint8_t m) { return m != 0xFF; }));
}

MemberSet MemberSet::from(const RaidParams& params)
{
    MemberSet set;
    set.level = params.level;
    const uint32_t count = std::min<uint32_t>(params.member_count, BG_RAID_MAX_MEMBERS);
    for (uint32_t i = 0; i < count && params.members[i]; ++i)
        set.members.push_back(params.members[i] == BG_RAID_MISSING ? nullptr : params.members[i]);
    return set;
}

int MemberSet::missing_index() const
{
    auto it = std::find(members.begin(), members.end(), nullptr);
    return it == members.end() ? -1 : int(it - members.begin());
}

int MemberSet::missing_count() const
{
    return int(std::count(members.begin(), members.end(), nullptr));
}

} // namespace fsprobe::raid
