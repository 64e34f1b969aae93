// salvor-cli scan and recover: the same scan workers, listings and writers as
// the desktop program, driven from the command line.
#include "commands.h"
#include "fs_names.h"
#include "output.h"
#include "raid_source.h"

#include <salvor/recovery/recovery.h>
#include <salvor/recovery/target_check.h>
#include <salvor/scan/drivers.h>
#include <salvor/scan/source.h>
#include <salvor/scan/text.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace salvor::cli {

namespace {

// Set by SIGINT or SIGTERM: a scan stops at its next step, a recovery after
// removing the file it was writing.
std::atomic<bool> g_stop{false};

extern "C" void on_stop_signal(int)
{
    g_stop.store(true);
    RequestScanStop();
}

void install_stop_handler()
{
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

// Progress on a terminal: the engines' shared percent while scanning, the
// recovery's percent and status text while writing.
class TerminalProgress final : public ProgressSink {
public:
    explicit TerminalProgress(bool enabled) : m_enabled(enabled) {}
    ~TerminalProgress() override { stop_polling(); }
    void SetProgress(int percent) override
    {
        m_percent = percent;
        draw();
    }
    void SetStatusText(const std::string& text) override
    {
        m_status = text;
        draw();
    }
    bool StopRequested() const override { return g_stop.load(); }
    void start_polling(const char* what)
    {
        if (!m_enabled)
            return;
        m_polling = true;
        m_thread = std::thread([this, what] {
            while (m_polling) {
                std::fprintf(stderr, "\r%s %3d%%", what, ScanProgress());
                std::fflush(stderr);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            std::fprintf(stderr, "\r%s %3d%%\n", what, ScanProgress());
        });
    }
    void stop_polling()
    {
        if (m_thread.joinable()) {
            m_polling = false;
            m_thread.join();
        }
    }
    void finish()
    {
        if (m_enabled && m_drawn)
            std::fprintf(stderr, "\n");
    }

private:
    void draw()
    {
        if (!m_enabled)
            return;
        m_drawn = true;
        // Found names can hold control characters: shown escaped.
        const std::string status = TruncateUtf8(shown(m_status), 60);
        std::fprintf(stderr, "\r%3d%% %-60s", m_percent, status.c_str());
        std::fflush(stderr);
    }
    bool m_enabled;
    bool m_drawn = false;
    int m_percent = 0;
    std::string m_status;
    std::atomic<bool> m_polling{false};
    std::thread m_thread;
};

class QuietLoading final : public LoadingState {
public:
    void LoadingOn() override {}
    void LoadingOff() override {}
};

int fail(int status, const std::string& message)
{
    std::fprintf(stderr, "salvor-cli: %s\n", message.c_str());
    return status;
}

// The volume a job works on, or a message.
BgVolume* resolve_source(const JobOptions& o, ImageSource& source, std::string& error)
{
    switch (source.Open(o.source)) {
    case ImageSource::OpenStatus::kOpen:
        break;
    case ImageSource::OpenStatus::kCannotOpen:
        error = "cannot open " + shown(o.source) + ": " + open_error_text(o.source, source.error());
        return nullptr;
    case ImageSource::OpenStatus::kNotListed:
        error = "cannot open " + shown(o.source);
        return nullptr;
    case ImageSource::OpenStatus::kCannotRead:
        error = "cannot read " + shown(o.source) + ": " + std::strerror(source.error());
        return nullptr;
    }
    const auto& volumes = source.volumes();
    if (o.volume >= 0) {
        if (size_t(o.volume) >= volumes.size()) {
            error = shown(o.source) + " has no volume " + std::to_string(o.volume) + " (it holds " +
                    std::to_string(volumes.size()) + ")";
            return nullptr;
        }
        return volumes[size_t(o.volume)];
    }
    if (volumes.size() != 1) {
        error = shown(o.source) + " holds " + std::to_string(volumes.size()) + " volumes: choose one with --volume N";
        return nullptr;
    }
    return volumes.front();
}

bool parse_types(const std::string& text, RawSelection& raw, std::string& error)
{
    if (text.empty())
        return true;
    raw = RawSelection{false, false, false, false};
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (item == "photo")
            raw.photo = true;
        else if (item == "music")
            raw.music = true;
        else if (item == "video")
            raw.video = true;
        else if (item == "others")
            raw.others = true;
        else {
            error = "unknown type '" + item + "' (photo, music, video, others)";
            return false;
        }
    }
    return true;
}

struct ListedFile {
    std::string folder; // the file's folder below the target, as written ("" for the root)
    std::string path;   // its path as listed (folder names, then the file name)
    NodeFile file;      // file.name: the name as written to the target
    const FoundFile* found = nullptr;
};

std::string join(const std::string& a, const std::string& b)
{
    return a.empty() ? b : a + "/" + b;
}

// A real folder of the volume as listed and as written below the target.
void real_folder_paths(const std::string& folder, std::string& listed, std::string& written)
{
    listed.clear();
    written.clear();
    size_t start = 0;
    while (start < folder.size()) {
        const size_t slash = std::min(folder.find('/', start), folder.size());
        if (slash > start) {
            const std::string name = SafeName(folder.substr(start, slash - start));
            listed = join(listed, name);
            written = join(written, TargetName(name));
        }
        start = slash + 1;
    }
}

// Every file of the result tree with its path, in tree order. Where the
// engine knows the folder a file was in on its volume, that folder is its
// path rather than the tree's grouping.
std::vector<ListedFile> all_files(ScanSession& session)
{
    std::vector<ListedFile> out;
    ResultTree& tree = session.tree;
    NodeId root = tree.FirstRoot();
    if (!root)
        return out;
    struct Pending {
        NodeId node;
        std::string path;   // as listed
        std::string folder; // as written
    };
    std::vector<Pending> pending{{root, "", ""}};
    while (!pending.empty()) {
        Pending p = pending.back();
        pending.pop_back();
        for (auto& f : NodeFiles(session, p.node)) {
            ListedFile lf;
            lf.found = session.FileOfItem(f.item);
            lf.folder = p.folder;
            std::string listed = p.path;
            if (lf.found && lf.found->real_folder) {
                real_folder_paths(*lf.found->real_folder, listed, lf.folder);
                if (lf.found->real_name)
                    f.name = *lf.found->real_name;
            }
            lf.path = join(listed, f.name);
            f.name = TargetName(f.name);
            lf.file = std::move(f);
            out.push_back(std::move(lf));
        }
        std::vector<Pending> children;
        for (NodeId c = tree.FirstChild(p.node); c; c = tree.NextSibling(c)) {
            const std::string name = SafeName(tree.Text(c));
            children.push_back({c, join(p.path, name), join(p.folder, TargetName(name))});
        }
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            pending.push_back(*it);
    }
    return out;
}

// A file's own time as the listing prints it: ISO 8601, "-" when its file
// system keeps none.
std::optional<std::string> own_time(const ListedFile& f)
{
    if (!f.found || !f.found->times.primary())
        return std::nullopt;
    return IsoTimeText(*f.found->times.primary());
}

struct Job {
    ImageSource source;
    RaidSource raid; // closed before the images are released
    MemoryResultTree tree;
    MemoryResultList list;
    ScanSession session{tree, list};
    ~Job() { EngineCleanup(session); }
};

// Runs the scan of the options' mode; 0 or an exit status with its message printed.
int run_job_scan(const JobOptions& o, Job& job, TerminalProgress& progress, bool& nothing_found)
{
    nothing_found = false;
    ScanSession& s = job.session;
    RecoveryMode mode;
    if (o.mode == "deleted") {
        mode = kModeDeleted;
    } else if (o.mode == "format") {
        mode = kModeFormat;
        if (o.fs == "fat12")
            s.fs_code = BG_FS_FAT12;
        else if (o.fs == "fat16")
            s.fs_code = BG_FS_FAT16;
        else if (o.fs == "fat32")
            s.fs_code = BG_FS_FAT32;
        else if (o.fs == "ntfs")
            s.fs_code = BG_FS_NTFS;
        else
            return fail(kExitUsage, "unknown --fs '" + o.fs + "' (fat12, fat16, fat32, ntfs)");
    } else if (o.mode == "raw") {
        mode = kModeRaw;
        std::string error;
        if (!parse_types(o.types, s.raw, error))
            return fail(kExitUsage, error);
    } else {
        return fail(kExitUsage, "unknown mode '" + o.mode + "' (deleted, format, raw)");
    }

    std::string error;
    if (!o.raid.empty()) {
        RaidOption option;
        if (!parse_raid_option(o.raid, option, error))
            return fail(kExitUsage, error);
        s.volume = job.raid.Open(option, o.sources, o.volume, error);
    } else {
        s.volume = resolve_source(o, job.source, error);
    }
    if (!s.volume)
        return fail(kExitSource, error);
    s.source_label = std::string(fs_name(s.volume->fs_code));
    const BgFsCode code = mode == kModeDeleted ? BgFsCode(s.volume->fs_code) : s.fs_code;
    if (!EngineSupported(mode, code))
        return fail(kExitSource, std::string("no ") + o.mode + " scan for " + fs_name(code) + " in this build");

    QuietLoading loading;
    s.mode = mode;
    progress.start_polling("scanning");
    const ScanOutcome outcome = RunScan(s, loading, progress);
    progress.stop_polling();
    if (outcome.status == ScanStatus::kFailed)
        return fail(kExitSource, "cannot read " + shown(o.source) + ": " + s.failure);
    if (mode == kModeRaw && s.result.files.empty())
        nothing_found = true;
    return 0;
}

// The folder names of a tree path ("" for the root).
std::vector<std::string> tree_components(const std::string& folder)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (!folder.empty() && start <= folder.size()) {
        const size_t slash = std::min(folder.find('/', start), folder.size());
        out.push_back(folder.substr(start, slash - start));
        start = slash + 1;
    }
    return out;
}

bool selected(const std::vector<std::string>& selects, const std::string& path)
{
    if (selects.empty())
        return true;
    for (std::string sel : selects) {
        while (!sel.empty() && sel.back() == '/')
            sel.pop_back();
        while (!sel.empty() && sel.front() == '/')
            sel.erase(0, 1);
        if (sel.empty() || path == sel || path.rfind(sel + "/", 0) == 0)
            return true;
    }
    return false;
}

} // namespace

