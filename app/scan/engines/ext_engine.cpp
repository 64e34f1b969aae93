// The ext2 and ext3 engines. ext2: the deleted inodes of each block group,
// a folder per group with files; ext3: the deleted files named in the slack
// of live folders, in folders of a hundred.
#include "engines.h"

#include <salvor/scan/text.h>

#include <fsprobe/ext2.h>
#include <fsprobe/ext3.h>

#include <cstring>

namespace salvor {

namespace {

// ext blocks are 1 to 64 KiB.
constexpr uint32_t kLargestBlock = 65536;
// A fast symbolic link keeps its target in the inode's block pointers.
constexpr size_t kInlineTargetOffset = 0x28;
constexpr size_t kInlineTargetBytes = 60;
std::string group_folder_name(int group)
{
    return "Folder " + std::to_string(group);
}

// Reads an ext2 file block by block through the block numbers its inode kept;
// a fast symbolic link from its inode.
class Ext2Stream final : public FileStream {
public:
    Ext2Stream(Ext2LostFile* file, uint32_t block, uint64_t size) : m_file(file), m_block(block), m_size(size) {}
    StreamRead Read(uint8_t* buffer, size_t length) override
    {
        const uint32_t* list = ext2_get_fileblocklist(m_file);
        if (!list) {
            // Only a fast symbolic link has bytes and no block list.
            const size_t n = m_done < m_size ? size_t(std::min<uint64_t>(length, m_size - m_done)) : 0;
            std::memcpy(buffer, m_file->inode + kInlineTargetOffset + m_done, n);
            m_done += n;
            return {n, true};
        }
        const uint64_t k = m_done / m_block;
        const size_t n = size_t(std::min<uint64_t>({length, m_block, m_size - m_done}));
        uint64_t got = 0;
        m_done += n;
        if (list[k] != 0 && ext2_readfile(reinterpret_cast<uintptr_t>(m_file), uint32_t(n), 0, &got, list[k], 0, buffer) &&
            got == n)
            return {n, true};
        std::memset(buffer, 0, n); // an unreadable or lost block
        return {n, false};
    }
    size_t Chunk() const override { return m_block; }

private:
    Ext2LostFile* m_file;
    uint32_t m_block;
    uint64_t m_size;
    uint64_t m_done = 0;
};

class Ext2Engine final : public Engine {
public:
    ~Ext2Engine() override
    {
        if (m_opened)
            ext2_exit();
    }

    ScanOutcome Scan(BgVolume* volume, ScanSink& sink) override
    {
        if (!ext2_init(volume))
            return {ScanStatus::kFailed,
                    FailureReason(ext2_last_failure, "the ext2 superblock or group descriptors cannot be read")};
        m_opened = true;
        Ext2Group* first = ext2_searchfile();
        if (!first)
            return {ScanStatus::kFailed, FailureReason(ext2_last_failure, "the ext2 inode tables cannot be read")};
        size_t guard = 0;
        for (Ext2Group* g = first; g && guard < kMaxChain; g = ext2_get_next(g), ++guard) {
            if (!ext2_get_file(g, 0) || !ext2_get_filelist(g))
                continue;
            const FolderIndex folder =
                sink.AddFolder(kRootFolder, NameFromUtf16(ext2_get_filename(g, EXT2_NAME_GROUP), 128));
            for (uint32_t i = 0;; ++i) {
                Ext2LostFile* file = ext2_get_file(g, i);
                if (!file)
                    break;
                FoundFile found;
                // 252 bytes of UTF-16 at most, then the ".tmp" the list adds.
                found.name = SafeName(NameFromUtf16(ext2_get_filename(file, EXT2_NAME_FILE), 126) + ".tmp");
                found.size = ext2_get_filesize(file);
                FsprobeTimes times {};
                if (ext2_get_times(file, &times))
                    found.times = TimesOf(times);
                // Where a surviving entry still names the inode, its folder
                // and name.
                const char* folder_path = ext2_get_folder(file);
                const char* real_name = ext2_get_realname(file);
                if (folder_path && real_name) {
                    found.real_folder = folder_path;
                    found.real_name = SafeName(real_name);
                }
                found.record = file;
                sink.AddFile(folder, std::move(found));
            }
        }
        return {ScanStatus::kFound, {}};
    }

