#include "memory/page_memory.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <iterator>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__)
#define PYKIV_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PYKIV_ASAN 1
#endif
#endif

#ifdef PYKIV_ASAN
// Kept regions are marked unaddressable, so that a use after free shows even
// though the memory is not given back.
#include <sanitizer/asan_interface.h>
#define PYKIV_POISON(memory, bytes) ASAN_POISON_MEMORY_REGION(memory, bytes)
#define PYKIV_UNPOISON(memory, bytes) ASAN_UNPOISON_MEMORY_REGION(memory, bytes)
#else
#define PYKIV_POISON(memory, bytes) ((void)(memory), (void)(bytes))
#define PYKIV_UNPOISON(memory, bytes) ((void)(memory), (void)(bytes))
#endif

// Under AddressSanitizer regions come from the ordinary heap too, whose
// guard zones catch writes past a region's end.
#if defined(__linux__) && !defined(PYKIV_ASAN)
#include <sys/mman.h>
#include <unistd.h>
#define PYKIV_MAP_PAGES 1
#endif

namespace pykiv::memory {

namespace {

// Below this the ordinary heap serves: it reuses small freed blocks itself.
constexpr std::size_t min_region_bytes = std::size_t{64} << 10;

// At most this much freed memory is kept for reuse; beyond it, the regions
// freed longest ago are given back.
constexpr std::size_t max_kept_bytes = std::size_t{64} << 20;

#ifdef PYKIV_MAP_PAGES
// Regions of at least one huge page start on a huge page boundary and ask
// for huge pages: the system then clears and maps fresh memory 2 MiB at a
// time instead of 4 KiB at a time, which makes writing a new image about
// three times faster. Where the system has no huge pages the advice does
// nothing and the region is made of small pages.
constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;

// Maps the region's pages in place at once, without a fault for each.
// Systems before Linux 5.14 refuse the advice; their pages are then mapped
// at first touch.
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

std::size_t page_bytes() {
    static const std::size_t bytes = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return bytes;
}

std::size_t whole_pages(std::size_t bytes) { return (bytes + page_bytes() - 1) / page_bytes() * page_bytes(); }

void* map_huge_region(std::size_t bytes) {
    // One huge page more than needed, so that an aligned start lies inside;
    // what lies before it and after the region's pages is unmapped again.
    const std::size_t mapped = whole_pages(bytes) + huge_page_bytes;
    void* memory = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(memory);
    const std::uintptr_t aligned = (start + huge_page_bytes - 1) & ~std::uintptr_t{huge_page_bytes - 1};
    const std::uintptr_t end = aligned + whole_pages(bytes);
    if (aligned != start) munmap(memory, aligned - start);
    if (start + mapped != end) munmap(reinterpret_cast<void*>(end), start + mapped - end);
    void* region = reinterpret_cast<void*>(aligned);
    madvise(region, bytes, MADV_HUGEPAGE);
    madvise(region, bytes, MADV_POPULATE_WRITE);
    return region;
}
#endif

void* map_region(std::size_t bytes) {
#ifdef PYKIV_MAP_PAGES
    if (bytes >= huge_page_bytes) return map_huge_region(bytes);
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    return memory;
#else
    return ::operator new(bytes);
#endif
}

void unmap_region(void* memory, std::size_t bytes) noexcept {
#ifdef PYKIV_MAP_PAGES
    munmap(memory, bytes);
#else
    (void)bytes;
    ::operator delete(memory);
#endif
}

struct Region {
    void* memory;
    std::size_t bytes;
};

class KeptRegions {
public:
    // A kept region of exactly `bytes`, the one freed last; null if none.
    void* take(std::size_t bytes) {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (auto region = regions_.rbegin(); region != regions_.rend(); ++region) {
            if (region->bytes != bytes) continue;
            void* memory = region->memory;
            kept_bytes_ -= bytes;
            regions_.erase(std::next(region).base());
            PYKIV_UNPOISON(memory, bytes);
            return memory;
        }
        return nullptr;
    }

    void keep(void* memory, std::size_t bytes) noexcept {
        if (bytes > max_kept_bytes) {
            unmap_region(memory, bytes);
            return;
        }
        PYKIV_POISON(memory, bytes);
        const std::lock_guard<std::mutex> lock(mutex_);
        try {
            regions_.push_back({memory, bytes});
        } catch (...) {
            PYKIV_UNPOISON(memory, bytes);
            unmap_region(memory, bytes);
            return;
        }
        kept_bytes_ += bytes;
        while (kept_bytes_ > max_kept_bytes) {
            const Region oldest = regions_.front();
            regions_.pop_front();
            kept_bytes_ -= oldest.bytes;
            PYKIV_UNPOISON(oldest.memory, oldest.bytes);
            unmap_region(oldest.memory, oldest.bytes);
        }
    }

private:
    std::mutex mutex_;
    std::deque<Region> regions_;  // oldest first
    std::size_t kept_bytes_ = 0;
};

// Never destroyed: buffers may still be freed while the process exits.
KeptRegions& kept_regions() {
    static KeptRegions* const regions = new KeptRegions;
    return *regions;
}

}  // namespace

void* allocate_pages(std::size_t bytes) {
    if (bytes < min_region_bytes) return ::operator new(bytes);
    if (void* memory = kept_regions().take(bytes)) return memory;
    return map_region(bytes);
}

void free_pages(void* memory, std::size_t bytes) noexcept {
    if (bytes < min_region_bytes) {
        ::operator delete(memory);
    } else {
        kept_regions().keep(memory, bytes);
    }
}

std::shared_ptr<std::uint8_t> shared_pages(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    auto* memory = static_cast<std::uint8_t*>(allocate_pages(bytes));
    // Should the owner's bookkeeping fail to allocate, the memory is freed.
    return std::shared_ptr<std::uint8_t>(memory, [bytes](std::uint8_t* pages) { free_pages(pages, bytes); });
}

}  // namespace pykiv::memory
