// Engine allocations: zero-filled, and a failed allocation ends the process
// with exit status 1 (engines never run on with a null buffer).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <new>

namespace fsprobe {

inline void* engine_alloc(size_t bytes)
{
    void* p = std::calloc(bytes ? bytes : 1, 1);
    if (!p) {
        std::fputs("fsprobe: out of memory\n", stderr);
        std::exit(1);
    }
    return p;
}

template<typename T>
T* engine_new_zeroed(size_t count = 1)
{
    return static_cast<T*>(engine_alloc(sizeof(T) * count));
}

inline void engine_free(void* p) { std::free(p); }

} // namespace fsprobe
