#pragma once
// Fresh memory that a command is about to fill, made cheap to touch. What
// each system does for it is in its own prefault.cpp; nothing here changes
// what the memory holds.
#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace ondrel::platform {

// Makes every whole page of the range present and writable now, where the
// system can do that in one call for less than the faults it spares;
// elsewhere, and on failure, nothing.
void PrefaultForWriting(void* begin, std::size_t bytes) noexcept;

// Bulk memory: the large arrays and buffers of a command. From kBulkFrom
// bytes on, where the system has huge pages of kHugePage bytes, it starts
// on a huge page and its whole huge pages are asked to be backed by them;
// below, and elsewhere, it comes from the usual heap.
inline constexpr std::size_t kHugePage = 2 * 1024 * 1024;
inline constexpr std::size_t kBulkFrom = 256 * 1024;

// Whether bulk memory of this many bytes goes to huge pages here.
bool InHugePages(std::size_t bytes) noexcept;

// How much bulk memory in huge pages is taken.
enum class BulkRounding {
    // Rounded up to whole huge pages (up to 2 MiB more): for the few large
    // arrays of a command, whose pages would each cost more to fault than
    // the rounding.
    WholeHugePages,
    // As asked: for what many files hold at once.
    Exact,
};

// Throws std::bad_alloc. Freed with FreeBulk and the same count of bytes.
void* AllocateBulk(std::size_t bytes, BulkRounding rounding = BulkRounding::WholeHugePages);
void FreeBulk(void* p, std::size_t bytes) noexcept;

// Bytes from AllocateBulk, freed with it.
struct BulkDeleter {
    std::size_t bytes = 0;
    void operator()(unsigned char* p) const noexcept { FreeBulk(p, bytes); }
};
using BulkBytes = std::unique_ptr<unsigned char[], BulkDeleter>;
inline BulkBytes AllocateBulkBytes(std::size_t bytes, BulkRounding rounding = BulkRounding::WholeHugePages) {
    return BulkBytes(static_cast<unsigned char*>(AllocateBulk(bytes, rounding)), BulkDeleter{bytes});
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
