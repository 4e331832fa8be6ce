#pragma once
// Memory about to be written in full, made present at once. Where a page
// fault is dear (on a paravirtualised machine here, 11 µs a page against
// 0.8 µs a page to make a range present in one call), a command that fills
// megabytes of fresh memory gains by it: every whole page of the range is
// made present and writable now. Nothing changes in what the memory holds.
// Linux (5.14 on): madvise(MADV_POPULATE_WRITE); elsewhere, and on failure,
// nothing.
#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace ondrel::platform {

void PrefaultForWriting(void* begin, std::size_t bytes) noexcept;

// Fresh memory costs most on its first touch, page by page (here 7.5 µs a
// page even once made present, 15 µs without: 2 to 4 ms a MiB). Where a
// range holds whole aligned blocks of kHugePage bytes, this asks that they
// be backed by huge pages, each filled at one touch (8 MiB in under 1 ms
// here). Linux: madvise(MADV_HUGEPAGE), which transparent huge pages set to
// "madvise" or "always" honour; elsewhere nothing.
inline constexpr std::size_t kHugePage = 2 * 1024 * 1024;
void PreferHugePages(void* begin, std::size_t bytes) noexcept;

#ifdef __linux__
inline constexpr bool kHugePagesHere = true;
#else
inline constexpr bool kHugePagesHere = false;
#endif

// Fresh memory a command is about to fill: the large arrays and buffers of
// verify and make. From kBulkFrom bytes on, where huge pages are had, it
// starts on a huge page and its whole huge pages are backed by them; with
// `whole`, it is rounded up to whole huge pages as well (up to 2 MiB more:
// for the few large arrays of a command, whose pages would each cost more
// to fault than the rounding; not for what many files hold at once).
// Below, and elsewhere, it comes from the usual heap.
inline constexpr std::size_t kBulkFrom = 256 * 1024;

inline bool InHugePages(std::size_t bytes) noexcept { return kHugePagesHere && bytes >= kBulkFrom; }

inline void* AllocateBulk(std::size_t bytes, bool whole = true) {
    if (!InHugePages(bytes)) return ::operator new(bytes);
    if (bytes > std::numeric_limits<std::size_t>::max() - kHugePage) throw std::bad_alloc();
    const std::size_t size = whole ? (bytes + kHugePage - 1) / kHugePage * kHugePage : bytes;
    void* p = ::operator new(size, std::align_val_t{kHugePage});
    PreferHugePages(p, size);
    return p;
}

inline void FreeBulk(void* p, std::size_t bytes) noexcept {
    if (!InHugePages(bytes)) ::operator delete(p);
    else ::operator delete(p, std::align_val_t{kHugePage});
}

// Bytes from AllocateBulk, freed with it.
struct BulkDeleter {
    std::size_t bytes = 0;
    void operator()(unsigned char* p) const noexcept { FreeBulk(p, bytes); }
};
using BulkBytes = std::unique_ptr<unsigned char[], BulkDeleter>;
inline BulkBytes AllocateBulkBytes(std::size_t bytes, bool whole = true) {
    return BulkBytes(static_cast<unsigned char*>(AllocateBulk(bytes, whole)), BulkDeleter{bytes});
}

template <typename T>
struct BulkAllocator {
    using value_type = T;
    BulkAllocator() noexcept = default;
    template <typename U>
    BulkAllocator(const BulkAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(AllocateBulk(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { FreeBulk(p, n * sizeof(T)); }
    template <typename U>
    bool operator==(const BulkAllocator<U>&) const noexcept { return true; }
};
template <typename T>
using BulkVector = std::vector<T, BulkAllocator<T>>;

// Reserves room for count elements in the vector and makes it present.
template <typename T, typename Allocator>
void ReservePresent(std::vector<T, Allocator>& v, std::size_t count) {
    v.reserve(count);
    PrefaultForWriting(v.data() + v.size(), (v.capacity() - v.size()) * sizeof(T));
}

}  // namespace ondrel::platform
