// C-heap memory as the library keeps and hands it out: an owner, and the one set of string
// helpers. The throwing forms raise "Out of memory."; the noexcept forms return null, for the
// places (exception texts, progress names) where a failed copy must not become a new failure.
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

template <class CharT>
size_t HeapStrLen(const CharT* sz) noexcept {
    size_t n = 0;
    while (sz[n])
        ++n;
    return n;
}

// A terminated copy of the first nLen characters of sz (null for null).
template <class CharT>
CharT* HeapStrNDupNoThrow(const CharT* sz, size_t nLen) noexcept {
    if (!sz)
        return nullptr;
    CharT* p = static_cast<CharT*>(std::malloc((nLen + 1) * sizeof(CharT)));
    if (p) {
        std::memcpy(p, sz, nLen * sizeof(CharT));
        p[nLen] = CharT(0);
    }
    return p;
}

template <class CharT>
CharT* HeapStrDupNoThrow(const CharT* sz) noexcept {
    return sz ? HeapStrNDupNoThrow(sz, HeapStrLen(sz)) : nullptr;
}

template <class CharT>
CHeapPtr<CharT> HeapStrNDup(const CharT* sz, size_t nLen) {
    if (!sz)
        return nullptr;
    CHeapPtr<CharT> p(HeapStrNDupNoThrow(sz, nLen));
    if (!p)
        ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    return p;
}

// A heap copy of sz (null for null); error 102 when it cannot be allocated.
template <class CharT>
CHeapPtr<CharT> HeapStrDup(const CharT* sz) {
    return sz ? HeapStrNDup(sz, HeapStrLen(sz)) : nullptr;
}

// Room for nLen characters and a NUL, holding "" until filled.
template <class CharT = char>
CHeapPtr<CharT> HeapStrAlloc(DWORD nLen) {
    if (nLen == 0xFFFFFFFF)  // no room for the NUL in a 32-bit size
        ThrowError(HTTPCLIENT_ERR_ARITHMETIC_OVERFLOW);
    CHeapPtr<CharT> p(static_cast<CharT*>(std::malloc((size_t(nLen) + 1) * sizeof(CharT))));
    if (!p)
        ThrowError(HTTPCLIENT_ERR_OUT_OF_MEMORY);
    p.get()[0] = CharT(0);
    return p;
}

// szFirst's first nFirst characters followed by szRest's first nRest, terminated.
template <class CharT>
CHeapPtr<CharT> HeapStrJoin(const CharT* szFirst, DWORD nFirst, const CharT* szRest, DWORD nRest) {
    CHeapPtr<CharT> p = HeapStrAlloc<CharT>(SafeAdd(nFirst, nRest));
    if (nFirst)
        std::memcpy(p.get(), szFirst, nFirst * sizeof(CharT));
    if (nRest)
        std::memcpy(p.get() + nFirst, szRest, nRest * sizeof(CharT));
    p.get()[nFirst + nRest] = CharT(0);
    return p;
}

}  // namespace Tavon
