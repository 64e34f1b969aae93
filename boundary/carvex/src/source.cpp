#include "source.h"

#include <algorithm>

namespace carvex {

Source::Source(BgReader* reader, uint64_t size, size_t block)
    : m_reader(reader)
    , m_size(size)
    , m_block(block < kOverlap || (block & (block - 1)) ? kDefaultBlock : block)
{
}

Source::Slot* Source::load(uint64_t base)
{
    if (m_watch && (bg_progress.load(std::memory_order_relaxed) == 100 || bg_stop_requested()))
        m_stopped = true;
    if (m_stopped)
        return nullptr;
    // The slot served last may hold a pointer a caller still uses.
    if (m_last)
        m_last->used = ++m_clock;
    Slot* victim = &m_slots[0];
    for (auto& s : m_slots) {
        if (!s.data) {
            victim = &s;
            break;
        }
        if (s.used < victim->used)
            victim = &s;
    }
    if (!victim->data)
        victim->data.reset(new uint8_t[m_block + kOverlap]);
    uint64_t want = std::min<uint64_t>(m_block + kOverlap, m_size - base);
    size_t got = 0;
    // The read operation may return short for an unreadable range: what was
    // read before it stays usable, the rest of the slot is not.
    while (got < want) {
        uint32_t chunk = uint32_t(std::min<uint64_t>(want - got, uint64_t(1) << 24));
        uint32_t n = m_reader->read(m_reader, victim->data.get() + got, chunk, base + got);
        if (n == 0 || n > chunk)
            break;
        got += n;
        if (n < chunk)
            break;
    }
    victim->base = base;
    victim->valid = got;
    victim->loaded = true;
    victim->used = ++m_clock;
    return victim;
}

const uint8_t* Source::get_slow(uint64_t off, size_t n)
{
    uint64_t base = off & ~uint64_t(m_block - 1);
    for (auto& s : m_slots) {
        if (s.loaded && s.base == base) {
            s.used = ++m_clock;
            m_last = &s;
            return off + n <= s.base + s.valid ? s.data.get() + (off - s.base) : nullptr;
        }
    }
    Slot* s = load(base);
    if (!s)
        return nullptr;
    m_last = s;
    return off + n <= s->base + s->valid ? s->data.get() + (off - s->base) : nullptr;
}

const uint8_t* Source::span(uint64_t off, size_t& avail)
{
    avail = 0;
    if (off >= m_size)
        return nullptr;
    const uint8_t* p = get(off, 1);
    if (!p)
        return nullptr;
    Slot* s = m_last;
    avail = size_t(s->base + s->valid - off);
    return p;
}

} // namespace carvex
