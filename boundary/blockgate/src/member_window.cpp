// Windows onto a member disk: a reader that starts at a byte of the member.
#include <blockgate/member.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace {

struct Window {
    BgReader reader {};
    BgReader* member = nullptr;
    uint64_t first = 0;
};

std::mutex g_lock;
std::vector<std::unique_ptr<Window>> g_windows;

Window* of(BgReader* self) { return static_cast<Window*>(self->impl); }

uint32_t window_read(BgReader* self, void* buffer, uint32_t count, uint64_t offset)
{
    Window* w = of(self);
    if (offset > UINT64_MAX - w->first)
        return 0;
    return w->member->read(w->member, buffer, count, w->first + offset);
}

uint32_t window_write(BgReader*, const void*, uint32_t, uint64_t)
{
    return 0; // a member is only ever read
}

uint64_t window_size(BgReader* self)
{
    Window* w = of(self);
    const uint64_t size = w->member->size ? w->member->size(w->member) : 0;
    return size > w->first ? size - w->first : 0;
}

int32_t window_commit(BgReader*) { return 0; }

} // namespace

extern "C" BG_API BgReader* bg_open_member_window(BgReader* member, uint64_t first_byte)
{
    if (!member || reinterpret_cast<uintptr_t>(member) == 0x80000000u || !member->read || !member->size)
        return nullptr;
    if (first_byte >= member->size(member))
        return nullptr;
    auto w = std::make_unique<Window>();
    w->member = member;
    w->first = first_byte;
    w->reader = *member;
    w->reader.write = window_write;
    w->reader.read = window_read;
    w->reader.size = window_size;
    w->reader.commit = window_commit;
    w->reader.impl = w.get();
    std::lock_guard guard(g_lock);
    g_windows.push_back(std::move(w));
    return &g_windows.back()->reader;
}

extern "C" BG_API void bg_close_member_window(BgReader* window)
{
    std::lock_guard guard(g_lock);
    auto it = std::find_if(g_windows.begin(), g_windows.end(), [&](const auto& w) { return &w->reader == window; });
    if (it != g_windows.end())
        g_windows.erase(it);
}
