#include "memory/page_memory.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <new>
#include <unordered_map>

#include "memory/physical_memory.h"

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

// Regions come in size classes, eight for each doubling of size: a request
// gets a region of the next class size at or above it, at most an eighth
// larger. Files of different sizes then share classes, and a region freed by
// one file serves the next even though no two files are of one size.
constexpr unsigned classes_per_doubling = 8;

// A kept region serves a request of a smaller class too, up to this factor
// (in eighths) above the request's class: the smallest that fits is taken.
constexpr std::size_t largest_fit_eighths = 12;

// At most this much freed memory is kept for reuse: enough for every region
// of one load of 48 frames of 640 x 480 (pixels, file bytes and runs), or of
// several loads of sprites. Beyond it, the regions freed longest ago are
// given back. A machine with little memory keeps at most a sixteenth of it.
constexpr std::size_t max_kept_bytes = std::size_t{128} << 20;

std::size_t kept_limit() {
    static const std::size_t limit =
        static_cast<std::size_t>(std::min<std::uint64_t>(max_kept_bytes, physical_memory_bytes() / 16));
    return limit;
}

// The class size of a request of at least min_region_bytes.
std::size_t class_bytes(std::size_t bytes) {
    unsigned top = 0;
    while ((bytes >> top) > 1) ++top;
    const std::size_t step = (std::size_t{1} << top) / classes_per_doubling;
    const std::size_t steps = (bytes + step - 1) / step;
    if (steps > std::size_t(-1) / step) throw std::bad_alloc();
    return steps * step;
}

#ifdef PYKIV_MAP_PAGES
// Regions of at least one huge page start on a huge page boundary and ask
// for huge pages: the system then clears and maps fresh memory 2 MiB at a
// time instead of 4 KiB at a time, which makes writing a new image about
// three times faster. Where the system has no huge pages the advice does
// nothing and the region is made of small pages.
constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;

// Maps pages in place at once, without a fault for each. Systems before
// Linux 5.14 refuse the advice; their pages are then mapped at first touch.
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

std::size_t page_bytes() {
    static const std::size_t bytes = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return bytes;
}

std::size_t whole_pages(std::size_t bytes) { return (bytes + page_bytes() - 1) / page_bytes() * page_bytes(); }

// Null when the system refuses the mapping.
void* map_huge_region(std::size_t size, std::size_t wanted) {
    // One huge page more than needed, so that an aligned start lies inside;
    // what lies before it and after the region's pages is unmapped again.
    const std::size_t mapped = size + huge_page_bytes;
    void* memory = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(memory);
    const std::uintptr_t aligned = (start + huge_page_bytes - 1) & ~std::uintptr_t{huge_page_bytes - 1};
    const std::uintptr_t end = aligned + size;
    if (aligned != start) munmap(memory, aligned - start);
    if (start + mapped != end) munmap(reinterpret_cast<void*>(end), start + mapped - end);
    auto* region = reinterpret_cast<std::uint8_t*>(aligned);
    // Huge pages only for the whole huge pages of the request: one for its
    // last part would fill 2 MiB of memory for a few bytes of it, and the
    // rest of the class is touched only by a larger request later.
    const std::size_t huge = wanted / huge_page_bytes * huge_page_bytes;
    madvise(region, huge, MADV_HUGEPAGE);
    if (huge < size) madvise(region + huge, size - huge, MADV_NOHUGEPAGE);
    madvise(region, whole_pages(wanted), MADV_POPULATE_WRITE);
    return region;
}
#endif

