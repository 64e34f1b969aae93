// Shared helpers of the HFS+ tests.
#pragma once

#include "hfsplus_image_builder.h"

#include <fsprobe/hfsplus.h>
#include <memory_volume.h>
#include <test_support.h>

#include <set>
#include <string>
#include <vector>

namespace hfsplus_test {

// The engine state is process-wide: every test starts and ends without a volume.
struct EngineGuard {
    EngineGuard()
    {
        hfsp_exit();
        bg_progress.store(0);
    }
    ~EngineGuard() { hfsp_exit(); }
};

// The list from `head`, refusing to follow a loop.
inline std::vector<HfspFileRecord*> collect(HfspFileRecord* head)
{
    std::vector<HfspFileRecord*> out;
    std::set<HfspFileRecord*> seen;
    for (HfspFileRecord* r = head; r && seen.insert(r).second; r = hfsp_get_next(r))
        out.push_back(r);
    return out;
}

inline std::string names_of(const std::vector<HfspFileRecord*>& list)
{
    std::string s;
    for (auto* r : list)
        s += std::string("[") + hfsp_get_filename(r) + "] ";
    return s;
}

// Reads a file the way the recovery writer does: whole chunks while the call
// returns true, then the final count taken from the file size.
inline std::vector<uint8_t> read_whole(HfspFileRecord* r)
{
    uint64_t bs = hfsp_get_blocksize();
    std::vector<uint8_t> buf(bs), out;
    uint64_t len = 0, pos = 0, size = hfsp_get_filesize(r);
    hfsp_readfile(nullptr, &len, &pos, buf.data());
    for (uint64_t calls = 0; calls <= size / bs + 1; ++calls) {
        if (hfsp_readfile(r, &len, &pos, buf.data())) {
            out.insert(out.end(), buf.begin(), buf.begin() + len);
            continue;
        }
        if (hfsp_get_readerror() == 0 && size >= out.size() && size - out.size() <= bs)
            out.insert(out.end(), buf.begin(), buf.begin() + (size - out.size()));
        break;
    }
    return out;
}

} // namespace hfsplus_test