    std::unique_ptr<FileStream> Open(const FoundFile& found, std::string& reason) override
    {
        Ext2LostFile* file = RecordOf<Ext2LostFile>(found, reason);
        const uint32_t block = ext2_get_blocksize();
        const uint64_t size = ext2_get_filesize(file);
        if (!file)
            return nullptr;
        if (size == EXT2_NO_SIZE) {
            reason = "the file is not one of this scan";
            return nullptr;
        }
        if (block == 0 || block > kLargestBlock) {
            reason = "the ext2 block size is out of range";
            return nullptr;
        }
        if (!ext2_get_fileblocklist(file) && size > 0 && (size > kInlineTargetBytes || !file->inode)) {
            reason = "the file's block pointers were cleared";
            return nullptr;
        }
        return std::make_unique<Ext2Stream>(file, block, size);
    }

    SizeStyle size_style() const override { return SizeStyle::kBytes; }

private:
    bool m_opened = false;
};

// Reads an ext3 file in the engine's pieces of at most one block.
class Ext3Stream final : public FileStream {
public:
    explicit Ext3Stream(Ext3FoundFile* file) : m_file(file), m_piece(EXT3_READ_CHUNK_MAX)
    {
        // A null file starts the next read at the file's first byte.
        uint64_t ignored = 0;
        ext3_readfile2(nullptr, &ignored, &m_position, m_piece.data());
        m_position = 0;
    }
    StreamRead Read(uint8_t* buffer, size_t length) override
    {
        if (m_ended)
            return {0, true};
        uint64_t count = 0;
        m_ended = !ext3_readfile2(m_file, &count, &m_position, m_piece.data());
        const size_t n = size_t(std::min<uint64_t>({count, m_piece.size(), length}));
        std::memcpy(buffer, m_piece.data(), n);
        if (n == 0)
            m_ended = true;
        return {n, true};
    }
    size_t Chunk() const override { return EXT3_READ_CHUNK_MAX; }

private:
    Ext3FoundFile* m_file;
    std::vector<uint8_t> m_piece;
    uint64_t m_position = 0;
    bool m_ended = false;
};

class Ext3Engine final : public Engine {
public:
    ~Ext3Engine() override
    {
        if (m_opened)
            ext3_exit();
    }

    ScanOutcome Scan(BgVolume* volume, ScanSink& sink) override
    {
        sink.SetProgress(50);
        if (!ext3_init(volume)) {
            sink.SetProgress(100);
            return {ScanStatus::kFailed,
                    FailureReason(ext3_last_failure, "the ext3 superblock or group descriptors cannot be read")};
        }
        m_opened = true;
        auto* first = ext3_searchfile2();
        FolderIndex folder = kRootFolder;
        size_t n = 0;
        for (Ext3FoundFile* f = first; f && n < kMaxChain; f = static_cast<Ext3FoundFile*>(ext3_get_next(f)), ++n) {
            if (n % kFilesPerGroup == 0)
                folder = sink.AddFolder(kRootFolder, group_folder_name(int(n / kFilesPerGroup)));
            const char* name = ext3_get_filename(f);
            FoundFile found;
            found.name = SafeName(name ? std::string(name) : std::string());
            found.size = ext3_get_filesize(f);
            FsprobeTimes times {};
            if (ext3_get_times(f, &times))
                found.times = TimesOf(times);
            // The live folder whose slack held the name.
            if (const char* folder_path = ext3_get_folder(f))
                found.real_folder = folder_path;
            found.record = f;
            sink.AddFile(folder, std::move(found));
        }
        sink.SetProgress(100);
        return {first ? ScanStatus::kFound : ScanStatus::kNothing, {}};
    }

    std::unique_ptr<FileStream> Open(const FoundFile& found, std::string& reason) override
    {
        Ext3FoundFile* file = RecordOf<Ext3FoundFile>(found, reason);
        if (!file)
            return nullptr;
        if (ext3_get_filesize(file) == EXT3_NO_SIZE) {
            reason = "the file is not one of this scan";
            return nullptr;
        }
        return std::make_unique<Ext3Stream>(file);
    }

    SizeStyle size_style() const override { return SizeStyle::kBytesWide; }

private:
    bool m_opened = false;
};

} // namespace

std::unique_ptr<Engine> MakeExt2Engine() { return std::make_unique<Ext2Engine>(); }
std::unique_ptr<Engine> MakeExt3Engine() { return std::make_unique<Ext3Engine>(); }

} // namespace salvor
