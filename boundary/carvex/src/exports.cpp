// The C interface: translates between the exported operations and the scan.
#include <carvex/carvex.h>

#include "scanner.h"

#include <algorithm>
#include <memory>

namespace {

struct State {
    std::unique_ptr<carvex::ScanResult> result;
    uint32_t next_type = 0;
    CxItem* reading = nullptr;
    uint64_t read_pos = 0;
};

State& state()
{
    static State s;
    return s;
}

} // namespace

extern "C" {

CX_API int32_t cx_scan_volume(BgVolume* volume)
{
    State& st = state();
    cx_release();
    bg_progress.store(0, std::memory_order_relaxed);
    if (!volume || !volume->reader || !volume->reader->read) {
        bg_progress.store(100, std::memory_order_relaxed);
        return -1;
    }
    uint64_t size = volume->size;
    if (volume->reader->size) {
        uint64_t reader_size = volume->reader->size(volume->reader);
        if (reader_size && reader_size < size)
            size = reader_size;
        if (!size)
            size = reader_size;
    }
    auto result = std::make_unique<carvex::ScanResult>();
    carvex::Source source(volume->reader, size);
    source.watch_stop(true);
    int32_t written = 0;
    // Progress only moves from the value this scan wrote last: anything else
    // in bg_progress (100 from a stop request) ends the scan.
    carvex::scan(source, *result, [&](int32_t step) {
        int32_t seen = bg_progress.load(std::memory_order_relaxed);
        if (seen != written || bg_stop_requested())
            return false;
        if (step == 0)
            return true;
        if (!bg_progress.compare_exchange_strong(seen, step, std::memory_order_relaxed))
            return false;
        written = step;
        return true;
    });
    st.result = std::move(result);
    st.next_type = 0;
    bg_progress.store(100, std::memory_order_relaxed);
    return int32_t(std::min<size_t>(st.result->items.size(), INT32_MAX));
}

CX_API const char* cx_next_type(void)
{
    State& st = state();
    if (!st.result)
        return nullptr;
    while (st.next_type < carvex::kTypeCount) {
        uint32_t t = st.next_type++;
        if (!st.result->by_type[t].empty())
            return carvex::kTypes[t].name;
    }
    st.next_type = 0;
    return nullptr;
}

CX_API CxItem* cx_get_item(const char* type, int32_t index)
{
    State& st = state();
    int t = carvex::type_index(type);
    if (!st.result || t < 0 || index < 0)
        return nullptr;
    auto& list = st.result->by_type[size_t(t)];
    return size_t(index) < list.size() ? list[size_t(index)] : nullptr;
}

CX_API uint64_t cx_item_size(CxItem* item)
{
    return item ? item->size : 0;
}

CX_API uint64_t cx_item_offset(CxItem* item)
{
    return item ? item->offset : 0;
}

CX_API uint32_t cx_read_item(BgVolume* volume, CxItem* item, void* buffer, uint32_t length)
{
    State& st = state();
    if (!volume || !volume->reader || !volume->reader->read || !item || !buffer)
        return 0;
    if (st.reading != item) {
        st.reading = item;
        st.read_pos = 0;
    }
    uint64_t want = std::min<uint64_t>(length, item->size - std::min(st.read_pos, item->size));
    uint64_t done = 0;
    while (done < want) {
        uint32_t n = volume->reader->read(volume->reader, static_cast<uint8_t*>(buffer) + done, uint32_t(want - done),
                                          item->offset + st.read_pos);
        if (n == 0 || n > want - done)
            break;
        done += n;
        st.read_pos += n;
    }
    return uint32_t(done);
}

CX_API void cx_end_read(void)
{
    State& st = state();
    st.reading = nullptr;
    st.read_pos = 0;
}

CX_API int32_t cx_type_category(const char* type)
{
    return carvex::type_category(type);
}

CX_API void cx_release(void)
{
    State& st = state();
    st.result.reset();
    st.next_type = 0;
    st.reading = nullptr;
    st.read_pos = 0;
}

} // extern "C"
