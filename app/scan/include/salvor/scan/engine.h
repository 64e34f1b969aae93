// The engines as the app sees them. One Engine per family (NTFS deleted, NTFS
// format, FAT deleted, FAT format, exFAT, ext2, ext3, HFS+, raw carving),
// chosen once by MakeEngine from the mode and the volume's file-system code.
// A scan
// reports what it finds to a ScanSink as values: folders, and files with their
// sizes, own time stamps and a typed reference back into the engine. Opening a
// found file gives a FileStream that reads its bytes in order. Only the engine
// adapters call the engine libraries; everything above them (the listings, the
// recovery passes, the command-line tool, the desktop program) works on these
// values.
#pragma once

#include <blockgate/blockgate.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// Records of the engine libraries a found file refers to (only the adapters
// look inside them).
struct NtfsFileInfo;
struct NtfsFormatInfo;
struct FatEntry;
struct Ext2LostFile;
struct Ext3FoundFile;
struct HfspFileRecord;
struct CxItem;
struct ExfatEntry;

namespace salvor {

enum RecoveryMode : int {
    kModeDeleted = 1,
    kModeFormat = 2,
    kModePartition = 3,
    kModeRaw = 4,
};

// One time stamp of a file.
struct FileTime {
    // Seconds since 1970-01-01 00:00:00 UTC; when the zone is unknown (FAT
    // keeps local wall-clock time), seconds of that wall-clock time as if it
    // were UTC.
    int64_t seconds = 0;
    uint32_t nanoseconds = 0;
    // Minutes east of UTC of the clock that wrote it (0 for UTC).
    int32_t utc_offset_minutes = 0;
    bool zone_known = true;
};

// The time stamps a file system keeps for a file; each is absent where it
// keeps none.
struct FileTimes {
    std::optional<FileTime> modified;
    std::optional<FileTime> created;
    std::optional<FileTime> accessed;
    std::optional<FileTime> deleted;
    // The stamp a single time column shows: modified, else created, else accessed.
    const std::optional<FileTime>& primary() const
    {
        return modified ? modified : created ? created : accessed;
    }
};

// A typed reference back into the engine that found the file: one of the
// engine libraries' records, or the number an engine keys its files by.
using EngineRecord = std::variant<std::monostate, NtfsFileInfo*, NtfsFormatInfo*, FatEntry*, Ext2LostFile*,
                                  Ext3FoundFile*, HfspFileRecord*, ExfatEntry*, CxItem*, uint64_t>;

// Index of a folder in a ScanResult; the root is 0.
using FolderIndex = uint32_t;
constexpr FolderIndex kRootFolder = 0;

// A found file, as a value.
struct FoundFile {
    // The name the result list shows (already made safe for a folder).
    std::string name;
    uint64_t size = 0;
    bool is_folder = false;
    FileTimes times;
    // The time text the result list shows; empty where the list shows the
    // time of the listing instead.
    std::string time_text;
    // The folder the file was in on its volume ("home/anna/letters", "" for
    // the root), where the engine knows it and the result tree groups files
    // otherwise; and the name its folder gave it, where the list shows
    // another.
    std::optional<std::string> real_folder;
    std::optional<std::string> real_name;
    EngineRecord record;
};

// A folder of the result tree.
struct FoundFolder {
    std::string name;
    FolderIndex parent = kRootFolder;
    std::vector<FolderIndex> children;
    // The files the result list shows for this folder, in list order.
    std::vector<uint32_t> files;
    // Removed from the tree when it ends up without subfolders ("Lost files").
    bool drop_when_empty = false;
};

// Everything one scan found.
struct ScanResult {
    std::vector<FoundFolder> folders;
    std::vector<FoundFile> files;
    void Clear()
    {
        folders.clear();
        files.clear();
    }
    // The folder path of a folder below the root ("" for the root itself).
    std::string FolderPath(FolderIndex folder) const;
};

// Where a scan reports what it finds, and where it reads the stop request.
class ScanSink {
public:
    virtual ~ScanSink() = default;
    // A new folder as the last child of `parent`; returns its index.
    virtual FolderIndex AddFolder(FolderIndex parent, std::string name) = 0;
    virtual void AddFile(FolderIndex folder, FoundFile file) = 0;
    // Marks a folder that is removed again when nothing is put below it.
    virtual void DropWhenEmpty(FolderIndex folder) = 0;
    virtual void SetProgress(int percent) { (void)percent; }
    virtual bool StopRequested() const { return false; }
};

// A ScanSink that keeps everything in a ScanResult.
class ResultSink final : public ScanSink {
public:
    explicit ResultSink(ScanResult& result);
    FolderIndex AddFolder(FolderIndex parent, std::string name) override;
    void AddFile(FolderIndex folder, FoundFile file) override;
    void DropWhenEmpty(FolderIndex folder) override;

private:
    ScanResult& m_result;
};

enum class ScanStatus {
    kFound,   // the scan ran; the result holds what it found (perhaps nothing)
    kNothing, // the scan ran and the engine found nothing to show
    kFailed,  // the volume could not be scanned: see the reason
    kStopped, // the user stopped the scan
};

struct ScanOutcome {
    ScanStatus status = ScanStatus::kFound;
    std::string reason;
};

// One read of a FileStream.
struct StreamRead {
    // Bytes placed at the start of the buffer; 0 when the stream can
    // deliver nothing more.
    size_t bytes = 0;
    // False when the bytes are zeros standing for a piece of the file that
    // could not be read (the file keeps its length and its later data its
    // place).
    bool from_source = true;
};

// The bytes of one found file, in order.
class FileStream {
public:
    virtual ~FileStream() = default;
    // Reads at most `length` bytes (at most Chunk() are asked for at a time).
    virtual StreamRead Read(uint8_t* buffer, size_t length) = 0;
    // The size the reads are best made in: the volume's allocation unit.
    virtual size_t Chunk() const = 0;
};

// How the result list shows a file's size.
enum class SizeStyle {
    kScaled,    // "1.00KB"
    kBytes,     // "1024 Byte"
    kBytesWide, // "1024  Byte"
};

class Engine {
public:
    // Releases everything the engine holds for its volume.
    virtual ~Engine() = default;
    // Scans `volume` and reports to `sink`, whose root folder exists.
    virtual ScanOutcome Scan(BgVolume* volume, ScanSink& sink) = 0;
    // Opens a file this engine found, or null with a reason.
    virtual std::unique_ptr<FileStream> Open(const FoundFile& file, std::string& reason) = 0;
    virtual SizeStyle size_style() const { return SizeStyle::kScaled; }
};

// Raw Recovery categories, in the order their folders are made.
enum RawCategory : int { kPhoto = 0, kMusic = 1, kVideo = 2, kOthers = 3 };

struct RawSelection {
    bool photo = true;
    bool music = true;
    bool video = true;
    bool others = true;
    bool enabled(int category) const
    {
        switch (category) {
        case kPhoto: return photo;
        case kMusic: return music;
        case kVideo: return video;
        case kOthers: return others;
        default: return false;
        }
    }
};

// The engine for a mode and a file-system code (the chosen volume's own code
// in Deleted Recovery, the user's choice in Format Recovery), or null when
// this build has none. The one place the choice is made.
std::unique_ptr<Engine> MakeEngine(RecoveryMode mode, BgFsCode code, const RawSelection& raw = {});
bool EngineSupported(RecoveryMode mode, BgFsCode code);

// Stops a running scan at its next step (the engines look at it between
// steps). Safe to call from a signal handler.
void RequestScanStop();
// The percent the running scan reports.
int ScanProgress();

} // namespace salvor
