// Recovery of checked files: the tree pass, the list pass, the raw passes and
// the per-file-system writers. Files are always created new (O_CREAT|O_EXCL):
// nothing on the target is ever overwritten.
#pragma once

#include <salvor/recovery/target_folder.h>
#include <salvor/scan/session.h>

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace salvor {

enum class WriteStatus {
    kWritten,  // created and its data copied
    kEmpty,    // created, but the file has no bytes to write (size 0)
    kDamaged,  // its size is more than its volume holds: written as far as it could be read
    kSkipped,  // a file of that name exists already: left untouched
    kFailed,   // could not be created, or nothing of its data could be read
    kCancelled // stopped by the user; the partial file was removed
};

// Whether the file now exists in the target as the source holds it.
inline bool Recovered(WriteStatus st)
{
    return st == WriteStatus::kWritten || st == WriteStatus::kEmpty || st == WriteStatus::kDamaged;
}

// Whether a found file claims more bytes than its volume can hold: damaged
// metadata. Such a file is written only as far as it can be read.
bool SizeBeyondVolume(const ScanSession& session, uint64_t size);

struct RecoveryStats {
    uint64_t written = 0;
    uint64_t bytes = 0;
    // Files created with nothing in them: their size is 0 (an ext2 inode
    // cleared by the kernel keeps no size), so no data was recovered.
    uint64_t empty = 0;
    uint64_t failed = 0;
    uint64_t skipped = 0;
    // Files whose size was more than their volume holds, cut to what could
    // be read (their bytes are counted in `bytes`).
    uint64_t damaged = 0;
    bool cancelled = false;
    // Why the failed files failed: reason text -> number of files.
    std::map<std::string, uint64_t> failure_reasons;
};

struct RecoveryJob {
    RecoveryJob(ScanSession& s, ProgressSink& p) : session(s), progress(p) {}
    ScanSession& session;
    ProgressSink& progress;
    // The folder the passes write into.
    std::string target;
    RecoveryStats stats;
    std::deque<NodeId> stack;
    // The target held open; the passes open it from `target` when it is not.
    // It also remembers the names this run used.
    TargetFolder out;
    // Where the file being written is created (set by WriteRecoveredFile
    // for the writers).
    struct Place {
        const TargetDir* dir = nullptr;
        std::string name;
    } place;
};

// Writes the file that a row's item data stands for (the engine follows the
// session's mode and file-system code) as `name` in `dir`, a folder of the
// job's target (a clash with a name this run used gives a numbered name).
// Counts the result in the job's statistics.
WriteStatus WriteRecoveredFile(RecoveryJob& job, uintptr_t item, const TargetDir& dir, const std::string& name);
// The same at `path`, whose folder the caller names as it is (its links are
// followed, as for a target chosen by the user). When job.place is set, the
// file is made there and `path` is only what messages show.
WriteStatus WriteRecoveredFile(RecoveryJob& job, uintptr_t item, const std::string& path);

// Opens the job's target folder (made when missing) unless it is open.
bool OpenTarget(RecoveryJob& job, std::string& reason);

// Counts a file that failed before anything was written, with the reason.
void CountFailed(RecoveryJob& job, const std::string& reason);

// Every checked node of the tree, in pre-order, unchecked as it is taken.
void CollectCheckedNodes(ResultTree& tree, NodeId root, std::deque<NodeId>& stack);

// Tree pass: every checked node gets its own folder directly under the target
// with the node's own files.
void RecoverCheckedNodes(RecoveryJob& job);
// List pass: the checked rows of the current folder into target/folder text.
void RecoverCheckedRows(RecoveryJob& job);
// Raw Recovery: every checked type node of the enabled categories.
void RecoverRawCategories(RecoveryJob& job);
// Raw Recovery: the checked rows of the current type node.
void RecoverRawRows(RecoveryJob& job);

// The files a node holds, as (name, item data): the rows its listing shows.
struct NodeFile {
    std::string name;
    uintptr_t item = 0;
    uint64_t size = 0;
    std::string time;
};
// The byte size of a row's file as its engine reports it.
uint64_t ItemSize(const ScanSession& session, uintptr_t item);
std::vector<NodeFile> NodeFiles(ScanSession& session, NodeId node);

// Creates a folder (and its parents); an existing one is reused. Only for a
// path the user chose: it follows links. Everything below the target is made
// through TargetFolder.
bool MakeFolder(const std::string& path);

} // namespace salvor
