// C export of the RAID layout detection. Nothing thrown inside may cross the
// C boundary: an exception becomes the export's failure value.
#include <fsprobe/raid.h>

#include "ArraySession.h"
#include "Detection.h"

#include <fsprobe/common/failure.h>

#include <map>
#include <unordered_set>
#include <vector>

using fsprobe::guarded;
using namespace fsprobe::raid;

namespace fsprobe::raid {
FailureReason& failure();
}

namespace {

constexpr uint32_t found_candidates = 0x80000000u;

// Where each member's data starts, for the candidates of the last detection.
std::map<const RaidJudgeInfo*, std::vector<uint64_t>> g_member_starts;

bool in_current_list(const RaidJudgeInfo* candidate)
{
    std::unordered_set<const RaidJudgeInfo*> seen;
    for (const RaidJudgeInfo* c = session().candidates(); c && seen.insert(c).second; c = c->next)
        if (c == candidate)
            return true;
    return false;
}

uint32_t detect(RaidParams* params, int32_t method)
{
    bg_raid_state.store(-1);
    if (!params) {
        fsprobe::fail("no array was given");
        return 0;
    }
    if (method != 1 && method != 2) {
        fsprobe::fail("the detection method is 1 (dynamic-disk metadata) or 2 (content)");
        return 0;
    }
    if (params->level > BG_RAID_LEVEL_PARITY) {
        fsprobe::fail("the level is 0 (striping) or 1 (striping with parity)");
        return 0;
    }
    // The previous candidates go first: a detection that finds nothing
    // leaves no stale list behind.
    session().replace_candidates(nullptr);
    g_member_starts.clear();
    const MemberSet set = MemberSet::from(*params);
    if (set.members.size() < 2 || set.members.size() != params->member_count) {
        fsprobe::fail("the member list does not hold the " + std::to_string(params->member_count)
                      + " members the array names");
        return 0;
    }
    params->missing_index = set.missing_index();
    const std::vector<Candidate> found = method == 1 ? detect_from_metadata(set) : detect_from_content(set);
    if (found.empty())
        return 0;

    RaidJudgeInfo* head = nullptr;
    RaidJudgeInfo* last = nullptr;
    try {
        for (const Candidate& c : found) {
            RaidJudgeInfo* node = new_candidate(*params);
            (last ? last->next : head) = node;
            last = node;
            std::copy(c.order.begin(), c.order.end(), node->order);
            node->layout = c.layout;
            node->stripe_size = c.stripe_size;
            // Members that start the array at different sectors (dynamic
            // disks of both partitioning schemes in one set) have no common
            // first sector: raid_member_first_sector() gives each one.
            const uint64_t start = c.common_start();
            node->first_sector = start < UINT32_MAX ? uint32_t(start) : UINT32_MAX;
            g_member_starts[node] = c.member_start;
        }
    } catch (...) {
        free_candidates(head);
        g_member_starts.clear();
        throw;
    }
    session().replace_candidates(head);
    if (head->first_sector != UINT32_MAX)
        params->first_sector = head->first_sector;
    params->stripe_size = head->stripe_size;
    return found_candidates;
}

} // namespace

extern "C" {

FSPROBE_API uint32_t Smart_Mode(RaidParams* params, int32_t method)
{
    return guarded<uint32_t>(failure(), 0, [&] { return detect(params, method); });
}

FSPROBE_API uint64_t raid_member_first_sector(const RaidJudgeInfo* candidate, uint32_t member)
{
    return guarded<uint64_t>(failure(), UINT64_MAX, [&]() -> uint64_t {
        auto it = g_member_starts.find(candidate);
        if (!candidate || it == g_member_starts.end() || !in_current_list(candidate)) {
            fsprobe::fail("the candidate is not one of the last detection's");
            return UINT64_MAX;
        }
        if (member >= it->second.size() || it->second[member] == no_start) {
            fsprobe::fail("the member is missing or not part of the candidate");
            return UINT64_MAX;
        }
        return it->second[member];
    });
}

} // extern "C"
