// An engine of the tests: it "finds" the folders and files it was given and
// reads their bytes from memory, with pieces that cannot be read and streams
// that end early where a test asks for them.
#pragma once

#include <salvor/scan/drivers.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace salvor_test {

struct TestFile {
    std::string folder; // "a/b" below the root, "" for the root
    std::string name;
    std::vector<uint8_t> data;
    // The size the file claims (its data's size when unset).
    std::optional<uint64_t> size;
    // Pieces (by index of Chunk()-sized pieces) the stream cannot read.
    std::set<size_t> unreadable;
    // The stream delivers nothing after this many bytes.
    std::optional<size_t> ends_after;
    std::optional<salvor::FileTime> modified;
};

class TestEngine final : public salvor::Engine {
public:
    explicit TestEngine(std::vector<TestFile> files, size_t chunk = 4096) : m_files(std::move(files)), m_chunk(chunk) {}

    salvor::ScanOutcome Scan(BgVolume*, salvor::ScanSink& sink) override
    {
        std::map<std::string, salvor::FolderIndex> folders{{"", salvor::kRootFolder}};
        for (size_t i = 0; i < m_files.size(); ++i) {
            const TestFile& f = m_files[i];
            salvor::FolderIndex parent = salvor::kRootFolder;
            std::string path;
            size_t start = 0;
            while (start < f.folder.size()) {
                const size_t slash = std::min(f.folder.find('/', start), f.folder.size());
                path += (path.empty() ? "" : "/") + f.folder.substr(start, slash - start);
                auto it = folders.find(path);
                if (it == folders.end())
                    it = folders.emplace(path, sink.AddFolder(parent, f.folder.substr(start, slash - start))).first;
                parent = it->second;
                start = slash + 1;
            }
            if (f.name.empty())
                continue; // a folder without files
            salvor::FoundFile found;
            found.name = f.name;
            found.size = f.size.value_or(f.data.size());
            found.times.modified = f.modified;
            // The test engine keys its files by number, from 1.
            found.record = uint64_t(i + 1);
            sink.AddFile(parent, std::move(found));
        }
        return {salvor::ScanStatus::kFound, {}};
    }

    std::unique_ptr<salvor::FileStream> Open(const salvor::FoundFile& file, std::string& reason) override
    {
        const uint64_t* number = std::get_if<uint64_t>(&file.record);
        const uint64_t index = number ? *number : 0;
        if (index == 0 || index > m_files.size()) {
            reason = "not a test file";
            return nullptr;
        }
        return std::make_unique<Stream>(m_files[index - 1], m_chunk);
    }

    salvor::SizeStyle size_style() const override { return salvor::SizeStyle::kScaled; }

private:
    class Stream final : public salvor::FileStream {
    public:
        Stream(const TestFile& file, size_t chunk) : m_file(file), m_chunk(chunk) {}
        salvor::StreamRead Read(uint8_t* buffer, size_t length) override
        {
            const size_t end = std::min(m_file.data.size(), m_file.ends_after.value_or(SIZE_MAX));
            if (m_done >= end)
                return {0, true};
            const size_t n = std::min(length, end - m_done);
            const bool readable = !m_file.unreadable.count(m_done / m_chunk);
            if (readable)
                std::memcpy(buffer, m_file.data.data() + m_done, n);
            else
                std::memset(buffer, 0, n);
            m_done += n;
            return {n, readable};
        }
        size_t Chunk() const override { return m_chunk; }

    private:
        const TestFile& m_file;
        size_t m_chunk;
        size_t m_done = 0;
    };

    std::vector<TestFile> m_files;
    size_t m_chunk;
};

// Runs a scan of the test engine into the session.
inline void RunTestScan(salvor::ScanSession& session, std::vector<TestFile> files, size_t chunk = 4096)
{
    salvor::NullLoading loading;
    salvor::NullProgress progress;
    salvor::RunScanWith(session, std::make_unique<TestEngine>(std::move(files), chunk), loading, progress);
}

// The node of a folder path ("" the root).
inline salvor::NodeId NodeOf(const salvor::ResultTree& tree, const std::string& path)
{
    salvor::NodeId node = tree.FirstRoot();
    size_t start = 0;
    while (node && start < path.size()) {
        const size_t slash = std::min(path.find('/', start), path.size());
        const std::string name = path.substr(start, slash - start);
        salvor::NodeId c = tree.FirstChild(node);
        while (c && tree.Text(c) != name)
            c = tree.NextSibling(c);
        node = c;
        start = slash + 1;
    }
    return node;
}

} // namespace salvor_test
