#include <salvor/devices/device_list.h>

#include <blockgate/blockgate.h>

namespace salvor {

DeviceListing ListDevices(const std::vector<std::string>& images)
{
    DeviceListing listing;
    for (const auto& image : images) {
        if (int32_t err = bg_add_image(image.c_str())) {
            listing.failed_image = image;
            listing.image_error = err;
            bg_clear_images();
            return listing;
        }
    }
    bg_scan_disks();
    bg_scan_volumes();
    for (BgDiskNode* d = bg_disk_list; d; d = d->next) {
        BgReader* disk = d->disk;
        DiskInfo info;
        info.number = disk->disk_number;
        info.name = disk->name ? disk->name : "";
        info.size = bg_object_size(disk);
        info.sector_size = disk->bytes_per_sector;
        info.open_error = bg_last_error(disk);
        for (BgVolumeNode* v = bg_volume_list; v; v = v->next) {
            const BgVolume* volume = v->volume;
            if (volume->disk_number != disk->disk_number)
                continue;
            // Packed record: fields are copied, never bound by reference.
            info.volumes.push_back(VolumeInfo { uint32_t(volume->index), uint64_t(volume->start),
                                                uint64_t(volume->size), int32_t(volume->fs_code) });
        }
        listing.disks.push_back(std::move(info));
    }
    bg_release_devices();
    bg_clear_images();
    return listing;
}

} // namespace salvor
