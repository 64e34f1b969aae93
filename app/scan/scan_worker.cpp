// The deleted and format scan workers, the listing dispatch and the engine
// clean-up.
#include <salvor/scan/drivers.h>

#include <fsprobe/ntfs.h>
#include <fsprobe/fat.h>
#include <fsprobe/ext2.h>
#include <fsprobe/ext3.h>
#include <fsprobe/hfsplus.h>
#include <carvex/carvex.h>

namespace salvor {

namespace {

NodeId start_scan(ScanSession& session)
{
    session.tree.DeleteAll();
    session.list.Clear();
    session.current_folder = 0;
    session.ntfs_placement.clear();
    session.failure.clear();
    return session.tree.InsertNode(0, session.source_label, kImageRoot, kImageRootSelected);
}

} // namespace

bool ScanSupported(RecoveryMode mode, int32_t fs_code)
{
    const bool fat = fs_code >= 1 && fs_code <= 3;
    switch (mode) {
    case kModeDeleted:
        return fat || fs_code == 4 || fs_code == 6 || fs_code == 7 || fs_code == 10;
    case kModeFormat:
        return fat || fs_code == 4;
    case kModeRaw:
        return true;
    default:
        return false;
    }
}

int RunDeletedScan(ScanSession& session, LoadingState& loading, ProgressSink& progress)
{
    (void)loading;
    (void)progress;
    NodeId root = start_scan(session);
    session.mode = kModeDeleted;
    session.fs_code = session.volume ? session.volume->fs_code : 0;
    session.cleanup_mode = kModeDeleted;
    session.cleanup_fs_code = session.fs_code;
    switch (session.fs_code) {
    case 1:
    case 2:
    case 3:
        return FatDeletedDriver(session, root, loading);
    case 4:
        return NtfsDeletedDriver(session, root, loading);
    case 6:
        return Ext2Driver(session, root, loading);
    case 7:
        return Ext3Driver(session, root, loading, progress);
    case 10:
        return HfsPlusDriver(session, root, loading);
    default:
        (void)root;
        return -1;
    }
}

int RunFormatScan(ScanSession& session, LoadingState& loading, ProgressSink& progress)
{
    (void)loading;
    (void)progress;
    NodeId root = start_scan(session);
    session.mode = kModeFormat;
    session.cleanup_mode = kModeFormat;
    session.cleanup_fs_code = session.fs_code;
    switch (session.fs_code) {
    case 1:
    case 2:
    case 3:
        return FatFormatDriver(session, root, loading);
    case 4:
        return NtfsFormatDriver(session, root, loading);
    default:
        (void)root;
        return -1;
    }
}

void FillResultList(ScanSession& session)
{
    if (!session.volume)
        return;
    if (session.mode == kModeRaw) {
        RawListing(session);
        return;
    }
    switch (session.fs_code) {
    case 1:
    case 2:
    case 3:
        if (session.mode == kModeDeleted || session.mode == kModeFormat)
            FatListing(session);
        break;
    case 4:
        if (session.mode == kModeDeleted)
            NtfsDeletedListing(session);
        else if (session.mode == kModeFormat)
            NtfsFormatListing(session);
        break;
    case 6:
        if (session.mode == kModeDeleted)
            Ext2Listing(session);
        break;
    case 7:
        if (session.mode == kModeDeleted)
            Ext3Listing(session);
        break;
    case 10:
        if (session.mode == kModeDeleted)
            HfsPlusListing(session);
        break;
    default:
        break;
    }
}

void EngineCleanup(ScanSession& session)
{
    if (!session.scan_state.exchange(0))
        return;
    const int32_t code = session.cleanup_fs_code;
    switch (session.cleanup_mode) {
    case kModeDeleted:
        if (code >= 1 && code <= 3)
            fat_exit();
        if (code == 4) {
            if (session.ntfs_head && NTFS_Free_File_Info(static_cast<NtfsFileInfo*>(session.ntfs_head)))
                session.ntfs_head = nullptr;
            NTFS_Free_Glod_Exit();
        }
        if (code == 6)
            ext2_exit();
        if (code == 7)
            ext3_exit();
        if (code == 9 || code == 10)
            hfsp_exit();
        break;
    case kModeFormat:
        if (code == 4) {
            if (session.ntfs_head && NTFS_Free_Format_Info(static_cast<NtfsFormatInfo*>(session.ntfs_head)))
                session.ntfs_head = nullptr;
            NTFS_Free_Glod_Exit();
            break;
        }
        fat_fmtRec_exit();
        break;
    case kModeRaw:
        cx_release();
        break;
    default:
        break;
    }
    session.ntfs_head = nullptr;
    session.ntfs_placement.clear();
    (void)code;
}

} // namespace salvor