// A region of `size` bytes, the first `wanted` of them in place; null when
// the system refuses it.
void* map_region(std::size_t size, std::size_t wanted) {
#ifdef PYKIV_MAP_PAGES
    if (size >= huge_page_bytes) return map_huge_region(size, wanted);
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
#else
    (void)wanted;
    return ::operator new(size, std::nothrow);
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

// Puts the pages of [from, to) of a region in place, for a request larger
// than any the region served before.
void populate(void* memory, std::size_t from, std::size_t to) noexcept {
#ifdef PYKIV_MAP_PAGES
    // Class sizes are whole pages, so the last page of a request lies inside.
    from = from / page_bytes() * page_bytes();
    to = whole_pages(to);
    if (from < to) madvise(static_cast<std::uint8_t*>(memory) + from, to - from, MADV_POPULATE_WRITE);
#else
    (void)memory, (void)from, (void)to;
#endif
}

struct Region {
    void* memory;
    std::size_t size;       // the whole region, a class size
    std::size_t populated;  // how much of it has been put in place
};

// The regions handed out and the regions kept for reuse.
class Regions {
public:
    void* allocate(std::size_t bytes) {
        const std::size_t size = class_bytes(bytes);
        Region region{};
        if (!take(size, bytes, region)) {
            region = {map_region(size, bytes), size, bytes};
            if (region.memory == nullptr) {
                // Memory kept for reuse may be what stands in the way of a
                // limit on the process's memory.
                release_kept();
                region.memory = map_region(size, bytes);
                if (region.memory == nullptr) throw std::bad_alloc();
            }
        }
        // Under AddressSanitizer, the rest of the class is out of bounds.
        PYKIV_POISON(region.memory, region.size);
        PYKIV_UNPOISON(region.memory, bytes);
        try {
            const std::lock_guard<std::mutex> lock(mutex_);
            live_.emplace(region.memory, region);
        } catch (...) {
            unmap_region(region.memory, region.size);
            throw;
        }
        return region.memory;
    }

    void free(void* memory) noexcept {
        Region region{};
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            const auto live = live_.find(memory);
            if (live == live_.end()) return;  // not ours: never handed out
            region = live->second;
            live_.erase(live);
        }
        keep(region);
    }

    std::size_t kept_bytes() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return kept_bytes_;
    }

    void release_kept() noexcept {
        std::deque<Region> released;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            released.swap(kept_);
            kept_bytes_ = 0;
        }
        for (const Region& region : released) {
            PYKIV_UNPOISON(region.memory, region.size);
            unmap_region(region.memory, region.size);
        }
    }

private:
    // The smallest kept region of at least `size` bytes and at most
    // largest_fit_eighths / 8 of it, the one freed last of equal ones.
    bool take(std::size_t size, std::size_t bytes, Region& taken) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            const std::size_t largest = size / 8 * largest_fit_eighths;
            auto best = kept_.end();
            for (auto region = kept_.begin(); region != kept_.end(); ++region) {
                if (region->size < size || region->size > largest) continue;
                if (best == kept_.end() || region->size <= best->size) best = region;
            }
            if (best == kept_.end()) return false;
            taken = *best;
            kept_bytes_ -= taken.size;
            kept_.erase(best);
        }
        if (taken.populated < bytes) {
            populate(taken.memory, taken.populated, bytes);
            taken.populated = bytes;
        }
        return true;
    }

    void keep(const Region& region) noexcept {
        if (region.size > kept_limit()) {
            unmap_region(region.memory, region.size);
            return;
        }
        PYKIV_POISON(region.memory, region.size);
        std::deque<Region> given_back;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            try {
                kept_.push_back(region);
                kept_bytes_ += region.size;
                while (kept_bytes_ > kept_limit()) {
                    given_back.push_back(kept_.front());
                    kept_bytes_ -= kept_.front().size;
                    kept_.pop_front();
                }
            } catch (...) {
                given_back.push_back(region);
            }
        }
        for (const Region& old : given_back) {
            PYKIV_UNPOISON(old.memory, old.size);
            unmap_region(old.memory, old.size);
        }
    }

    std::mutex mutex_;
    std::unordered_map<void*, Region> live_;
    std::deque<Region> kept_;  // oldest first
    std::size_t kept_bytes_ = 0;
};

// Never destroyed: buffers may still be freed while the process exits.
Regions& regions() {
    static Regions* const regions = new Regions;
    return *regions;
}

}  // namespace

void* allocate_pages(std::size_t bytes) {
    if (bytes < min_region_bytes) return ::operator new(bytes);
    return regions().allocate(bytes);
}

void free_pages(void* memory, std::size_t bytes) noexcept {
    if (bytes < min_region_bytes) {
        ::operator delete(memory);
    } else {
        regions().free(memory);
    }
}

KeptPages kept_pages() { return {regions().kept_bytes(), kept_limit()}; }

std::shared_ptr<std::uint8_t> shared_pages(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    auto* memory = static_cast<std::uint8_t*>(allocate_pages(bytes));
    // Should the owner's bookkeeping fail to allocate, the memory is freed.
    return std::shared_ptr<std::uint8_t>(memory, [bytes](std::uint8_t* pages) { free_pages(pages, bytes); });
}

}  // namespace pykiv::memory
