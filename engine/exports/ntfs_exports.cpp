// C exports of the NTFS family: thin translation onto the process-wide
// engine.

#include "../ntfs/Engine.h"

#include <fsprobe/common/failure.h>

using namespace fsprobe::ntfs;
using fsprobe::guarded;
using fsprobe::guarded_void;

namespace {

// One volume at a time, as the exports are designed.
Engine& engine()
{
    static Engine instance;
    return instance;
}

// Why the last NTFS call failed.
fsprobe::FailureReason g_failure;

// A scan that ends by an exception still ends: its watcher waits for 100.
void end_progress() { bg_progress.store(100, std::memory_order_relaxed); }

} // namespace

extern "C" {

FSPROBE_API bool Initi_Ntfs_InFo(BgVolume* volume)
{
    return guarded<bool>(g_failure, false, [&] { return engine().open(volume); });
}

FSPROBE_API NtfsAttributeContext* Ntfs_Find_Attribute(const uint8_t* record, uint32_t type, const char16_t* name)
{
    return guarded<NtfsAttributeContext*>(g_failure, nullptr, [&] {
        Volume& volume = engine().volume();
        FindOptions opts;
        opts.record_size = volume.record_size() ? volume.record_size() : 1024;
        opts.volume = volume.is_open() ? &volume : nullptr;
        return find_attribute(record, type, name, opts).release();
    });
}

FSPROBE_API void Ntfs_Release_Attribute_Context(NtfsAttributeContext* context)
{
    guarded_void(g_failure, [&] { delete context; });
}

FSPROBE_API const uint8_t* Ntfs_Decode_Run(const uint8_t* entry, int64_t* offset, uint64_t* length)
{
    return guarded<const uint8_t*>(g_failure, nullptr, [&] {
        int64_t d = 0;
        uint64_t l = 0;
        const uint8_t* next = nullptr;
        if (entry && *entry) {
            unsigned size = 1 + (*entry & 0x0F) + (*entry >> 4);
            next = decode_run(entry, entry + size, &d, &l);
        }
        if (offset)
            *offset = d;
        if (length)
            *length = l;
        return next;
    });
}

FSPROBE_API uint32_t Ntfs_Get_MFTID(const uint8_t* record)
{
    return guarded<uint32_t>(g_failure, 0xFFFFFFFF, [&] {
        if (!record || fsprobe::load_le32(record) != kFileMagic)
            return 0xFFFFFFFFu;
        return fsprobe::load_le32(record + kRecNumber);
    });
}

FSPROBE_API NtfsFileInfo* _Get_ExternUse(void)
{
    return guarded<NtfsFileInfo*>(g_failure, nullptr, [] { return engine().listing(); });
}

FSPROBE_API void _Set_ExternUse(void)
{
    guarded_void(g_failure, [] { engine().listing() = nullptr; });
}

FSPROBE_API NtfsFileInfo* Ntfs_Get_Del_File(void)
{
    return guarded<NtfsFileInfo*>(g_failure, nullptr, [] { return find_deleted_files(engine().volume()); }, end_progress);
}

FSPROBE_API int32_t Ntfs_Get_NameParentID(uint32_t low, uint32_t, NtfsNameParent* out)
{
    return guarded<int32_t>(g_failure, 0, [&] { return name_parent(engine().volume(), low, out); });
}

FSPROBE_API uint32_t Ntfs_Get_FullName(uint32_t low, uint32_t, char16_t* out, uint32_t capacity)
{
    return guarded<uint32_t>(g_failure, 0, [&] { return full_name(engine().volume(), low, out, capacity); });
}

FSPROBE_API bool Shwo_Ntfs_Dir(uint32_t record)
{
    return guarded<bool>(g_failure, false, [&] { return engine().list_directory(record); });
}

FSPROBE_API int32_t NTFS_Free_File_Info(NtfsFileInfo* head)
{
    return guarded<int32_t>(g_failure, 0, [&] {
        engine().free_file_info(head);
        return 1;
    });
}

FSPROBE_API int32_t NTFS_Free_Glod_Exit(void)
{
    return guarded<int32_t>(g_failure, 0, [] {
        engine().close();
        return 1;
    });
}

FSPROBE_API NtfsFormatInfo* Search_Ntfs_InFo(BgVolume* volume)
{
    return guarded<NtfsFormatInfo*>(g_failure, nullptr, [&] { return engine().search_format(volume); }, end_progress);
}

FSPROBE_API NtfsFormatInfo* Nfst_GetFormat_NameParentID(void*, NtfsFormatInfo* record, NtfsNameParent* out)
{
    return guarded<NtfsFormatInfo*>(g_failure, nullptr, [&] { return engine().format().parent_of(record, out); });
}

FSPROBE_API uint32_t Ntfs_Read_ForMat_Data(NtfsFormatInfo* record, void* buffer, uint32_t length)
{
    return guarded<uint32_t>(g_failure, NTFS_DATA_NO_DATA, [&] { return engine().read_format_file(record, buffer, length); });
}

FSPROBE_API bool Ntfs_Fat_Cmp(BgVolume* volume, int32_t n)
{
    return guarded<bool>(g_failure, false, [&] { return engine().cluster_in_use(volume, n); });
}

FSPROBE_API int32_t NTFS_Free_Format_Info(NtfsFormatInfo* head)
{
    return guarded<int32_t>(g_failure, 0, [&] {
        engine().free_format_info(head);
        return 1;
    });
}

FSPROBE_API uint32_t Ntfs_Get_Data(uint32_t low, uint32_t high, void* buffer, uint32_t length)
{
    return guarded<uint32_t>(g_failure, NTFS_DATA_NO_DATA, [&] { return engine().read_file(low, high, buffer, length); });
}

FSPROBE_API int32_t Ntfs_RWfile_Set(int32_t type)
{
    return guarded<int32_t>(g_failure, -1, [&] {
        if (type == 1)
            engine().forget_file();
        else if (type == 2)
            engine().forget_format_file();
        engine().rewind();
        return 0;
    });
}

FSPROBE_API uint64_t Ntfs_Get_FlieSize(uint32_t low, uint32_t high, NtfsFileInfo* head)
{
    return guarded<uint64_t>(g_failure, 0, [&] { return file_size(engine().volume(), low, high, head); });
}

FSPROBE_API int32_t Ntfs_Format_BlockSize(const NtfsFormatInfo* record)
{
    return guarded<int32_t>(g_failure, 0, [&] {
        auto map = engine().format().clusters_of(record);
        return map ? int32_t(map->cluster_size) : 0;
    });
}

FSPROBE_API const char* ntfs_last_failure(void) { return g_failure.text(); }

} // extern "C"
