// CString, the framework's one text type, with Sprintf and the small text
// helpers, and CThreadSafeAllocator, the allocator of every standard container
// the framework uses.
//
// A CString holds its text twice, narrow (one byte per character) and wide,
// kept in step after every change. The two convert through ISO-8859-1 done
// here by hand, so results never depend on the machine's locales: byte n is
// code point n, and a wide character above 0xFF has no narrow form (the whole
// narrow text then reads as question marks of the same length).
// A CString has no lock: one object belongs to one thread at a time.
#ifndef NB_COMMON_DATATYPES_STRING_H
#define NB_COMMON_DATATYPES_STRING_H

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "common/src/heap.h"
#include "common/src/linux/platform.h"

template <class T> class CVector;
template <class K, class V> class CAssocArray;

// Container memory comes straight from the C library heap (OS_Malloc), which
// is safe from any thread; no per-type pools. Any two instances are equal.
template <class T>
class CThreadSafeAllocator {
public:
    typedef T value_type;
    typedef T* pointer;
    typedef const T* const_pointer;
    typedef T& reference;
    typedef const T& const_reference;
    typedef std::size_t size_type;
    typedef std::ptrdiff_t difference_type;
    template <class U> struct rebind { typedef CThreadSafeAllocator<U> other; };

    CThreadSafeAllocator() noexcept {}
    template <class U>
    CThreadSafeAllocator(const CThreadSafeAllocator<U>&) noexcept {}

    T* allocate(size_type n, const void* /*hint*/ = nullptr) {
        if (n > max_size()) throw std::bad_alloc();
        return static_cast<T*>(OS_Malloc(static_cast<unsigned int>(n * sizeof(T))));
    }
    void deallocate(T* p, size_type) noexcept { OS_Free(p); }

    template <class U, class... Args>
    void construct(U* p, Args&&... args) { ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...); }
    template <class U>
    void destroy(U* p) { p->~U(); }
    // Blocks are sized in the heap layer's unsigned int.
    size_type max_size() const noexcept { return 0xFFFFFFFFu / sizeof(T); }

    std::allocator<T> refallocator;
};

template <class T, class U>
bool operator==(const CThreadSafeAllocator<T>&, const CThreadSafeAllocator<U>&) { return true; }
template <class T, class U>
bool operator!=(const CThreadSafeAllocator<T>&, const CThreadSafeAllocator<U>&) { return false; }

// Formats into a new string. Output that cannot be produced in full (the C
// library refuses the arguments, or the result would be cut) stops the process.
inline class CString VSprintf(const char* fmt, va_list args);
inline class CString FormatChecked(const char* file, int line, const char* fmt, va_list args);
inline class CString Sprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

class CString {
public:
    typedef std::basic_string<char, std::char_traits<char>, CThreadSafeAllocator<char>> NarrowString_t;
    typedef std::basic_string<wchar_t, std::char_traits<wchar_t>, CThreadSafeAllocator<wchar_t>> WideString_t;

    CString() : m_StringA(new NarrowString_t()), m_StringW(new WideString_t()), m_BufferA(nullptr), m_BufferW(nullptr) {}
    CString(const char* s)
        : m_StringA(new NarrowString_t(CheckedText(s))), m_StringW(new WideString_t()), m_BufferA(nullptr),
          m_BufferW(nullptr) {
        SyncAtoW();
    }
    CString(const wchar_t* s) : CString() {
        OS_ASSERT(s != nullptr);
        *m_StringW = s;
        SyncWtoA();
    }
    CString(const CString& s)
        : m_StringA(new NarrowString_t(*s.m_StringA)), m_StringW(new WideString_t(*s.m_StringW)),
          m_BufferA(nullptr), m_BufferW(nullptr) {}
    ~CString() {
        delete m_StringA;
        delete m_StringW;
    }

    CString& operator=(const CString& s) {
        if (&s == this) return *this;
        // Both forms of s are already in step: copying them is the same as
        // converting s's wide form again.
        *m_StringW = *s.m_StringW;
        *m_StringA = *s.m_StringA;
        return *this;
    }
    void operator+=(const CString& s) {
        m_StringW->append(*s.m_StringW);
        SyncWtoA();
    }
    void operator+=(char c) {
        m_StringW->push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
        SyncWtoA();
    }
    void operator+=(wchar_t c) {
        m_StringW->push_back(c);
        SyncWtoA();
    }
    CString operator+(const CString& s) const {
        WideString_t w(*m_StringW);
        w.append(*s.m_StringW);
        return CString(w.c_str());
    }

