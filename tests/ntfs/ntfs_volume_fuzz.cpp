// Fuzz harness: a whole volume whose MFT area is the input. Opens it, runs
// the deleted-file scan, climbs parents, streams data, lists directories and
// runs the format scan over the same bytes.

#include "ntfs_builder.h"

#include <fsprobe/ntfs.h>
#include <memory_volume.h>

#include <algorithm>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // 256 KiB volume, 1 KiB clusters, the MFT at cluster 16 (where mkntfs puts
    // it for this cluster size). Everything from there on is the input.
    constexpr size_t kVolume = 256 << 10;
    constexpr size_t kMft = 16 * 1024;
    ntfs_test::VolumeImage img(kVolume, 1024, 16, 64);
    auto& bytes = img.bytes();
    std::memcpy(bytes.data() + kMft, data, std::min(size, kVolume - kMft));
    salvor_test::MemoryVolume vol(bytes, BG_FS_NTFS);

    if (Initi_Ntfs_InFo(vol.volume())) {
        NtfsFileInfo* head = Ntfs_Get_Del_File();
        std::vector<uint8_t> buf(4096);
        int files = 0;
        for (NtfsFileInfo* f = head; f && files < 16; f = f->next, ++files) {
            uint32_t ref = uint32_t(f->record_number);
            for (int depth = 0; depth < 8; ++depth) {
                NtfsNameParent np {};
                if (Ntfs_Get_NameParentID(ref, 0, &np) != 1 || np.reference_low == 5)
                    break;
                ref = np.reference_low;
            }
            uint64_t size = Ntfs_Get_FlieSize(uint32_t(f->record_number), 0, head);
            for (uint64_t done = 0; done < std::min<uint64_t>(size, 64 * 1024); done += buf.size())
                if (Ntfs_Get_Data(uint32_t(f->record_number), 0, buf.data(), uint32_t(buf.size())) != 0)
                    break;
            Ntfs_RWfile_Set(1);
        }
        NTFS_Free_File_Info(head);
        for (uint32_t dir : { 5u, 24u, 64u }) {
            _Set_ExternUse();
            Shwo_Ntfs_Dir(dir);
            NtfsFileInfo* listing = _Get_ExternUse();
            _Set_ExternUse();
            NTFS_Free_File_Info(listing);
        }
    }
    NTFS_Free_Glod_Exit();

    NtfsFormatInfo* found = Search_Ntfs_InFo(vol.volume());
    std::vector<uint8_t> buf(4096);
    int records = 0;
    for (NtfsFormatInfo* r = found; r && records < 16; r = r->next, ++records) {
        NtfsFormatInfo* at = r;
        for (int depth = 0; depth < 8 && at; ++depth) {
            NtfsNameParent np {};
            at = Nfst_GetFormat_NameParentID(nullptr, at, &np);
        }
        if (Ntfs_Format_BlockSize(r) > 0)
            for (int k = 0; k < 4; ++k)
                if (Ntfs_Read_ForMat_Data(r, buf.data(), uint32_t(buf.size())) != 0)
                    break;
        Ntfs_RWfile_Set(1);
        Ntfs_RWfile_Set(2);
    }
    NTFS_Free_Format_Info(found);
    NTFS_Free_Glod_Exit();
    return 0;
}
