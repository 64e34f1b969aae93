// C exports of the NTFS family: thin translation onto the process-wide
// engine.

#include "../ntfs/Engine.h"

#include <cstdlib>
#include <new>

using namespace fsprobe::ntfs;

namespace {

// One volume at a time, as the exports are designed.
Engine& engine()
{
    static Engine instance;
    return instance;
}

// No exception leaves the library; an allocation failure ends the process
// as every engine allocation does.
template<typename Fn>
auto guarded(Fn&& fn) noexcept -> decltype(fn())
{
    try {
        return fn();
    } catch (...) {
        std::exit(1);
    }
}

} // namespace

extern "C" {

FSPROBE_API bool Initi_Ntfs_InFo(BgVolume* volume)
{
    return guarded([&] { return engine().open(volume); });
}

FSPROBE_API NtfsAttributeContext* Ntfs_Find_Attribute(const uint8_t* record, uint32_t type, const char16_t* name)
{
    return guarded([&] {
        Volume& volume = engine().volume();
        FindOptions opts;
        opts.record_size = volume.record_size() ? volume.record_size() : 1024;
        opts.volume = volume.is_open() ? &volume : nullptr;
        return find_attribute(record, type, name, opts).release();
    });
}

FSPROBE_API void Ntfs_Release_Attribute_Context(NtfsAttributeContext* context) { delete context; }

FSPROBE_API const uint8_t* Ntfs_Decode_Run(const uint8_t* entry, int64_t* offset, uint64_t* length)
{
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
}

FSPROBE_API uint32_t Ntfs_Get_MFTID(const uint8_t* record)
{
    if (!record || fsprobe::load_le32(record) != kFileMagic)
        return 0xFFFFFFFF;
    return fsprobe::load_le32(record + kRecNumber);
}

FSPROBE_API NtfsFileInfo* _Get_ExternUse(void) { return engine().listing(); }

FSPROBE_API void _Set_ExternUse(void) { engine().listing() = nullptr; }

FSPROBE_API NtfsFileInfo* Ntfs_Get_Del_File(void)
{
    return guarded([] { return find_deleted_files(engine().volume()); });
}

FSPROBE_API int32_t Ntfs_Get_NameParentID(uint32_t low, uint32_t, NtfsNameParent* out)
{
    return guarded([&] { return name_parent(engine().volume(), low, out); });
}

FSPROBE_API uint32_t Ntfs_Get_FullName(uint32_t low, uint32_t, char16_t* out, uint32_t capacity)
{
    return guarded([&] { return full_name(engine().volume(), low, out, capacity); });
}

FSPROBE_API bool Shwo_Ntfs_Dir(uint32_t record)
{
    return guarded([&] { return engine().list_directory(record); });
}

FSPROBE_API int32_t NTFS_Free_File_Info(NtfsFileInfo* head)
{
    engine().free_file_info(head);
    return 1;
}

FSPROBE_API int32_t NTFS_Free_Glod_Exit(void)
{
    engine().close();
    return 1;
}

FSPROBE_API NtfsFormatInfo* Search_Ntfs_InFo(BgVolume* volume)
{
    return guarded([&] { return engine().search_format(volume); });
}

FSPROBE_API NtfsFormatInfo* Nfst_GetFormat_NameParentID(void*, NtfsFormatInfo* record, NtfsNameParent* out)
{
    return engine().format().parent_of(record, out);
}

FSPROBE_API uint32_t Ntfs_Read_ForMat_Data(NtfsFormatInfo* record, void* buffer, uint32_t length)
{
    return guarded([&] { return engine().read_format_file(record, buffer, length); });
}

FSPROBE_API bool Ntfs_Fat_Cmp(BgVolume* volume, int32_t n)
{
    return guarded([&] { return engine().cluster_in_use(volume, n); });
}

FSPROBE_API int32_t NTFS_Free_Format_Info(NtfsFormatInfo* head)
{
    engine().free_format_info(head);
    return 1;
}

FSPROBE_API uint32_t Ntfs_Get_Data(uint32_t low, uint32_t high, void* buffer, uint32_t length)
{
    return guarded([&] { return engine().read_file(low, high, buffer, length); });
}

FSPROBE_API int32_t Ntfs_RWfile_Set(int32_t type)
{
    if (type == 1)
        engine().forget_file();
    else if (type == 2)
        engine().forget_format_file();
    engine().rewind();
    return 0;
}

FSPROBE_API uint64_t Ntfs_Get_FlieSize(uint32_t low, uint32_t high, NtfsFileInfo* head)
{
    return guarded([&] { return file_size(engine().volume(), low, high, head); });
}

FSPROBE_API int32_t Ntfs_Format_BlockSize(const NtfsFormatInfo* record)
{
    auto map = engine().format().clusters_of(record);
    return map ? int32_t(map->cluster_size) : 0;
}

} // extern "C"
