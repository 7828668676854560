#include "system/page_memory.h"

#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define PYKIV_ORDINARY_HEAP_ONLY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PYKIV_ORDINARY_HEAP_ONLY 1
#endif
#endif

#if defined(__linux__) && !defined(PYKIV_ORDINARY_HEAP_ONLY)
#include <sys/mman.h>
#define PYKIV_PREFAULTED_PAGES 1
#endif

namespace pykiv::system {

#ifdef PYKIV_PREFAULTED_PAGES

namespace {

// Below this the ordinary heap serves: it reuses freed memory, whose pages
// are already present, while a request this large would be mapped afresh
// by the heap anyway.
constexpr std::size_t min_mapped_bytes = std::size_t{128} << 10;

}  // namespace

void* allocate_pages(std::size_t bytes) {
    if (bytes < min_mapped_bytes) return ::operator new(bytes);
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    return memory;
}

void free_pages(void* memory, std::size_t bytes) noexcept {
    if (bytes < min_mapped_bytes) {
        ::operator delete(memory);
    } else {
        munmap(memory, bytes);
    }
}

#else

// Elsewhere, and under AddressSanitizer (whose checks only cover its own
// heap), the ordinary heap serves every request.
void* allocate_pages(std::size_t bytes) { return ::operator new(bytes); }

void free_pages(void* memory, std::size_t) noexcept { ::operator delete(memory); }

#endif

}  // namespace pykiv::system
