#include "map.h"

#include "errors.h"
#include "heap.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>

namespace Tavon {

namespace {

template <class CharT>
CharT FoldAscii(CharT c) noexcept {
    return (c >= CharT('A') && c <= CharT('Z')) ? CharT(c - CharT('A') + CharT('a')) : c;
}

template <class CharT>
const CharT kEmpty[1] = {CharT(0)};

}  // namespace

template <class CharT>
bool CHttpClientMapT<CharT>::NameLess::operator()(const CharT* szA, const CharT* szB) const noexcept {
    // Bytes compare unsigned, so names in a DBCS code page sort after ASCII.
    typedef std::make_unsigned_t<CharT> U;
    for (;; ++szA, ++szB) {
        const U a = static_cast<U>(FoldAscii(*szA));
        const U b = static_cast<U>(FoldAscii(*szB));
        if (a != b)
            return a < b;
        if (a == 0)
            return false;
    }
}

template <class CharT>
CHttpClientMapT<CharT>::CHttpClientMapT() : m_nCount(0) {}

template <class CharT>
CHttpClientMapT<CharT>::~CHttpClientMapT() {
    RemoveAll();
}

template <class CharT>
void CHttpClientMapT<CharT>::Add(const CharT* szName, const CharT* szValue, DWORD dwFlag, const CharT* szFileName) {
    if (!szName)
        ThrowErrorMsg("CHttpClientMapT::Add: szName can not be NULL.", HTTPCLIENT_ERR_NOT_SPECIFIED);

    GuardBoundary([&] {
        CHeapPtr<CharT> name = HeapStrDup(szName);
        CHeapPtr<CharT> value = HeapStrDup(szValue);
        CHeapPtr<CharT> fileName = HeapStrDup(szFileName);
        _Insert(name.get(), value.get(), dwFlag, fileName.get());
        name.release();
        value.release();
        fileName.release();
    });
}

template <class CharT>
void CHttpClientMapT<CharT>::AddPointerDirectly(CharT* szName, CharT* szValue, DWORD dwFlag) {
    if (!szName)
        ThrowErrorMsg("CHttpClientMapT::AddPointerDirectly: szName can not be NULL.", HTTPCLIENT_ERR_NOT_SPECIFIED);
    _Insert(szName, szValue, dwFlag, nullptr);
}

template <class CharT>
void CHttpClientMapT<CharT>::_Insert(CharT* szName, CharT* szValue, DWORD dwFlag, CharT* szFileName) {
    GuardBoundary<HTTPCLIENT_CONVERT_ALL>([&] {
        const DWORD nCount = SafeAdd(m_nCount, 1);
        // multimap::insert places the entry after every equal key: order of adding is kept.
        m_map.insert(typename EntryMap::value_type(szName, MapValue{szName, szValue, dwFlag, szFileName}));
        m_nCount = nCount;
    });
}

template <class CharT>
void CHttpClientMapT<CharT>::_Free(const MapValue& value) noexcept {
    std::free(const_cast<CharT*>(value.szValue));
    std::free(const_cast<CharT*>(value.szFileName));
}

template <class CharT>
DWORD CHttpClientMapT<CharT>::Count(const CharT* szName) const {
    if (!szName)
        return m_nCount;
    const auto range = m_map.equal_range(szName);
    DWORD n = 0;
    for (auto it = range.first; it != range.second; ++it)
        ++n;
    return n;
}

template <class CharT>
const CharT* CHttpClientMapT<CharT>::Get(const CharT* szName, DWORD nIdx) const {
    if (!szName)
        ThrowErrorMsg("CHttpClientMapT::Get: szName can not be NULL.", HTTPCLIENT_ERR_NOT_SPECIFIED);

    const auto range = m_map.equal_range(szName);
    auto it = range.first;
    for (; it != range.second && nIdx; --nIdx)
        ++it;
    if (it == range.second)
        return nullptr;
    return it->second.szValue ? it->second.szValue : kEmpty<CharT>;
}

template <class CharT>
BOOL CHttpClientMapT<CharT>::RemoveAll(const CharT* szName) {
    if (!szName)
        ThrowErrorMsg("CHttpClientMapT::RemoveAll: szName can not be NULL.", HTTPCLIENT_ERR_NOT_SPECIFIED);

    const auto range = m_map.equal_range(szName);
    if (range.first == range.second)
        return FALSE;

    // szName may be one of the names being removed: every comparison with it is done by now,
    // and unlinking by iterator compares no keys.
    DWORD n = 0;
    for (auto it = range.first; it != range.second; ++n) {
        _Free(it->second);
        CharT* szOwnName = const_cast<CharT*>(it->second.szName);
        it = m_map.erase(it);
        std::free(szOwnName);
    }
    m_nCount -= n;
    return TRUE;
}

template <class CharT>
BOOL CHttpClientMapT<CharT>::RemoveAll() {
    if (m_map.empty())
        return FALSE;
    for (auto& entry : m_map) {
        _Free(entry.second);
        std::free(const_cast<CharT*>(entry.second.szName));
    }
    m_map.clear();
    m_nCount = 0;
    return TRUE;
}

template class CHttpClientMapT<char>;

}  // namespace Tavon
