// salvor-cli devices: the disks and volumes blockgate sees.
#include "commands.h"
#include "fs_names.h"
#include "output.h"

#include <blockgate/blockgate.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <iostream>

namespace salvor::cli {

int run_devices(const DevicesOptions& options)
{
    for (const auto& image : options.images) {
        int32_t err = bg_add_image(image.c_str());
        if (err != 0) {
            std::fprintf(stderr, "salvor-cli: cannot open %s: %s\n", shown(image).c_str(),
                         open_error_text(image, err).c_str());
            bg_clear_images();
            return kExitSource;
        }
    }
    bg_scan_disks();
    bg_scan_volumes();

    nlohmann::ordered_json disks = nlohmann::ordered_json::array();
    for (BgDiskNode* d = bg_disk_list; d; d = d->next) {
        BgReader* disk = d->disk;
        nlohmann::ordered_json volumes = nlohmann::ordered_json::array();
        for (BgVolumeNode* v = bg_volume_list; v; v = v->next) {
            const BgVolume* vol = v->volume;
            // Packed records: fields are copied out, never bound by reference.
            if (vol->disk_number != disk->disk_number)
                continue;
            volumes.push_back({{"index", uint32_t(vol->index)},
                               {"start", uint64_t(vol->start)},
                               {"size", uint64_t(vol->size)},
                               {"fs_code", int32_t(vol->fs_code)},
                               {"fs", fs_name(vol->fs_code)}});
        }
        nlohmann::ordered_json entry = {{"number", int32_t(disk->disk_number)}};
        put_text(entry, "name", disk->name ? disk->name : "");
        entry["size"] = bg_object_size(disk);
        entry["sector_size"] = uint32_t(disk->bytes_per_sector);
        entry["volumes"] = volumes;
        if (int32_t err = bg_last_error(disk))
            entry["error"] = std::strerror(err);
        disks.push_back(std::move(entry));
    }

    if (options.json) {
        std::cout << dump_json(nlohmann::ordered_json({{"disks", disks}})) << "\n";
    } else {
        for (const auto& disk : disks) {
            std::cout << "disk " << disk["number"].get<int>() << "  " << shown(disk["name"].get<std::string>()) << "  "
                      << disk["size"].get<uint64_t>() << " bytes, sector " << disk["sector_size"].get<uint32_t>();
            if (disk.contains("error"))
                std::cout << "  (cannot open: " << disk["error"].get<std::string>() << ")";
            std::cout << "\n";
            for (const auto& vol : disk["volumes"]) {
                std::cout << "  volume " << vol["index"].get<uint32_t>() << "  start " << vol["start"].get<uint64_t>()
                          << "  size " << vol["size"].get<uint64_t>() << "  fs " << vol["fs_code"].get<int>() << " "
                          << vol["fs"].get<std::string>() << "\n";
            }
        }
    }
    bg_release_devices();
    bg_clear_images();
    return kExitOk;
}

} // namespace salvor::cli