int run_scan(const JobOptions& o)
{
    Job job;
    TerminalProgress progress(!o.json && ::isatty(2));
    bool nothing = false;
    if (int st = run_job_scan(o, job, progress, nothing))
        return st;
    const auto files = all_files(job.session);
    if (o.json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const auto& f : files) {
            nlohmann::ordered_json entry = nlohmann::ordered_json::object();
            put_text(entry, "path", f.path);
            entry["size"] = f.file.size;
            const auto time = own_time(f);
            entry["time"] = time ? nlohmann::ordered_json(*time) : nlohmann::ordered_json(nullptr);
            if (SizeBeyondVolume(job.session, f.file.size))
                entry["damaged"] = true;
            list.push_back(std::move(entry));
        }
        nlohmann::ordered_json out = nlohmann::ordered_json::object();
        put_text(out, "source", o.source);
        out["mode"] = o.mode;
        out["fs_code"] = int32_t(job.session.mode == kModeFormat ? job.session.fs_code : job.session.volume->fs_code);
        out["files"] = std::move(list);
        std::cout << dump_json(out) << "\n";
    } else {
        if (nothing)
            std::cout << "Scanning finished,no item found!\n";
        // A size beyond the volume is damaged metadata: said in a fourth column.
        for (const auto& f : files)
            std::cout << shown(f.path) << "\t" << f.file.size << "\t" << own_time(f).value_or("-")
                      << (SizeBeyondVolume(job.session, f.file.size) ? "\tdamaged" : "") << "\n";
        std::cout << files.size() << " files\n";
    }
    return kExitOk;
}

