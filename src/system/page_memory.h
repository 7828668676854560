// Memory for large buffers that are written whole as soon as they exist.
#pragma once

#include <cstddef>

namespace pykiv::system {

// `bytes` bytes of uninitialised memory, or std::bad_alloc. Where the system
// allows it, a large request is mapped with its pages already in place: a
// buffer that is about to be written whole would otherwise take one page
// fault per page on first touch, which costs more than the writing itself.
void* allocate_pages(std::size_t bytes);

// Frees what allocate_pages returned for the same `bytes`.
void free_pages(void* memory, std::size_t bytes) noexcept;

}  // namespace pykiv::system
