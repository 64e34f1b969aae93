// The recovery passes: collect the checked nodes, write each node's files into
// its own folder, write the checked rows of the current folder, and the two
// raw passes. Every folder and file below the target is made through the
// job's TargetFolder.
#include <salvor/recovery/recovery.h>
#include <salvor/scan/drivers.h>
#include <salvor/scan/text.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace salvor {

namespace {

// A node's text as the name of its folder.
std::string folder_name(const std::string& text)
{
    return TargetName(TruncateUtf8(text, 260));
}

// Every file of `files` failed for `reason` (their folder was refused).
void fail_all(RecoveryJob& job, size_t files, const std::string& reason)
{
    for (size_t i = 0; i < files; ++i)
        CountFailed(job, reason);
}

size_t checked_rows(const ResultList& list)
{
    size_t checked = 0;
    for (size_t r = 0; r < list.RowCount(); ++r)
        if (list.CheckState(r) != kUnchecked)
            ++checked;
    return checked;
}

} // namespace

WriteStatus WriteRecoveredFile(RecoveryJob& job, uintptr_t item, const TargetDir& dir, const std::string& name)
{
    job.place = {&dir, name};
    const WriteStatus st = WriteRecoveredFile(job, item, dir.shown() + "/" + name);
    job.place = {};
    return st;
}

void CountFailed(RecoveryJob& job, const std::string& reason)
{
    ++job.stats.failed;
    ++job.stats.failure_reasons[reason];
}

bool OpenTarget(RecoveryJob& job, std::string& reason)
{
    if (job.out.IsOpen() && job.out.Path() == job.target)
        return true;
    if (!MakeFolder(job.target)) {
        reason = "cannot create the target folder " + job.target;
        return false;
    }
    return job.out.Open(job.target, reason);
}

bool MakeFolder(const std::string& path)
{
    if (path.empty())
        return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolder(path.substr(0, slash)))
        return false;
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

std::vector<NodeFile> NodeFiles(ScanSession& session, NodeId node)
{
    // A folder's files and their names are exactly what its list shows.
    std::vector<NodeFile> files;
    const int64_t folder = session.FolderOfNode(node);
    if (folder < 0)
        return files;
    const auto& indexes = session.result.folders[size_t(folder)].files;
    files.reserve(indexes.size());
    for (uint32_t index : indexes) {
        const FoundFile& found = session.result.files[index];
        files.push_back(NodeFile{found.name, uintptr_t(index) + 1, found.size, found.time_text});
    }
    return files;
}

void CollectCheckedNodes(ResultTree& tree, NodeId root, std::deque<NodeId>& stack)
{
    stack.clear();
    std::vector<NodeId> pending;
    for (NodeId n = root; n; n = tree.NextSibling(n))
        pending.insert(pending.begin(), n);
    // Pre-order: a node, its whole subtree, then its following siblings.
    while (!pending.empty()) {
        NodeId n = pending.back();
        pending.pop_back();
        if (tree.CheckState(n) != kUnchecked) {
            tree.SetCheckState(n, kUnchecked);
            stack.push_back(n);
        }
        std::vector<NodeId> children;
        for (NodeId c = tree.FirstChild(n); c; c = tree.NextSibling(c))
            children.push_back(c);
        for (auto it = children.rbegin(); it != children.rend(); ++it)
            pending.push_back(*it);
    }
}

void RecoverCheckedNodes(RecoveryJob& job)
{
    ScanSession& s = job.session;
    CollectCheckedNodes(s.tree, s.tree.FirstRoot(), job.stack);
    std::string reason;
    const bool target_open = OpenTarget(job, reason);
    while (!job.stack.empty() && !job.stats.cancelled) {
        NodeId node = job.stack.back();
        job.stack.pop_back();
        const auto files = NodeFiles(s, node);
        TargetDir folder;
        if (target_open)
            folder = job.out.OpenFolder({folder_name(s.tree.Text(node))}, reason);
        if (!folder.valid()) {
            fail_all(job, files.size(), reason);
            continue;
        }
        for (size_t i = 0; i < files.size() && !job.stats.cancelled; ++i) {
            job.progress.SetProgress(int(i % 100));
            job.progress.SetStatusText("Recovering: " + files[i].name);
            WriteRecoveredFile(job, files[i].item, folder, TargetName(files[i].name));
        }
        job.progress.SetProgress(99);
    }
}

