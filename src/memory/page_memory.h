// Memory for large buffers that are written whole as soon as they exist:
// rendered pixels, the bytes of a file and the stores that hold the runs of
// a load.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace pykiv::memory {

// `bytes` bytes of uninitialised memory, or std::bad_alloc.
//
// A large request is served by a region of its own. Where the system allows
// it, the region is mapped with its pages already in place: a buffer that is
// about to be written whole would otherwise take one page fault per page on
// first touch, which costs more than the writing itself. Regions come in
// size classes, eight for each doubling of size (a region is at most an
// eighth larger than its request). Freed regions are kept, up to a bound
// (KeptPages::limit, at most 128 MiB), and handed out again for any request
// of their class or of a class somewhat smaller, so that loading one file
// after another, of whatever sizes, does not map, fault in and unmap fresh
// memory each time. When the system refuses a new region, the kept ones are
// given back and the request is tried once more.
void* allocate_pages(std::size_t bytes);

// Frees what allocate_pages returned for the same `bytes`.
void free_pages(void* memory, std::size_t bytes) noexcept;

// The memory kept for reuse: how much now, and the most that is kept.
struct KeptPages {
    std::size_t bytes;
    std::size_t limit;
};
KeptPages kept_pages();

// `bytes` bytes of uninitialised memory from allocate_pages, freed when the
// last owner lets go; null for 0 bytes. Parts of it can be handed out with
// shared_ptr's aliasing constructor and keep all of it.
std::shared_ptr<std::uint8_t> shared_pages(std::size_t bytes);

// An allocator over allocate_pages that leaves new elements uninitialised:
// the owner of such a buffer writes every byte of it, so clearing it first
// would only touch the memory twice.
template <typename T>
struct PageAllocator {
    static_assert(std::is_trivial_v<T>, "elements are left uninitialised");
    using value_type = T;

    PageAllocator() = default;
    template <typename U>
    PageAllocator(const PageAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > std::size_t(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(allocate_pages(count * sizeof(T)));
    }
    void deallocate(T* memory, std::size_t count) noexcept { free_pages(memory, count * sizeof(T)); }

    template <typename U>
    void construct(U* place) noexcept {
        ::new (static_cast<void*>(place)) U;
    }
    template <typename U, typename... Args>
    void construct(U* place, Args&&... args) {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }

    template <typename U>
    bool operator==(const PageAllocator<U>&) const noexcept {
        return true;
    }
    template <typename U>
    bool operator!=(const PageAllocator<U>&) const noexcept {
        return false;
    }
};

// Bytes in such memory; resizing does not clear them.
using PageBytes = std::vector<std::uint8_t, PageAllocator<std::uint8_t>>;

}  // namespace pykiv::memory
