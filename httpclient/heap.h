// C-heap memory as the library keeps and hands it out: an owner, and string copies that
// raise "Out of memory." instead of returning null.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>

#include "errors.h"

namespace Tavon {

struct CFreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <class T>
using CHeapPtr = std::unique_ptr<T, CFreeDeleter>;

// A heap copy of sz (null for null); error 102 when it cannot be allocated.
template <class CharT>
CHeapPtr<CharT> HeapStrDup(const CharT* sz) {
    if (!sz)
        return nullptr;
    size_t n = 0;
    while (sz[n])
        ++n;
    const size_t cb = (n + 1) * sizeof(CharT);
    CharT* p = static_cast<CharT*>(std::malloc(cb));
    if (!p)
        ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    std::memcpy(p, sz, cb);
    return CHeapPtr<CharT>(p);
}

}  // namespace Tavon
