// C exports of the RAID family. Nothing thrown inside may cross the C
// boundary: an exception becomes the export's failure value.
#include <fsprobe/raid.h>

#include "ArraySession.h"

#include <fsprobe/common/failure.h>

using fsprobe::guarded;
using fsprobe::raid::ArraySession;

namespace {

// The one array of the exports.
ArraySession g_session;

// Why the last RAID call failed.
fsprobe::FailureReason g_failure;

} // namespace

namespace fsprobe::raid {

ArraySession& session() { return g_session; }
FailureReason& failure() { return g_failure; }

} // namespace fsprobe::raid

extern "C" {

FSPROBE_API int32_t Professional_Mode(RaidParams* params)
{
    return guarded<int32_t>(g_failure, 0, [&] { return g_session.open_manual(params); });
}

FSPROBE_API RaidJudgeInfo* Get_RAID_Paramerers(void)
{
    return guarded<RaidJudgeInfo*>(g_failure, nullptr, [] { return g_session.candidates(); });
}

FSPROBE_API int32_t RAID_Free_JUDGE_INFO(RaidJudgeInfo* head)
{
    return guarded<int32_t>(g_failure, 1, [&] {
        g_session.free_list(head);
        return 1;
    });
}

FSPROBE_API NtfsFileInfo* Show_File_Info(RaidParams* params, void*)
{
    return guarded<NtfsFileInfo*>(g_failure, nullptr, [&] { return g_session.show_root(params); });
}

FSPROBE_API int32_t RAID_exit(void)
{
    return guarded<int32_t>(
        g_failure, 0, [] { return g_session.exit() ? 1 : 0; }, [] { bg_raid_context.store(nullptr); });
}

FSPROBE_API const char* raid_last_failure(void) { return g_failure.text(); }

} // extern "C"
