// salvor-cli raid detect: the layouts an array of member disks may have.
#include "commands.h"
#include "output.h"
#include "raid_detect.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>

namespace salvor::cli {

namespace {

// The --raid value that opens a candidate, when its members share a first sector.
std::string raid_option(const DetectedLayout& d)
{
    const uint64_t start = d.common_start();
    if (start >= UINT32_MAX) // none shared, or past what the option takes
        return {};
    return std::to_string(d.level) + ":" + std::to_string(d.layout) + ":" + std::to_string(d.stripe_size) + ":"
           + std::to_string(start);
}

} // namespace

int run_raid_detect(const RaidOptions& o)
{
    std::vector<std::string> members = o.members;
    if (o.missing >= 0) {
        if (size_t(o.missing) > members.size()) {
            std::fprintf(stderr, "salvor-cli: --missing %d: the array has %zu members\n", o.missing, members.size() + 1);
            return kExitUsage;
        }
        members.insert(members.begin() + o.missing, "missing");
    }
    std::vector<BgReader*> readers;
    const Detection found = detect_layouts(members, readers);
    if (!found.error.empty()) {
        bg_release_devices();
        std::fprintf(stderr, "salvor-cli: %s\n", found.error.c_str());
        return kExitSource;
    }

    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const DetectedLayout& d : found.layouts) {
        nlohmann::ordered_json columns = nlohmann::ordered_json::array();
        for (size_t k = 0; k < d.order.size(); ++k) {
            if (d.order[k] < 0)
                continue;
            nlohmann::ordered_json col = {{"column", k}, {"member", d.order[k]}};
            put_text(col, "path", members[size_t(d.order[k])]);
            const uint64_t s = d.member_start[size_t(d.order[k])];
            col["first_sector"] = s == UINT64_MAX ? nlohmann::ordered_json() : nlohmann::ordered_json(s);
            columns.push_back(std::move(col));
        }
        nlohmann::ordered_json e = {{"method", d.method},
                                    {"level", d.level},
                                    {"layout", d.layout},
                                    {"layout_name", layout_name(d.layout)},
                                    {"stripe_sectors", d.stripe_size}};
        const uint64_t start = d.common_start();
        e["first_sector"] = start == UINT64_MAX ? nlohmann::ordered_json() : nlohmann::ordered_json(start);
        e["order"] = d.order;
        e["columns"] = columns;
        const std::string option = raid_option(d);
        e["raid_option"] = option.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(option);
        list.push_back(std::move(e));
    }
    nlohmann::ordered_json reasons = nlohmann::ordered_json::array();
    for (const auto& r : found.reasons)
        reasons.push_back(r);
    bg_release_devices();

    if (o.json) {
        std::cout << dump_json(nlohmann::ordered_json({{"layouts", list}, {"not_found", reasons}})) << "\n";
    } else {
        int n = 0;
        for (const auto& e : list) {
            const uint32_t level = e["level"].get<uint32_t>();
            std::cout << "layout " << n++ << " (" << e["method"].get<std::string>() << "): "
                      << (level == 0 ? "striped (level 0)" : "RAID-5 (level 1)") << ", layout "
                      << e["layout"].get<uint32_t>() << " " << e["layout_name"].get<std::string>() << ", stripe "
                      << e["stripe_sectors"].get<uint32_t>() << " sectors, first sector ";
            if (e["first_sector"].is_null())
                std::cout << "per member";
            else
                std::cout << e["first_sector"].get<uint64_t>();
            std::cout << "\n";
            for (const auto& col : e["columns"]) {
                std::cout << "  column " << col["column"].get<size_t>() << ": member " << col["member"].get<int>()
                          << " " << shown(col["path"].get<std::string>());
                if (!col["first_sector"].is_null())
                    std::cout << " from sector " << col["first_sector"].get<uint64_t>();
                std::cout << "\n";
            }
            for (size_t k = 0; k < e["order"].size(); ++k)
                if (e["order"][k].get<int>() < 0)
                    std::cout << "  column " << k << ": missing\n";
            if (!e["raid_option"].is_null())
                std::cout << "  --raid " << e["raid_option"].get<std::string>() << " with the members in column order\n";
            else
                std::cout << "  open it with --raid auto (or MEMBER@SECTOR for each member)\n";
        }
        if (list.empty()) {
            std::cout << "no layout found\n";
            for (const auto& r : found.reasons)
                std::cout << "  " << shown(r) << "\n";
        }
    }
    return list.empty() ? kExitSource : kExitOk;
}

} // namespace salvor::cli