int run_recover(const JobOptions& o)
{
    if (o.target.empty())
        return fail(kExitUsage, "recover needs --to DIR");
    if (o.mode != "deleted" && o.mode != "format" && o.mode != "raw")
        return fail(kExitUsage, "unknown mode '" + o.mode + "' (deleted, format, raw)");
    // Every file the job reads: the source, or each present member of an array.
    const std::vector<std::string> read_files = o.raid.empty() ? std::vector<std::string>{o.source}
                                                               : raid_member_paths(o.sources);
    for (const auto& file : read_files)
        if (::access(file.c_str(), R_OK) != 0)
            return fail(kExitSource, "cannot open " + shown(file) + ": " + std::strerror(errno));
    // Judge the target by its nearest existing folder before anything is
    // created, so not even the target folder is made on the source.
    std::string existing = o.target;
    while (::access(existing.c_str(), F_OK) != 0) {
        const size_t slash = existing.find_last_of('/');
        if (slash == std::string::npos) {
            existing = ".";
            break;
        }
        existing = slash == 0 ? "/" : existing.substr(0, slash);
    }
    for (const auto& file : read_files)
        if (TargetOnSource(existing, file))
            return fail(kExitSource, "the target folder " + shown(o.target) + " lies on the source volume");
    if (!MakeFolder(o.target))
        return fail(kExitSource, "cannot create the target folder " + shown(o.target));
    if (::access(o.target.c_str(), W_OK | X_OK) != 0)
        return fail(kExitSource, "the target folder " + shown(o.target) + " is not writable");

    Job job;
    TerminalProgress progress(::isatty(2));
    install_stop_handler();
    bool nothing = false;
    if (int st = run_job_scan(o, job, progress, nothing))
        return st;
    if (g_stop)
        return fail(kExitPartial, "recovery has been canceled!");
    if (nothing && !o.json)
        std::cout << "Scanning finished,no item found!\n";

    RecoveryJob rj(job.session, progress);
    rj.target = o.target;
    std::string reason;
    if (!rj.out.Open(o.target, reason))
        return fail(kExitSource, reason);
    const auto files = all_files(job.session);
    // Files come folder by folder: the folder stays open while they do.
    TargetDir folder;
    std::string folder_path, folder_reason;
    bool folder_open = false;
    for (size_t i = 0; i < files.size() && !g_stop && !rj.stats.cancelled; ++i) {
        const auto& f = files[i];
        if (!selected(o.selects, f.path))
            continue;
        if (!folder_open || f.folder != folder_path) {
            folder = rj.out.OpenFolder(tree_components(f.folder), folder_reason);
            folder_path = f.folder;
            folder_open = true;
        }
        if (!folder.valid()) {
            CountFailed(rj, folder_reason);
            continue;
        }
        progress.SetProgress(int(i * 100 / files.size()));
        progress.SetStatusText("Recovering: " + f.path);
        WriteRecoveredFile(rj, f.file.item, folder, SafeName(f.file.name));
    }
    progress.finish();
    for (const auto& sel : o.selects)
        if (std::none_of(files.begin(), files.end(), [&](const ListedFile& f) { return selected({sel}, f.path); }))
            std::fprintf(stderr, "salvor-cli: nothing found under --select %s\n", shown(sel).c_str());
    const bool cancelled = g_stop || rj.stats.cancelled;
    if (o.json) {
        nlohmann::ordered_json summary = nlohmann::ordered_json::object();
        put_text(summary, "source", o.source);
        summary["mode"] = o.mode;
        put_text(summary, "target", o.target);
        summary.update(nlohmann::ordered_json{{"recovered", rj.stats.written},
                                                {"bytes", rj.stats.bytes},
                                                {"empty", rj.stats.empty},
                                                {"failed", rj.stats.failed},
                                                {"skipped", rj.stats.skipped},
                                                {"damaged", rj.stats.damaged},
                                                {"cancelled", cancelled}});
        nlohmann::ordered_json failures = nlohmann::ordered_json::array();
        for (const auto& [reason, count] : rj.stats.failure_reasons) {
            nlohmann::ordered_json f = nlohmann::ordered_json::object();
            put_text(f, "reason", reason);
            f["files"] = count;
            failures.push_back(std::move(f));
        }
        summary["failures"] = std::move(failures);
        std::cout << dump_json(summary) << "\n";
    } else {
        std::printf("recovered %llu files (%llu bytes), empty %llu, failed %llu, skipped %llu\n",
                    (unsigned long long)rj.stats.written, (unsigned long long)rj.stats.bytes,
                    (unsigned long long)rj.stats.empty, (unsigned long long)rj.stats.failed,
                    (unsigned long long)rj.stats.skipped);
        if (rj.stats.damaged)
            std::printf("damaged %llu files: their size is more than the volume holds; written as far as they "
                        "could be read\n",
                        (unsigned long long)rj.stats.damaged);
        // Once per reason, so a full target or a refused name is seen.
        for (const auto& [reason, count] : rj.stats.failure_reasons)
            std::printf("failed: %llu file%s: %s\n", (unsigned long long)count, count == 1 ? "" : "s",
                        shown(reason).c_str());
    }
    if (cancelled) {
        if (!o.json)
            std::printf("recovery has been canceled!\n");
        return kExitPartial;
    }
    return rj.stats.failed || rj.stats.skipped || rj.stats.damaged ? kExitPartial : kExitOk;
}

} // namespace salvor::cli
