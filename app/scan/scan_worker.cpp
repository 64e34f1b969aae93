// The deleted and format scan workers, the listing dispatch and the engine
// clean-up.
#include <salvor/scan/drivers.h>

#if SALVOR_WITH_NTFS
#include <fsprobe/ntfs.h>
#endif
#if SALVOR_WITH_FAT
#include <fsprobe/fat.h>
#endif
#if SALVOR_WITH_EXT
#include <fsprobe/ext2.h>
#include <fsprobe/ext3.h>
#endif
#if SALVOR_WITH_HFSPLUS
#include <fsprobe/hfsplus.h>
#endif
#if SALVOR_WITH_CARVEX
#include <carvex/carvex.h>
#endif

namespace salvor {

namespace {

NodeId start_scan(ScanSession& session)
{
    session.tree.DeleteAll();
    session.list.Clear();
    session.current_folder = 0;
    session.ntfs_placement.clear();
    return session.tree.InsertNode(0, session.source_label, kImageRoot, kImageRootSelected);
}

} // namespace

bool ScanSupported(RecoveryMode mode, int32_t fs_code)
{
    const bool fat = fs_code >= 1 && fs_code <= 3;
    switch (mode) {
    case kModeDeleted:
        return (SALVOR_WITH_FAT && fat) || (SALVOR_WITH_NTFS && fs_code == 4) ||
               (SALVOR_WITH_EXT && (fs_code == 6 || fs_code == 7)) || (SALVOR_WITH_HFSPLUS && fs_code == 10);
    case kModeFormat:
        return (SALVOR_WITH_FAT && fat) || (SALVOR_WITH_NTFS && fs_code == 4);
    case kModeRaw:
        return SALVOR_WITH_CARVEX;
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
#if SALVOR_WITH_FAT
    case 1:
    case 2:
    case 3:
        return FatDeletedDriver(session, root, loading);
#endif
#if SALVOR_WITH_NTFS
    case 4:
        return NtfsDeletedDriver(session, root, loading);
#endif
#if SALVOR_WITH_EXT
    case 6:
        return Ext2Driver(session, root, loading);
    case 7:
        return Ext3Driver(session, root, loading, progress);
#endif
#if SALVOR_WITH_HFSPLUS
    case 10:
        return HfsPlusDriver(session, root, loading);
#endif
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
#if SALVOR_WITH_FAT
    case 1:
    case 2:
    case 3:
        return FatFormatDriver(session, root, loading);
#endif
#if SALVOR_WITH_NTFS
    case 4:
        return NtfsFormatDriver(session, root, loading);
#endif
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
#if SALVOR_WITH_CARVEX
        RawListing(session);
#endif
        return;
    }
    switch (session.fs_code) {
#if SALVOR_WITH_FAT
    case 1:
    case 2:
    case 3:
        if (session.mode == kModeDeleted || session.mode == kModeFormat)
            FatListing(session);
        break;
#endif
#if SALVOR_WITH_NTFS
    case 4:
        if (session.mode == kModeDeleted)
            NtfsDeletedListing(session);
        else if (session.mode == kModeFormat)
            NtfsFormatListing(session);
        break;
#endif
#if SALVOR_WITH_EXT
    case 6:
        if (session.mode == kModeDeleted)
            Ext2Listing(session);
        break;
    case 7:
        if (session.mode == kModeDeleted)
            Ext3Listing(session);
        break;
#endif
#if SALVOR_WITH_HFSPLUS
    case 10:
        if (session.mode == kModeDeleted)
            HfsPlusListing(session);
        break;
#endif
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
#if SALVOR_WITH_FAT
        if (code >= 1 && code <= 3)
            fat_exit();
#endif
#if SALVOR_WITH_NTFS
        if (code == 4) {
            if (session.ntfs_head && NTFS_Free_File_Info(static_cast<NtfsFileInfo*>(session.ntfs_head)))
                session.ntfs_head = nullptr;
            NTFS_Free_Glod_Exit();
        }
#endif
#if SALVOR_WITH_EXT
        if (code == 6)
            ext2_exit();
        if (code == 7)
            ext3_exit();
#endif
#if SALVOR_WITH_HFSPLUS
        if (code == 9 || code == 10)
            hfsp_exit();
#endif
        break;
    case kModeFormat:
#if SALVOR_WITH_NTFS
        if (code == 4) {
            if (session.ntfs_head && NTFS_Free_Format_Info(static_cast<NtfsFormatInfo*>(session.ntfs_head)))
                session.ntfs_head = nullptr;
            NTFS_Free_Glod_Exit();
            break;
        }
#endif
#if SALVOR_WITH_FAT
        fat_fmtRec_exit();
#endif
        break;
    case kModeRaw:
#if SALVOR_WITH_CARVEX
        cx_release();
#endif
        break;
    default:
        break;
    }
    session.ntfs_head = nullptr;
    session.ntfs_placement.clear();
    (void)code;
}

} // namespace salvor
