// The RAID family's state: manual open, candidate list, root listing, exit.
#include "ArraySession.h"

#include <fsprobe/common/alloc.h>
#include <fsprobe/common/failure.h>

#include <cstring>
#include <unordered_set>

namespace fsprobe::raid {

RaidJudgeInfo* new_candidate(const RaidParams& params)
{
    auto* c = engine_new_zeroed<RaidJudgeInfo>();
    std::memset(c, 0xFF, sizeof *c);
    c->first_sector = params.first_sector;
    c->stripe_size = params.stripe_size;
    c->next = nullptr;
    return c;
}

void free_candidates(RaidJudgeInfo* head)
{
    // A list that loops back on itself is freed once: a node seen before
    // ends the walk.
    std::unordered_set<RaidJudgeInfo*> seen;
    while (head && seen.insert(head).second)
        head = head->next;
    for (RaidJudgeInfo* node : seen)
        engine_free(node);
}

bool check_manual_layout(RaidParams& params)
{
    char reason[256] {};
    if (bg_raid_check(&params, reason, sizeof reason) != 0) {
        fail(reason);
        return false;
    }
    return true;
}

ArraySession::~ArraySession()
{
    // The process-wide session lives until the library unloads: nothing is
    // called into other libraries from here.
    m_candidates = nullptr;
}

int32_t ArraySession::open_manual(RaidParams* params)
{
    if (!params) {
        fail("no array description");
        return 0;
    }
    params->missing_index = BG_RAID_NONE_MISSING;
    if (params->level != BG_RAID_LEVEL_STRIPE && params->level != BG_RAID_LEVEL_PARITY) {
        fail("RAID level " + std::to_string(params->level) + " is neither 0 (striping) nor 1 (striping with parity)");
        return 0;
    }
    if (params->level == BG_RAID_LEVEL_STRIPE)
        params->layout = BG_RAID_NO_PARITY;
    if (!params->members[0]) {
        fail("the array has no members");
        return 0;
    }
    for (uint32_t i = 0; i <= BG_RAID_MAX_MEMBERS && params->members[i]; ++i) {
        if (params->members[i] == BG_RAID_MISSING) {
            params->missing_index = int32_t(i);
            break;
        }
    }
    if (!check_manual_layout(*params))
        return 0;

    BgRaidOpen how {};
    how.member = 0xFF; // the first present member
    how.first_sector = params->first_sector;
    BgReader* members[BG_RAID_MAX_MEMBERS + 1] {};
    for (uint32_t i = 0; i < BG_RAID_MAX_MEMBERS; ++i)
        members[i] = params->members[i];
    BgVolume* volume = bg_open_virtual_volume(members, &how);
    if (!volume) {
        fail("no member can be opened as the array's first member");
        return 0;
    }
    close_volume();
    m_params = params;
    m_volume = volume;
    params->volume = volume;
    params->open = 1;
    bg_raid_context.store(params);
    // The volume now reads across the members: its size and file system.
    (void)bg_probe_volume(volume);
    return 1;
}

void ArraySession::replace_candidates(RaidJudgeInfo* head)
{
    if (head != m_candidates)
        free_candidates(m_candidates);
    m_candidates = head;
}

void ArraySession::free_list(RaidJudgeInfo* head)
{
    if (head == m_candidates)
        m_candidates = nullptr;
    free_candidates(head);
}

NtfsFileInfo* ArraySession::show_root(RaidParams* params)
{
    if (!params || params != m_params || !m_volume || !bg_is_virtual_volume(m_volume)) {
        fail("no virtual volume is open for this array");
        return nullptr;
    }
    if (m_volume->fs_code != BG_FS_NTFS) {
        fail("the array holds no NTFS file system");
        return nullptr;
    }
    if (!m_ntfs_open) {
        if (!Initi_Ntfs_InFo(m_volume)) {
            const char* why = ntfs_last_failure();
            fail(std::string("the NTFS file system of the array cannot be opened") + (*why ? ": " : "") + why);
            return nullptr;
        }
        m_ntfs_open = true;
    }
    _Set_ExternUse();
    if (!Shwo_Ntfs_Dir(5)) {
        fail("the root folder of the array cannot be listed");
        return nullptr;
    }
    return _Get_ExternUse();
}

void ArraySession::close_volume()
{
    if (m_volume && bg_is_virtual_volume(m_volume)) {
        // Whoever read an NTFS file system of the array (this family or a scan
        // on the volume or a partition inside it) leaves the NTFS engine
        // pointing at it: it is released with the volume.
        bool ntfs = m_ntfs_open || m_volume->fs_code == BG_FS_NTFS;
        BgVolume* parts[64] {};
        const uint32_t n = bg_virtual_partitions(m_volume, parts, 64);
        for (uint32_t i = 0; i < n && i < 64; ++i)
            ntfs |= parts[i]->fs_code == BG_FS_NTFS;
        bg_close_volume(m_volume);
        if (ntfs)
            NTFS_Free_Glod_Exit();
    }
    if (m_params && bg_raid_context.load() == m_params)
        bg_raid_context.store(nullptr);
    m_volume = nullptr;
    m_params = nullptr;
    m_ntfs_open = false;
}

bool ArraySession::exit()
{
    close_volume();
    bg_raid_context.store(nullptr);
    const bool freed = m_candidates != nullptr;
    free_candidates(m_candidates);
    m_candidates = nullptr;
    return freed;
}

} // namespace fsprobe::raid
