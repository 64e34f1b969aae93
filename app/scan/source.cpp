// A job's image source, opened through blockgate as the only disk.
#include <salvor/scan/source.h>

namespace salvor {

ImageSource::~ImageSource()
{
    bg_release_devices();
    bg_clear_images();
    bg_set_real_disks(1);
}

ImageSource::OpenStatus ImageSource::Open(const std::string& path)
{
    m_volumes.clear();
    bg_set_real_disks(0);
    bg_clear_images();
    if (int32_t err = bg_add_image(path.c_str())) {
        m_error = err;
        return OpenStatus::kCannotOpen;
    }
    bg_scan_disks();
    bg_scan_volumes();
    if (!bg_disk_list)
        return OpenStatus::kNotListed;
    BgReader* disk = bg_disk_list->disk;
    if (int32_t err = bg_last_error(disk)) {
        m_error = err;
        return OpenStatus::kCannotRead;
    }
    for (BgVolumeNode* v = bg_volume_list; v; v = v->next)
        if (v->volume->disk_number == disk->disk_number)
            m_volumes.push_back(v->volume);
    return OpenStatus::kOpen;
}

} // namespace salvor