void RecoverCheckedRows(RecoveryJob& job)
{
    ScanSession& s = job.session;
    ResultList& list = s.list;
    const size_t checked = checked_rows(list);
    if (checked == 0)
        return;
    // The target becomes target/<current folder> until the next Recover.
    std::string reason;
    if (!OpenTarget(job, reason) || !job.out.Enter({folder_name(s.tree.Text(s.current_folder))}, reason)) {
        fail_all(job, checked, reason);
        return;
    }
    job.target = job.out.Path();
    const TargetDir folder = job.out.OpenFolder({}, reason);
    const bool ntfs_or_fat = s.fs_code == BG_FS_FAT12 || s.fs_code == BG_FS_FAT16 || s.fs_code == BG_FS_FAT32 ||
                             s.fs_code == BG_FS_NTFS;
    size_t k = 0;
    for (size_t r = 0; r < list.RowCount() && !job.stats.cancelled; ++r) {
        if (list.CheckState(r) == kUnchecked)
            continue;
        job.progress.SetProgress(int(k * 100 / checked));
        const std::string name = TruncateUtf8(list.Text(r, 0), 260);
        job.progress.SetStatusText((ntfs_or_fat ? "Recovering:" : "Recovering: ") + name);
        if (Recovered(WriteRecoveredFile(job, list.ItemData(r), folder, TargetName(name))))
            list.SetCheckState(r, kUnchecked);
        ++k;
    }
    job.progress.SetProgress(int(k * 100 / checked));
}

void RecoverRawCategories(RecoveryJob& job)
{
    ScanSession& s = job.session;
    std::string reason;
    const bool target_open = OpenTarget(job, reason);
    // The category nodes are the root's children, each with its type nodes.
    for (NodeId category = s.tree.FirstChild(s.tree.FirstRoot()); category && !job.stats.cancelled;
         category = s.tree.NextSibling(category)) {
        const std::string cname = TargetName(s.tree.Text(category));
        for (NodeId t = s.tree.FirstChild(category); t && !job.stats.cancelled; t = s.tree.NextSibling(t)) {
            if (s.tree.CheckState(t) == kUnchecked)
                continue;
            const auto files = NodeFiles(s, t);
            TargetDir tfolder;
            if (target_open)
                tfolder = job.out.OpenFolder({cname, TargetName(s.tree.Text(t))}, reason);
            if (!tfolder.valid()) {
                fail_all(job, files.size(), reason);
                s.tree.SetCheckState(t, kUnchecked);
                continue;
            }
            for (size_t n = 0; n < files.size() && !job.stats.cancelled; ++n) {
                job.progress.SetProgress(int(n * 100 / files.size()));
                job.progress.SetStatusText("Recovering:" + files[n].name);
                WriteRecoveredFile(job, files[n].item, tfolder, files[n].name);
            }
            s.tree.SetCheckState(t, kUnchecked);
        }
        s.tree.SetCheckState(category, kUnchecked);
        job.out.RemoveEmptyFolder(cname); // only when no type folder was made
    }
}

void RecoverRawRows(RecoveryJob& job)
{
    ScanSession& s = job.session;
    ResultList& list = s.list;
    const size_t checked = checked_rows(list);
    if (checked == 0 || !s.volume) // a volume without a file system has no cluster size and needs none
        return;
    // The target becomes target/<category>/<type>(<checked count>).
    const std::string text = s.tree.Text(s.current_folder);
    char count[32];
    std::snprintf(count, sizeof count, "(%zu)", checked);
    std::string reason;
    if (!OpenTarget(job, reason) ||
        !job.out.Enter({TargetName(s.tree.Text(s.tree.Parent(s.current_folder))),
                        TargetName(text.substr(0, text.find('(')) + count)},
                       reason)) {
        fail_all(job, checked, reason);
        return;
    }
    job.target = job.out.Path();
    const TargetDir folder = job.out.OpenFolder({}, reason);
    size_t k = 0;
    for (size_t r = 0; r < list.RowCount() && !job.stats.cancelled; ++r) {
        if (list.CheckState(r) == kUnchecked)
            continue;
        job.progress.SetProgress(int(k * 100 / checked));
        job.progress.SetStatusText("Recovering: " + list.Text(r, 0));
        if (Recovered(WriteRecoveredFile(job, list.ItemData(r), folder, TargetName(list.Text(r, 0)))))
            list.SetCheckState(r, kUnchecked);
        ++k;
    }
}

} // namespace salvor
