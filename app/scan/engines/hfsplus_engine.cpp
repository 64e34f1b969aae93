// The HFS+ engine: the deleted files found in the catalog, in folders of a
// hundred; data read through each file's extents.
#include "engines.h"

#include <salvor/scan/text.h>

#include <fsprobe/hfsplus.h>

#include <cstring>

namespace salvor {

namespace {

// Allocation blocks are 512 bytes to 1 MiB; anything past 64 MiB is refused.
constexpr uint64_t kLargestBlock = uint64_t(1) << 26;
// The catalog node id of the root folder.
constexpr uint32_t kRootFolderId = 2;

class HfsPlusStream final : public FileStream {
public:
    HfsPlusStream(HfspFileRecord* file, uint64_t block) : m_file(file), m_size(hfsp_get_filesize(file)), m_block(block)
    {
        // A null record restarts the reader at the next file's first byte.
        uint64_t ignored = 0;
        hfsp_readfile(nullptr, &ignored, &m_position, m_block.data());
        m_position = 0;
    }
    StreamRead Read(uint8_t* buffer, size_t length) override
    {
        if (m_ended || m_done >= m_size)
            return {0, true};
        std::memset(m_block.data(), 0, m_block.size());
        uint64_t count = 0;
        if (!hfsp_readfile(m_file, &count, &m_position, m_block.data())) {
            // The call that meets the last block leaves its count to the size.
            m_ended = true;
            count = hfsp_get_readerror() ? 0 : m_size - m_done;
        }
        const size_t n = size_t(std::min<uint64_t>({count, m_block.size(), length, m_size - m_done}));
        std::memcpy(buffer, m_block.data(), n);
        m_done += n;
        return {n, true};
    }
    size_t Chunk() const override { return m_block.size(); }

private:
    HfspFileRecord* m_file;
    uint64_t m_size;
    std::vector<uint8_t> m_block;
    uint64_t m_position = 0;
    uint64_t m_done = 0;
    bool m_ended = false;
};

class HfsPlusEngine final : public Engine {
public:
    ~HfsPlusEngine() override
    {
        if (m_opened)
            hfsp_exit();
    }

    ScanOutcome Scan(BgVolume* volume, ScanSink& sink) override
    {
        if (!hfsp_init(volume))
            return {ScanStatus::kFailed, FailureReason(hfsp_last_failure, "the HFS+ volume header cannot be used")};
        m_opened = true;
        HfspFileRecord* first = hfsp_searchfile();
        FolderIndex folder = kRootFolder;
        size_t n = 0;
        for (HfspFileRecord* f = first; f && n < kMaxChain; f = hfsp_get_next(f), ++n) {
            if (n % kFilesPerGroup == 0)
                folder = sink.AddFolder(kRootFolder, "Folder " + std::to_string(n / kFilesPerGroup));
            const char* name = hfsp_get_filename(f);
            FoundFile found;
            found.name = name ? SafeName(std::string(name, strnlen(name, HFSP_NAME_BYTES))) : std::string();
            found.size = hfsp_get_filesize(f);
            FsprobeTimes times {};
            if (hfsp_get_times(f, &times))
                found.times = TimesOf(times);
            // The folder it was in, where the catalog still resolves it
            // (the root folder's id is 2).
            const char* folder_path = hfsp_get_folder(f);
            if (f->parent_id == kRootFolderId)
                found.real_folder = "";
            else if (folder_path && *folder_path)
                found.real_folder = folder_path;
            found.record = f;
            sink.AddFile(folder, std::move(found));
        }
        return {first ? ScanStatus::kFound : ScanStatus::kNothing, {}};
    }

    std::unique_ptr<FileStream> Open(const FoundFile& found, std::string& reason) override
    {
        HfspFileRecord* file = RecordOf<HfspFileRecord>(found, reason);
        if (!file)
            return nullptr;
        const uint64_t block = hfsp_get_blocksize();
        if (block == 0 || block > kLargestBlock) {
            reason = "the HFS+ allocation block size is out of range";
            return nullptr;
        }
        return std::make_unique<HfsPlusStream>(file, block);
    }

    SizeStyle size_style() const override { return SizeStyle::kBytesWide; }

private:
    bool m_opened = false;
};

} // namespace

std::unique_ptr<Engine> MakeHfsPlusEngine() { return std::make_unique<HfsPlusEngine>(); }

} // namespace salvor
