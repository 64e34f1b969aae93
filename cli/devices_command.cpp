// salvor-cli devices: the disks and volumes the machine and the given images hold.
#include "commands.h"
#include "fs_names.h"
#include "output.h"

#include <salvor/devices/device_list.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <iostream>

namespace salvor::cli {

int run_devices(const DevicesOptions& options)
{
    const DeviceListing listing = ListDevices(options.images);
    if (!listing.ok()) {
        std::fprintf(stderr, "salvor-cli: cannot open %s: %s\n", shown(listing.failed_image).c_str(),
                     open_error_text(listing.failed_image, listing.image_error).c_str());
        return kExitSource;
    }

    nlohmann::ordered_json disks = nlohmann::ordered_json::array();
    for (const DiskInfo& disk : listing.disks) {
        nlohmann::ordered_json volumes = nlohmann::ordered_json::array();
        for (const VolumeInfo& vol : disk.volumes)
            volumes.push_back({{"index", vol.index},
                               {"start", vol.start},
                               {"size", vol.size},
                               {"fs_code", vol.fs_code},
                               {"fs", fs_name(vol.fs_code)}});
        nlohmann::ordered_json entry = {{"number", disk.number}};
        put_text(entry, "name", disk.name);
        entry["size"] = disk.size;
        entry["sector_size"] = disk.sector_size;
        entry["volumes"] = volumes;
        if (disk.open_error)
            entry["error"] = std::strerror(disk.open_error);
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
    return kExitOk;
}

} // namespace salvor::cli
