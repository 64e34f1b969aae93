// The one place where the mode and the file-system code choose an engine.
#include "engines.h"


namespace salvor {

namespace {

using Factory = std::unique_ptr<Engine> (*)(BgFsCode code, const RawSelection& raw);

struct TableEntry {
    RecoveryMode mode;
    BgFsCode code;
    Factory make;
};

std::unique_ptr<Engine> fat_format(BgFsCode code, const RawSelection&) { return MakeFatFormatEngine(code); }
std::unique_ptr<Engine> fat_deleted(BgFsCode, const RawSelection&) { return MakeFatDeletedEngine(); }
std::unique_ptr<Engine> ntfs_deleted(BgFsCode, const RawSelection&) { return MakeNtfsDeletedEngine(); }
std::unique_ptr<Engine> ntfs_format(BgFsCode, const RawSelection&) { return MakeNtfsFormatEngine(); }
std::unique_ptr<Engine> ext2(BgFsCode, const RawSelection&) { return MakeExt2Engine(); }
std::unique_ptr<Engine> ext3(BgFsCode, const RawSelection&) { return MakeExt3Engine(); }
std::unique_ptr<Engine> hfsplus(BgFsCode, const RawSelection&) { return MakeHfsPlusEngine(); }
std::unique_ptr<Engine> exfat(BgFsCode, const RawSelection&) { return MakeExfatEngine(); }
std::unique_ptr<Engine> raw(BgFsCode, const RawSelection& selection) { return MakeRawEngine(selection); }

constexpr TableEntry kEngines[] = {
    {kModeDeleted, BG_FS_FAT12, fat_deleted},
    {kModeDeleted, BG_FS_FAT16, fat_deleted},
    {kModeDeleted, BG_FS_FAT32, fat_deleted},
    {kModeDeleted, BG_FS_NTFS, ntfs_deleted},
    {kModeDeleted, BG_FS_EXFAT, exfat},
    {kModeDeleted, BG_FS_EXT2, ext2},
    {kModeDeleted, BG_FS_EXT3, ext3},
    {kModeDeleted, BG_FS_HFSPLUS, hfsplus},
    {kModeFormat, BG_FS_FAT12, fat_format},
    {kModeFormat, BG_FS_FAT16, fat_format},
    {kModeFormat, BG_FS_FAT32, fat_format},
    {kModeFormat, BG_FS_NTFS, ntfs_format},
};

} // namespace

std::unique_ptr<Engine> MakeEngine(RecoveryMode mode, BgFsCode code, const RawSelection& selection)
{
    // A new scan starts without the stop request of an earlier one.
    bg_request_stop(0);
    // Carving reads any volume, whatever its file system.
    if (mode == kModeRaw)
        return raw(code, selection);
    for (const TableEntry& e : kEngines)
        if (e.mode == mode && e.code == code)
            return e.make(code, selection);
    return nullptr;
}

bool EngineSupported(RecoveryMode mode, BgFsCode code)
{
    if (mode == kModeRaw)
        return true;
    for (const TableEntry& e : kEngines)
        if (e.mode == mode && e.code == code)
            return true;
    return false;
}

FileTimes TimesOf(const FsprobeTimes& times)
{
    auto stamp = [](const FsprobeTime& t) -> std::optional<FileTime> {
        if (!t.present)
            return std::nullopt;
        return FileTime{t.seconds, t.nanoseconds, 0, true};
    };
    FileTimes out;
    out.modified = stamp(times.modified);
    out.created = stamp(times.created);
    out.accessed = stamp(times.accessed);
    out.deleted = stamp(times.deleted);
    return out;
}

void RequestScanStop()
{
    // The stop request outlives the reset of the progress at a scan's start;
    // the progress at 100 is what the designed callers watch.
    bg_request_stop(1);
    bg_progress.store(100);
}

int ScanProgress()
{
    return int(bg_get_progress());
}

} // namespace salvor
