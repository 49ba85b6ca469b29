// Multimap from names to C-heap strings, ordered by name without regard to ASCII case and,
// within one name, by order of adding. The client writes parameters and headers in this order,
// so the order is part of what goes on the wire.
#pragma once

#include <windows.h>

#include <cstddef>
#include <iterator>
#include <map>

namespace Tavon {

// Flag bits stored beside each form parameter.
enum : DWORD {
    HTTPCLIENT_PARAM_FILE = 0x1,
    HTTPCLIENT_PARAM_ENCODEDNAME = 0x2,
    HTTPCLIENT_PARAM_ENCODEDVALUE = 0x4,
};

template <class CharT>
class CHttpClientMapT {
public:
    struct MapValue {
        const CharT* szName;
        const CharT* szValue;  // may be null
        DWORD dwFlag;
        // File parameters: the file name their part header carries instead of the path; may be null.
        const CharT* szFileName;
    };

private:
    struct NameLess {
        bool operator()(const CharT* szA, const CharT* szB) const noexcept;
    };
    // The key is the entry's own name (the same pointer as MapValue::szName).
    typedef std::multimap<const CharT*, MapValue, NameLess> EntryMap;

public:
    class const_iterator {
    public:
        typedef std::forward_iterator_tag iterator_category;
        typedef MapValue value_type;
        typedef std::ptrdiff_t difference_type;
        typedef const MapValue* pointer;
        typedef const MapValue& reference;

        const_iterator() = default;
        reference operator*() const { return m_it->second; }
        pointer operator->() const { return &m_it->second; }
        const_iterator& operator++() {
            ++m_it;
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator old = *this;
            ++m_it;
            return old;
        }
        bool operator==(const const_iterator& other) const { return m_it == other.m_it; }
        bool operator!=(const const_iterator& other) const { return m_it != other.m_it; }

    private:
        friend class CHttpClientMapT;
        explicit const_iterator(typename EntryMap::const_iterator it) : m_it(it) {}
        typename EntryMap::const_iterator m_it;
    };

    CHttpClientMapT();
    virtual ~CHttpClientMapT();
    CHttpClientMapT(const CHttpClientMapT&) = delete;
    CHttpClientMapT& operator=(const CHttpClientMapT&) = delete;

    // Stores C-heap copies of szName, szValue and szFileName (a null value or file name stays null).
    void Add(const CharT* szName, const CharT* szValue = nullptr, DWORD dwFlag = 0, const CharT* szFileName = nullptr);
    // Takes over two malloc'ed strings; on failure they still belong to the caller.
    void AddPointerDirectly(CharT* szName, CharT* szValue = nullptr, DWORD dwFlag = 0);

    DWORD Count(const CharT* szName = nullptr) const;
    // The nIdx-th value stored under szName, "" for a null value, null when there is none.
    const CharT* Get(const CharT* szName, DWORD nIdx = 0) const;
    // szName may point into the map itself.
    BOOL RemoveAll(const CharT* szName);
    BOOL RemoveAll();

    const_iterator begin() const { return const_iterator(m_map.begin()); }
    const_iterator end() const { return const_iterator(m_map.end()); }

private:
    void _Insert(CharT* szName, CharT* szValue, DWORD dwFlag, CharT* szFileName);
    static void _Free(const MapValue& value) noexcept;

    EntryMap m_map;
    DWORD m_nCount;
};

typedef CHttpClientMapT<char> CHttpClientMapA;

}  // namespace Tavon
