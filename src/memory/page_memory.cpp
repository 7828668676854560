#include "memory/page_memory.h"

#include <cstddef>
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
#define PYKIV_MAP_PAGES 1
#endif

namespace pykiv::memory {

namespace {

// Below this the ordinary heap serves: it reuses small freed blocks itself.
constexpr std::size_t min_region_bytes = std::size_t{64} << 10;

// At most this much freed memory is kept for reuse; beyond it, the regions
// freed longest ago are given back.
constexpr std::size_t max_kept_bytes = std::size_t{64} << 20;

void* map_region(std::size_t bytes) {
#ifdef PYKIV_MAP_PAGES
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

namespace {

class PageResource : public std::pmr::memory_resource {
    void* do_allocate(std::size_t bytes, std::size_t alignment) override {
        // Regions are page-aligned and the heap aligns for any standard type.
        if (alignment > alignof(std::max_align_t)) throw std::bad_alloc();
        return allocate_pages(bytes);
    }
    void do_deallocate(void* memory, std::size_t bytes, std::size_t) override { free_pages(memory, bytes); }
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
};

}  // namespace

std::pmr::memory_resource* page_resource() noexcept {
    // Never destroyed either: a frame may release its store during exit.
    static PageResource* const resource = new PageResource;
    return resource;
}

}  // namespace pykiv::memory
