// The state of the RAID family: the array opened from a caller's RaidParams,
// the candidate layouts of the last detection, and the NTFS listing of the
// array's root.
#pragma once

#include <fsprobe/raid.h>

#include <cstdint>

namespace fsprobe::raid {

// A candidate as a detection starts one: all 0xFF, the first sector and
// stripe size of `params`, no next. Zero-filled engine allocation.
RaidJudgeInfo* new_candidate(const RaidParams& params);

// Frees every node of a candidate list.
void free_candidates(RaidJudgeInfo* head);

// Checks `params` for a manual open; false, with the reason given to fail(),
// when it cannot describe an array (level, members, stripe, sizes).
bool check_manual_layout(RaidParams& params);

class ArraySession {
public:
    ArraySession() = default;
    ArraySession(const ArraySession&) = delete;
    ArraySession& operator=(const ArraySession&) = delete;
    ~ArraySession();

    // Opens the virtual volume of a known layout (see Professional_Mode).
    int32_t open_manual(RaidParams* params);

    // The candidate list, owned by the session.
    RaidJudgeInfo* candidates() const { return m_candidates; }
    // Replaces the list (the previous one is freed).
    void replace_candidates(RaidJudgeInfo* head);
    // Frees `head`; when it is the session's list the session forgets it.
    void free_list(RaidJudgeInfo* head);

    // Lists the NTFS root of the open array (see Show_File_Info).
    NtfsFileInfo* show_root(RaidParams* params);

    // Closes the array and frees the list; true when a list was freed.
    bool exit();

    // The record whose volume is open, or null.
    RaidParams* published() const { return m_params; }

private:
    // Closes the open volume (and the NTFS engine opened on it).
    void close_volume();

    RaidParams* m_params = nullptr; // the record published through bg_raid_context
    BgVolume* m_volume = nullptr; // its virtual volume
    bool m_ntfs_open = false; // the NTFS engine was opened on m_volume by show_root
    RaidJudgeInfo* m_candidates = nullptr;
};

// The process-wide session and failure reason of the exports (for the
// detection built beside them).
ArraySession& session();

} // namespace fsprobe::raid
