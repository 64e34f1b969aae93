// The NTFS engine behind the C exports: the open volume, the format recovery
// and the file being streamed, with the keys that say which file it is.
#pragma once

#include "Deleted.h"
#include "FileStream.h"
#include "FormatRecovery.h"
#include "Volume.h"

#include <optional>

namespace fsprobe::ntfs {

class Engine {
public:
    Engine() = default;
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Opens `device` as the current volume, replacing an earlier one.
    bool open(BgVolume* device);
    // Releases everything but the lists handed out.
    void close();

    Volume& volume() { return m_volume; }
    FormatRecovery& format() { return m_format; }

    // The listing that list_directory builds, until it is taken.
    NtfsFileInfo*& listing() { return m_listing; }
    bool list_directory(u32 number) { return ntfs::list_directory(m_volume, number, m_listing); }
    void free_file_info(NtfsFileInfo* head);

    NtfsFormatInfo* search_format(BgVolume* device);
    void free_format_info(NtfsFormatInfo* head);

    // The next chunk of record (low, high) of the open volume; a record that
    // is not the current file starts at byte 0. NTFS_DATA_* statuses.
    u32 read_file(u32 low, u32 high, void* buffer, u32 length);
    // The same for a format record; its key is its position on the volume.
    u32 read_format_file(const NtfsFormatInfo* record, void* buffer, u32 length);
    // The next read_file starts again at byte 0, even for the same record.
    void forget_file() { m_file_key.reset(); }
    // The same for read_format_file.
    void forget_format_file() { m_format_key.reset(); }
    // The current file is read again from byte 0.
    void rewind()
    {
        if (m_stream)
            m_stream->rewind();
    }

    // Whether cluster n is marked in use in the $Bitmap of `device` (the
    // engine is closed and opened again on it). False when no volume is open.
    bool cluster_in_use(BgVolume* device, i32 n);

private:
    Volume m_volume;
    FormatRecovery m_format;
    NtfsFileInfo* m_listing = nullptr;
    // The device last opened or scanned: its reader's stream flag is cleared
    // when a new file starts.
    BgVolume* m_device = nullptr;
    // The stream is shared by both kinds of file; each kind keeps its key.
    std::unique_ptr<FileStream> m_stream;
    std::optional<u64> m_file_key;
    std::optional<u64> m_format_key;
};

} // namespace fsprobe::ntfs
