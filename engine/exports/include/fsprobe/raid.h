// fsprobe RAID family: open a virtual volume over the member disks of a
// striped or RAID 5 array whose layout the caller knows, hand out the
// layouts a detection judged possible, list the root of the NTFS file system
// on the volume, and release it all.
//
// One array at a time: the family keeps process-wide state. Call order:
//   Smart_Mode or Professional_Mode -> Get_RAID_Paramerers (after a
//   detection) -> Show_File_Info and the NTFS exports on the volume -> RAID_exit
// The RaidParams record (blockgate/raid.h) must stay valid until RAID_exit:
// blockgate reads it while the volume is in use.
//
// Records crossing the boundary are packed and little-endian. Address fields
// are pointer-sized; every other field keeps its width and order.
#pragma once

#include <blockgate/blockgate.h>
#include <blockgate/raid.h>
#include <fsprobe/fsprobe.h>
#include <fsprobe/ntfs.h>

#include <cstddef>
#include <cstdint>

extern "C" {

// One candidate layout found by a detection; a singly linked list. A new
// candidate starts as all 0xFF bytes, its first sector and stripe size copied
// from the RaidParams judged, next null.
struct [[gnu::packed]] RaidJudgeInfo {
    uint8_t order[16];      // 0x00 byte k: index into RaidParams::members of the disk holding column k; 0xFF unused
    uint32_t layout;        // 0x10 BgRaidLayoutCode (the same codes as RaidParams::layout)
    uint32_t first_sector;  // 0x14 first sector of the data on each member
    uint32_t stripe_size;   // 0x18 sectors
    RaidJudgeInfo* next;    // 0x1C next candidate, or null
};
static_assert(offsetof(RaidJudgeInfo, order) == 0x00);
static_assert(offsetof(RaidJudgeInfo, layout) == 0x10);
static_assert(offsetof(RaidJudgeInfo, first_sector) == 0x14);
static_assert(offsetof(RaidJudgeInfo, stripe_size) == 0x18);
static_assert(offsetof(RaidJudgeInfo, next) == 0x1C);
static_assert(sizeof(RaidJudgeInfo) == 0x24);

// Opens the virtual volume of a known layout: members in column order, level,
// stripe size, first sector and (level 1) layout code set by the caller. Sets
// missing_index (to the position of the BG_RAID_MISSING entry, or -1), level 0
// forces layout code 6. On success stores the volume in the record, sets its
// open flag, publishes it through bg_raid_context, probes the volume and
// returns 1. Returns 0 with the record's volume and bg_raid_context unchanged
// when the layout is unusable (raid_last_failure() says why) or no volume
// opens. An earlier volume of this family is closed first.
FSPROBE_API int32_t Professional_Mode(RaidParams* params);

// Layout detection from the members of `params` (level, member count and
// members set by the caller; BG_RAID_MISSING for a missing member). Method 1:
// the dynamic-disk (LDM) database of the members; method 2: the content (an
// NTFS file system on an array that holds a GPT disk). Sets bg_raid_state to
// -1 and missing_index. Returns 0x80000000 when candidates were found
// (Get_RAID_Paramerers; the best first, whose first sector and stripe size
// are also copied into `params`), 0 when none were, or the method or level
// is unknown (raid_last_failure() says why).
FSPROBE_API uint32_t Smart_Mode(RaidParams* params, int32_t method);

// Where member `member` (an index into the members of the detection's
// RaidParams) starts the array's data, in sectors, for a candidate of the
// last detection. Dynamic disks of one set may start it at different
// sectors (MBR and GPT disks mixed); such a candidate's first_sector is then
// 0xFFFFFFFF and each member's start comes from here. UINT64_MAX for a
// missing member or a candidate that is not in the current list.
FSPROBE_API uint64_t raid_member_first_sector(const RaidJudgeInfo* candidate, uint32_t member);

// The candidate list of the last detection, or null. The family owns it.
FSPROBE_API RaidJudgeInfo* Get_RAID_Paramerers(void);

// Frees every node of a list; when it is the family's list, forgets it.
// Returns 1.
FSPROBE_API int32_t RAID_Free_JUDGE_INFO(RaidJudgeInfo* head);

// Lists the root directory of the NTFS file system on the record's virtual
// volume with Shwo_Ntfs_Dir (opening the NTFS engine on it when it is not in
// use). Returns _Get_ExternUse() (the listing head) when listed, else null.
// `output` is not used (the listing is the NTFS engine's).
FSPROBE_API NtfsFileInfo* Show_File_Info(RaidParams* params, void* output);

// Closes the open virtual volume (releasing the NTFS engine when the volume
// held NTFS), frees the candidate list and clears bg_raid_context. Returns 1
// when a list was freed, else 0.
FSPROBE_API int32_t RAID_exit(void);

// Why the last call of the RAID family failed: "" after a call that succeeded.
// Valid until the family's next call.
FSPROBE_API const char* raid_last_failure(void);

} // extern "C"