    int Length() const { return static_cast<int>(m_StringA->size()); }
    operator const char*() const { return m_StringA->c_str(); }
    const char* Ptr() const { return m_StringA->c_str(); }
    operator const wchar_t*() const { return m_StringW->c_str(); }
    const wchar_t* WPtr() const { return m_StringW->c_str(); }
    const char& operator[](int i) const {
        OS_ASSERT(i >= 0 && i <= Length());
        return (*m_StringA)[static_cast<size_t>(i)];
    }
    char At(int i) const { return (*this)[i]; }
    wchar_t AtW(int i) const {
        OS_ASSERT(i >= 0 && i <= Length());
        return (*m_StringW)[static_cast<size_t>(i)];
    }

    bool operator==(const CString& s) const { return *m_StringW == *s.m_StringW; }
    bool operator!=(const CString& s) const { return !(*this == s); }
    // Byte-wise order of the narrow text (unsigned bytes): the key order of
    // every CString-keyed CAssocArray.
    bool operator<(const CString& s) const { return strcmp(Ptr(), s.Ptr()) < 0; }

    // Position of s at or after start, or -1. An empty s is found at start
    // when start is not past the end. A negative start searches from 0.
    int Find(const CString& s, int start) const {
        if (start < 0) start = 0;
        size_t pos = m_StringW->find(*s.m_StringW, static_cast<size_t>(start));
        return pos == WideString_t::npos ? -1 : static_cast<int>(pos);
    }
    // length is clipped to what remains (negative: to the end); start must
    // lie in 0..Length().
    CString SubString(int start, int length) const {
        OS_ASSERTMSG(start >= 0 && start <= Length(), "SubString start %d outside 0..%d", start, Length());
        int rest = Length() - start;
        if (length < 0 || length > rest) length = rest;
        WideString_t w(*m_StringW, static_cast<size_t>(start), static_cast<size_t>(length));
        return CString(w.c_str());
    }
    CString SubString2(int start, int end) const { return SubString(start, end - start); }
    // The last length characters; all of them when length exceeds Length().
    CString Right(int length) const {
        if (length > Length()) length = Length();
        if (length < 0) length = 0;
        return SubString(Length() - length, length);
    }
    CString Left(int length) const { return SubString(0, length); }
    CString Before(const CString& s) const {
        int pos = Find(s, 0);
        return pos < 0 ? CString() : SubString(0, pos);
    }
    CString After(const CString& s) const {
        int pos = Find(s, 0);
        return pos < 0 ? CString() : SubString(pos + s.Length(), -1);
    }
    CString Middle(const CString& start, const CString& end) const {
        if (Find(start, 0) < 0 || Find(end, 0) < 0) return CString();
        return After(start).Before(end);
    }

    // Non-overlapping occurrences, left to right; inserted text is never
    // searched again. An empty from leaves the text unchanged.
    CString Replace(CString from, CString to) const {
        if (from.Length() == 0) return *this;
        WideString_t result;
        size_t scan = 0;
        for (;;) {
            size_t pos = m_StringW->find(*from.m_StringW, scan);
            if (pos == WideString_t::npos) break;
            result.append(*m_StringW, scan, pos - scan);
            result.append(*to.m_StringW);
            scan = pos + from.m_StringW->size();
        }
        result.append(*m_StringW, scan, WideString_t::npos);
        return CString(result.c_str());
    }

