#include "raid_detect.h"

#include "output.h"

#include <fsprobe/raid.h>

#include <cstring>

namespace salvor::cli {

uint64_t DetectedLayout::common_start() const
{
    uint64_t start = UINT64_MAX;
    for (uint64_t s : member_start) {
        if (s == UINT64_MAX)
            continue;
        if (start != UINT64_MAX && s != start)
            return UINT64_MAX;
        start = s;
    }
    return start;
}

const char* layout_name(uint32_t code)
{
    switch (code) {
    case BG_RAID_LEFT_ASYMMETRIC: return "left asymmetric";
    case BG_RAID_RIGHT_ASYMMETRIC: return "right asymmetric";
    case BG_RAID_LEFT_SYMMETRIC: return "left symmetric";
    case BG_RAID_RIGHT_SYMMETRIC: return "right symmetric";
    case BG_RAID_PARITY_FIRST: return "parity first";
    case BG_RAID_PARITY_LAST: return "parity last";
    case BG_RAID_NO_PARITY: return "none";
    default: return "unknown";
    }
}

Detection detect_layouts(const std::vector<std::string>& members, std::vector<BgReader*>& readers)
{
    Detection out;
    readers.clear();
    bg_set_real_disks(0);
    bg_clear_images();
    for (const std::string& m : members) {
        if (m == "missing")
            continue;
        if (int err = bg_add_image(m.c_str())) {
            out.error = "cannot open " + shown(m) + ": " + open_error_text(m, err);
            return out;
        }
    }
    bg_scan_disks();
    bg_scan_volumes();
    BgDiskNode* node = bg_disk_list;
    for (const std::string& m : members) {
        if (m == "missing") {
            readers.push_back(BG_RAID_MISSING);
            continue;
        }
        if (!node) {
            out.error = "cannot open " + shown(m);
            return out;
        }
        readers.push_back(node->disk);
        node = node->next;
    }
    if (readers.size() < 2 || readers.size() > BG_RAID_MAX_MEMBERS) {
        out.error = "an array has 2 to " + std::to_string(BG_RAID_MAX_MEMBERS) + " members";
        return out;
    }
    int missing = 0;
    for (BgReader* r : readers)
        missing += r == BG_RAID_MISSING;

    for (int method : { 1, 2 }) {
        for (uint8_t level : { BG_RAID_LEVEL_STRIPE, BG_RAID_LEVEL_PARITY }) {
            const char* what = method == 1 ? "metadata" : "content";
            const char* level_text = level == BG_RAID_LEVEL_STRIPE ? "striped" : "RAID-5";
            if ((level == BG_RAID_LEVEL_STRIPE && missing) || missing > 1)
                continue;
            if (level == BG_RAID_LEVEL_PARITY && readers.size() < 3)
                continue;
            RaidParams params {};
            params.level = level;
            params.member_count = uint16_t(readers.size());
            for (size_t i = 0; i < readers.size(); ++i)
                params.members[i] = readers[i];
            if (Smart_Mode(&params, method) != 0x80000000u) {
                out.reasons.push_back(std::string(what) + ", " + level_text + ": " + raid_last_failure());
                RAID_exit();
                continue;
            }
            for (RaidJudgeInfo* c = Get_RAID_Paramerers(); c; c = c->next) {
                DetectedLayout d;
                d.method = what;
                d.level = level;
                d.layout = c->layout;
                d.stripe_size = c->stripe_size;
                for (size_t k = 0; k < readers.size(); ++k)
                    d.order.push_back(c->order[k] == 0xFF ? -1 : int(c->order[k]));
                for (size_t i = 0; i < readers.size(); ++i)
                    d.member_start.push_back(raid_member_first_sector(c, uint32_t(i)));
                out.layouts.push_back(std::move(d));
                if (out.layouts.size() > 64)
                    break;
            }
            RAID_exit();
        }
    }
    return out;
}

} // namespace salvor::cli
