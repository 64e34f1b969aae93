// C exports of the exFAT family: thin wrappers over the process-wide deleted
// search. No exception leaves this file; each call leaves its failure reason
// for exfat_last_failure.
#include "../exfat/DeletedSearch.h"

#include <fsprobe/exfat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

namespace {

fsprobe::exfat::DeletedSearch& deleted_search()
{
    static fsprobe::exfat::DeletedSearch instance;
    return instance;
}

std::string& last_failure()
{
    static std::string text;
    return text;
}

// Engine allocations end the process when they fail.
[[noreturn]] void out_of_memory()
{
    std::fputs("fsprobe: out of memory\n", stderr);
    std::exit(1);
}

void set_failure(const char* fallback)
{
    try {
        last_failure() = fallback;
    } catch (...) {
    }
}

} // namespace

extern "C" {

FSPROBE_API bool exfat_init(BgVolume* volume)
{
    try {
        bool ok = deleted_search().open(volume);
        last_failure() = deleted_search().failure();
        return ok;
    } catch (const std::bad_alloc&) {
        out_of_memory();
    } catch (...) {
        set_failure("exfat_init: internal error");
        return false;
    }
}

FSPROBE_API ExfatDirNode* exfat_search(int32_t start, uint32_t* file_count, uint32_t* dir_count)
{
    if (!start) {
        set_failure("exfat_search: not started (start is 0)");
        return nullptr;
    }
    try {
        ExfatDirNode* root = deleted_search().search(file_count, dir_count);
        last_failure() = deleted_search().failure();
        return root;
    } catch (const std::bad_alloc&) {
        out_of_memory();
    } catch (...) {
        bg_progress.store(100);
        set_failure("exfat_search: internal error");
        return nullptr;
    }
}

FSPROBE_API bool exfat_readfile(ExfatEntry* entry, void* buffer, uint32_t length, uint64_t* position)
{
    try {
        bool ok = deleted_search().read_file(entry, buffer, length, position);
        last_failure() = deleted_search().failure();
        return ok;
    } catch (const std::bad_alloc&) {
        out_of_memory();
    } catch (...) {
        set_failure("exfat_readfile: internal error");
        return false;
    }
}

FSPROBE_API void exfat_exit(void)
{
    try {
        deleted_search().close();
        last_failure().clear();
    } catch (...) {
    }
}

FSPROBE_API const char* exfat_last_failure(void)
{
    return last_failure().c_str();
}

FSPROBE_API int64_t exfat_unix_time(uint32_t timestamp, uint8_t ten_ms, uint8_t utc_offset, uint32_t* nanoseconds)
{
    const int64_t seconds2 = timestamp & 0x1F;
    const int64_t minute = (timestamp >> 5) & 0x3F;
    const int64_t hour = (timestamp >> 11) & 0x1F;
    const int64_t day = (timestamp >> 16) & 0x1F;
    const int64_t month = (timestamp >> 21) & 0x0F;
    const int64_t year = 1980 + ((timestamp >> 25) & 0x7F);
    if (seconds2 > 29 || minute > 59 || hour > 23 || day == 0 || month == 0 || month > 12 || ten_ms > 199)
        return INT64_MIN;
    // Days from 1970-01-01 to the date (proleptic Gregorian calendar).
    const int64_t y = month <= 2 ? year - 1 : year;
    const int64_t era = y / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = era * 146097 + doe - 719468;
    int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + seconds2 * 2 + ten_ms / 100;
    if (utc_offset & 0x80) {
        // Seven-bit signed count of quarter hours east of UTC.
        int64_t quarters = utc_offset & 0x7F;
        if (quarters & 0x40)
            quarters -= 0x80;
        seconds -= quarters * 15 * 60;
    }
    if (nanoseconds)
        *nanoseconds = uint32_t(ten_ms % 100) * 10000000u;
    return seconds;
}

} // extern "C"