    // Pieces between delimiters: "" gives none, "a,,b," gives "a", "", "b".
    // An empty delimiter gives the whole text as one piece.
    template <class R = CVector<CString>>
    R Split(CString delimiter) const {
        R result;
        if (Length() == 0) return result;
        if (delimiter.Length() == 0) {
            result.AddToTail(*this);
            return result;
        }
        size_t scan = 0;
        const WideString_t& w = *m_StringW;
        while (scan < w.size()) {
            size_t pos = w.find(*delimiter.m_StringW, scan);
            if (pos == WideString_t::npos) {
                result.AddToTail(CString(WideString_t(w, scan).c_str()));
                break;
            }
            result.AddToTail(CString(WideString_t(w, scan, pos - scan).c_str()));
            scan = pos + delimiter.m_StringW->size();
        }
        return result;
    }
    // "a=1&b=2" by "&" and "=": key to value in first-seen order; "a=b=c"
    // gives a -> b, "a" gives a -> "", pieces with an empty key are skipped.
    template <class R = CAssocArray<CString, CString>, class Pieces = CVector<CString>>
    R Split(CString delMajor, CString delMinor) const {
        R result;
        Pieces pieces = Split<Pieces>(delMajor);
        for (int i = 0; i < pieces.Count(); i++) {
            Pieces parts = pieces[i].template Split<Pieces>(delMinor);
            if (parts.Count() == 0 || parts[0].Length() == 0) continue;
            result[parts[0]] = parts.Count() >= 2 ? parts[1] : CString();
        }
        return result;
    }

