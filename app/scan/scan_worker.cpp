// The scan worker: one engine per scan, its found values kept in the session,
// the result tree built from them and the list filled from a folder's files.
#include <salvor/scan/drivers.h>
#include <salvor/scan/text.h>

#include <cctype>
#include <cinttypes>
#include <cstdio>

namespace salvor {

ResultSink::ResultSink(ScanResult& result) : m_result(result)
{
    if (m_result.folders.empty())
        m_result.folders.emplace_back();
}

FolderIndex ResultSink::AddFolder(FolderIndex parent, std::string name)
{
    if (parent >= m_result.folders.size())
        parent = kRootFolder;
    const auto index = FolderIndex(m_result.folders.size());
    FoundFolder folder;
    folder.name = std::move(name);
    folder.parent = parent;
    m_result.folders.push_back(std::move(folder));
    m_result.folders[parent].children.push_back(index);
    return index;
}

void ResultSink::AddFile(FolderIndex folder, FoundFile file)
{
    if (folder >= m_result.folders.size())
        folder = kRootFolder;
    m_result.folders[folder].files.push_back(uint32_t(m_result.files.size()));
    m_result.files.push_back(std::move(file));
}

void ResultSink::DropWhenEmpty(FolderIndex folder)
{
    if (folder < m_result.folders.size())
        m_result.folders[folder].drop_when_empty = true;
}

std::string ScanResult::FolderPath(FolderIndex folder) const
{
    std::string path;
    for (size_t guard = 0; folder != kRootFolder && folder < folders.size() && guard < folders.size(); ++guard) {
        path = path.empty() ? folders[folder].name : folders[folder].name + "/" + path;
        folder = folders[folder].parent;
    }
    return path;
}

namespace {

// Progress and stop of the worker, as the engines' sink sees them.
class WorkerSink final : public ScanSink {
public:
    WorkerSink(ScanResult& result, ProgressSink& progress) : m_result(result), m_progress(progress) {}
    FolderIndex AddFolder(FolderIndex parent, std::string name) override
    {
        return m_result.AddFolder(parent, std::move(name));
    }
    void AddFile(FolderIndex folder, FoundFile file) override { m_result.AddFile(folder, std::move(file)); }
    void DropWhenEmpty(FolderIndex folder) override { m_result.DropWhenEmpty(folder); }
    void SetProgress(int percent) override { m_progress.SetProgress(percent); }
    bool StopRequested() const override { return m_progress.StopRequested(); }

private:
    ResultSink m_result;
    ProgressSink& m_progress;
};

// The result tree of what was found: a node per folder, in the order the
// folders were found, each carrying its folder index + 1.
void build_tree(ScanSession& session, NodeId root)
{
    ResultTree& tree = session.tree;
    const auto& folders = session.result.folders;
    std::vector<NodeId> node(folders.size(), 0);
    node[kRootFolder] = root;
    tree.SetItemData(root, kRootFolder + 1);
    for (size_t i = 1; i < folders.size(); ++i) {
        const FoundFolder& f = folders[i];
        if (f.drop_when_empty && f.children.empty() && f.files.empty())
            continue;
        const NodeId parent = f.parent < i ? node[f.parent] : 0;
        if (!parent)
            continue;
        node[i] = tree.InsertNode(parent, f.name, kImageFolder, kImageFolderSelected);
        if (node[i])
            tree.SetItemData(node[i], i + 1);
    }
}

NodeId start_scan(ScanSession& session)
{
    EngineCleanup(session);
    session.tree.DeleteAll();
    session.list.Clear();
    session.current_folder = 0;
    session.failure.clear();
    return session.tree.InsertNode(0, session.source_label, kImageRoot, kImageRootSelected);
}

} // namespace

ScanOutcome RunScan(ScanSession& session, LoadingState& loading, ProgressSink& progress)
{
    // The old engine lets go of its volume before the new one takes it.
    EngineCleanup(session);
    if (!session.volume) {
        start_scan(session);
        session.failure = "no volume was chosen";
        return {ScanStatus::kFailed, session.failure};
    }
    if (session.mode == kModeDeleted)
        session.fs_code = BgFsCode(session.volume->fs_code);
    return RunScanWith(session, MakeEngine(session.mode, session.fs_code, session.raw), loading, progress);
}

ScanOutcome RunScanWith(ScanSession& session, std::unique_ptr<Engine> engine, LoadingState& loading,
                        ProgressSink& progress)
{
    const NodeId root = start_scan(session);
    session.engine = std::move(engine);
    if (!session.engine) {
        session.failure = "no scan of this mode for this file system";
        return {ScanStatus::kFailed, session.failure};
    }
    WorkerSink sink(session.result, progress);
    ScanOutcome outcome = session.engine->Scan(session.volume, sink);
    if (outcome.status == ScanStatus::kFailed) {
        session.failure = outcome.reason.empty() ? "the volume cannot be read" : outcome.reason;
        return outcome;
    }
    loading.LoadingOn();
    build_tree(session, root);
    session.tree.Select(root);
    session.tree.Expand(session.tree.FirstRoot());
    loading.LoadingOff();
    return outcome;
}

int RunDeletedScan(ScanSession& session, LoadingState& loading, ProgressSink& progress)
{
    session.mode = kModeDeleted;
    if (!session.volume || !EngineSupported(kModeDeleted, BgFsCode(session.volume->fs_code))) {
        start_scan(session);
        return -1;
    }
    const ScanOutcome outcome = RunScan(session, loading, progress);
    return outcome.status == ScanStatus::kFound ? 1 : 0;
}

int RunFormatScan(ScanSession& session, LoadingState& loading, ProgressSink& progress)
{
    session.mode = kModeFormat;
    if (!EngineSupported(kModeFormat, session.fs_code)) {
        start_scan(session);
        return -1;
    }
    const ScanOutcome outcome = RunScan(session, loading, progress);
    return outcome.status == ScanStatus::kFound ? 1 : 0;
}

int RunRawScan(ScanSession& session, ProgressSink& progress)
{
    session.mode = kModeRaw;
    NullLoading loading;
    const ScanOutcome outcome = RunScan(session, loading, progress);
    if (outcome.status == ScanStatus::kFailed)
        return -1;
    return int(std::min<size_t>(session.result.files.size(), size_t(INT32_MAX)));
}

std::string SizeText(SizeStyle style, uint64_t size)
{
    char text[48];
    switch (style) {
    case SizeStyle::kBytes:
        std::snprintf(text, sizeof text, "%" PRIu64 " Byte", size);
        return text;
    case SizeStyle::kBytesWide:
        std::snprintf(text, sizeof text, "%" PRIu64 "  Byte", size);
        return text;
    case SizeStyle::kScaled:
        break;
    }
    return FormatSize(size);
}

void FillResultList(ScanSession& session)
{
    const int64_t folder = session.FolderOfNode(session.current_folder);
    if (folder < 0 || !session.engine)
        return;
    const SizeStyle style = session.engine->size_style();
    std::string now;
    for (uint32_t index : session.result.folders[size_t(folder)].files) {
        const FoundFile& f = session.result.files[index];
        if (f.time_text.empty() && now.empty())
            now = CurrentTimeText();
        session.list.AppendRow(f.name, SizeText(style, f.size), f.time_text.empty() ? now : f.time_text,
                               uintptr_t(index) + 1);
    }
}

void EngineCleanup(ScanSession& session)
{
    session.list.Clear();
    session.engine.reset();
    session.result.Clear();
}

std::string RawTypeOfNode(const std::string& text)
{
    std::string type = text.substr(0, text.find('('));
    for (char& c : type)
        c = char(std::tolower(uint8_t(c)));
    return type;
}

} // namespace salvor
