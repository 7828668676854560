// The machine's physical memory, for refusing work that could never fit.
#pragma once

#include <cstdint>

namespace pykiv::memory {

// Bytes of physical memory installed; the largest value when the system does
// not tell, so that nothing is refused on its account.
std::uint64_t physical_memory_bytes();

// Bytes of memory this process may use: the physical memory, or less where
// a control group (a container, a systemd unit) limits this process or one
// of the groups above it.
std::uint64_t available_memory_bytes();

}  // namespace pykiv::memory