    // ISO-8859-1 case mapping: A-Z and the accented capitals 0xC0-0xDE
    // (except 0xD7, the multiplication sign); anything else unchanged.
    CString ToLower() const {
        WideString_t w(*m_StringW);
        for (auto& c : w) {
            if ((c >= L'A' && c <= L'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) c += 32;
        }
        return CString(w.c_str());
    }
    CString ToUpper() const {
        WideString_t w(*m_StringW);
        for (auto& c : w) {
            if ((c >= L'a' && c <= L'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) c -= 32;
        }
        return CString(w.c_str());
    }
    bool AlphaNumeric() const {
        for (char c : *m_StringA) {
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
        }
        return true;
    }

    // Decimal number at the start (white space skipped, optional sign),
    // saturated to the int range; 0 when the text does not start with one.
    int ToInteger() const {
        long long v = ParseNumber(10, true);
        return static_cast<int>(v);
    }
    unsigned int ToUInteger() const { return static_cast<unsigned int>(ParseNumber(10, false)); }
    // Hexadecimal in either case with optional "0x"; the 32-bit pattern, so
    // "FFFFFFFF" reads -1.
    int ToHex() const { return static_cast<int>(static_cast<unsigned int>(ParseNumber(16, false))); }
    unsigned int ToUHex() const { return static_cast<unsigned int>(ParseNumber(16, false)); }
    double ToFloat() const { return strtod(Ptr(), nullptr); }

    // Scratch array of size bytes; ReleaseBuffer makes the NUL-terminated text
    // written into it the value of the string and frees it.
    char* GetBuffer(int size) {
        OS_ASSERT(size > 0);
        m_BufferA = static_cast<char*>(OS_Malloc(static_cast<unsigned int>(size)));
        m_BufferA[0] = 0;
        return m_BufferA;
    }
    void ReleaseBuffer() {
        OS_ASSERT(m_BufferA != nullptr);
        *m_StringA = m_BufferA;
        OS_Free(m_BufferA);
        m_BufferA = nullptr;
        SyncAtoW();
    }
    wchar_t* GetBufferW(int size) {
        OS_ASSERT(size > 0);
        m_BufferW = static_cast<wchar_t*>(OS_Malloc(static_cast<unsigned int>(size * sizeof(wchar_t))));
        m_BufferW[0] = 0;
        return m_BufferW;
    }
    void ReleaseBufferW() {
        OS_ASSERT(m_BufferW != nullptr);
        *m_StringW = m_BufferW;
        OS_Free(m_BufferW);
        m_BufferW = nullptr;
        SyncWtoA();
    }

private:
    static const char* CheckedText(const char* s) {
        OS_ASSERT(s != nullptr);
        return s;
    }
    // Narrow to wide: byte n is code point n, so this never fails.
    void SyncAtoW() {
        m_StringW->resize(m_StringA->size());
        for (size_t i = 0; i < m_StringA->size(); i++) {
            (*m_StringW)[i] = static_cast<wchar_t>(static_cast<unsigned char>((*m_StringA)[i]));
        }
    }
    // Wide to narrow: when any character has no ISO-8859-1 form, the whole
    // narrow text becomes question marks of the same length; the wide form
    // keeps the real text for comparisons.
    void SyncWtoA() {
        const WideString_t& w = *m_StringW;
        bool convertible = true;
        for (wchar_t c : w) {
            if (c < 0 || c > 0xFF) {
                convertible = false;
                break;
            }
        }
        if (!convertible) {
            m_StringA->assign(w.size(), '?');
            return;
        }
        m_StringA->resize(w.size());
        for (size_t i = 0; i < w.size(); i++) (*m_StringA)[i] = static_cast<char>(static_cast<unsigned char>(w[i]));
    }
    long long ParseNumber(int base, bool isSigned) const {
        const char* p = Ptr();
        while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
        bool negative = false;
        if (*p == '+' || *p == '-') {
            negative = *p == '-';
            p++;
        }
        if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && isxdigit(static_cast<unsigned char>(p[2]))) p += 2;
        const long long limit = isSigned ? (negative ? 2147483648LL : 2147483647LL) : 4294967295LL;
        long long v = 0;
        for (;; p++) {
            int d;
            if (*p >= '0' && *p <= '9') d = *p - '0';
            else if (base == 16 && *p >= 'a' && *p <= 'f') d = *p - 'a' + 10;
            else if (base == 16 && *p >= 'A' && *p <= 'F') d = *p - 'A' + 10;
            else break;
            v = v * base + d;
            if (v > limit) v = limit;
        }
        // An unsigned conversion of "-n" wraps as the C library's does.
        if (negative) v = isSigned ? -v : static_cast<long long>(static_cast<unsigned int>(-v));
        return v;
    }

    NarrowString_t* m_StringA;  // owned
    WideString_t* m_StringW;    // owned
    char* m_BufferA;            // scratch between GetBuffer and ReleaseBuffer
    wchar_t* m_BufferW;         // scratch between GetBufferW and ReleaseBufferW
};

inline CString operator+(const char* s1, const CString& s2) { return CString(s1) + s2; }
inline bool operator==(CString s1, const char* s2) { return s1 == CString(s2); }
inline bool operator!=(CString s1, const char* s2) { return !(s1 == CString(s2)); }

// The two-pass formatting behind Sprintf and the log: measure, then format
// into a buffer of that size (2000 bytes when the measuring pass fails). A
// result that cannot be produced in full stops the process, reported at the
// caller's file and line.
inline CString FormatChecked(const char* file, int line, const char* fmt, va_list args) {
    va_list measure;
    va_copy(measure, args);
    int n = vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);
    long long size = static_cast<long long>(n) + 1;
    if (size == 0) size = 2000;
    if (size <= 0) OS_Assert(line, file, "Sprintf: bad length");
    char* buf = static_cast<char*>(OS_Malloc(static_cast<unsigned int>(size)));
    buf[0] = 0;
    int written = vsnprintf(buf, static_cast<size_t>(size), fmt, args);
    buf[size - 1] = 0;
    if (written < 0 || written >= size) OS_Assert(line, file, "Sprintf: output cut");
    CString result(buf);
    OS_Free(buf);
    return result;
}

inline CString VSprintf(const char* fmt, va_list args) { return FormatChecked(__FILE__, __LINE__, fmt, args); }

inline CString Sprintf(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    CString result = VSprintf(fmt, args);
    va_end(args);
    return result;
}

inline CString ToString(const CString& s) { return s; }
inline CString ToString(int num) { return Sprintf("%d", num); }
// Upper-case hexadecimal, zero-padded to at least digits digits: ToString(10, 2) is "0A".
inline CString ToString(int x, int digits) {
    if (digits < 0) digits = 0;
    if (digits > 64) digits = 64;
    return Sprintf("%0*X", digits, static_cast<unsigned int>(x));
}

// Removes one trailing line feed, then one trailing carriage return, in place.
inline void chop(char* buf) {
    size_t n = strlen(buf);
    if (n > 0 && buf[n - 1] == '\n') buf[--n] = 0;
    if (n > 0 && buf[n - 1] == '\r') buf[--n] = 0;
}

// True when every character is a decimal digit; true for "".
inline bool IsNumeric(const char* s) {
    for (; *s; s++) {
        if (*s < '0' || *s > '9') return false;
    }
    return true;
}

// Split's result types; included once CString is complete.
#include "common/src/datatypes/assocarray.h"
#include "common/src/datatypes/vector.h"

#endif
