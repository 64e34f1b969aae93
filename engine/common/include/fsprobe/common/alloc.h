// Engine allocations: zero-filled. A failed allocation throws std::bad_alloc,
// which the guard of the running export turns into the export's failure value
// and the reason "out of memory" (engines never run on with a null buffer).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace fsprobe {

namespace detail {
// Test hook: when non-zero, the allocation that brings it to zero fails.
inline std::atomic<uint64_t> g_allocations_until_failure { 0 };
}

// Makes the n-th engine allocation from now fail (0: none fails). For tests
// of the failure paths.
inline void fail_engine_allocation(uint64_t n)
{
    detail::g_allocations_until_failure.store(n, std::memory_order_relaxed);
}

inline void* engine_alloc(size_t bytes)
{
    if (detail::g_allocations_until_failure.load(std::memory_order_relaxed) != 0
        && detail::g_allocations_until_failure.fetch_sub(1, std::memory_order_relaxed) == 1)
        throw std::bad_alloc();
    void* p = std::calloc(bytes ? bytes : 1, 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}

template<typename T>
T* engine_new_zeroed(size_t count = 1)
{
    if (count > SIZE_MAX / sizeof(T))
        throw std::bad_alloc();
    return static_cast<T*>(engine_alloc(sizeof(T) * count));
}

inline void engine_free(void* p) { std::free(p); }

} // namespace fsprobe
