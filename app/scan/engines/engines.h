// The engine adapters: one per family, each the only code of the app that
// calls its engine library.
#pragma once

#include <salvor/scan/drivers.h>

#include <fsprobe/times.h>

#include <functional>
#include <memory>

namespace salvor {

std::unique_ptr<Engine> MakeNtfsDeletedEngine();
std::unique_ptr<Engine> MakeNtfsFormatEngine();
std::unique_ptr<Engine> MakeFatDeletedEngine();
std::unique_ptr<Engine> MakeFatFormatEngine(BgFsCode code);
std::unique_ptr<Engine> MakeExt2Engine();
std::unique_ptr<Engine> MakeExt3Engine();
std::unique_ptr<Engine> MakeHfsPlusEngine();
std::unique_ptr<Engine> MakeExfatEngine();
std::unique_ptr<Engine> MakeRawEngine(const RawSelection& raw);

// The files of one FAT folder as its list shows them: the entries that are
// not folders, up to the first entry whose name holds ".???".
void AddFatListing(ScanSink& sink, FolderIndex folder, FatEntry** entries);

// Why an engine library's last call failed, in its own words where it gave
// them, else `fallback`.
std::string FailureReason(const char* (*last_failure)(), const char* fallback);

// The engine record of type T a found file refers to; null, with the
// reason, when it refers to none (a file of another scan or engine).
template<typename T>
T* RecordOf(const FoundFile& file, std::string& reason)
{
    auto* const* record = std::get_if<T*>(&file.record);
    if (!record || !*record) {
        reason = "the file is not one of this scan";
        return nullptr;
    }
    return *record;
}

// The stamps an engine library filled in.
FileTimes TimesOf(const FsprobeTimes& times);

// Files are read in pieces of the volume's allocation unit, so that an
// unreadable cluster costs only itself and the reads stay aligned to it. A
// volume that has no unit (no file system, a lost boot sector) or one past
// any real file system's (2 MiB for NTFS) is read in pieces of 64 KiB.
inline size_t cluster_chunk(uint64_t unit)
{
    constexpr size_t kDefault = 64u << 10;
    constexpr uint64_t kLargest = 2u << 20;
    return unit == 0 || unit > kLargest ? kDefault : size_t(unit);
}

} // namespace salvor
