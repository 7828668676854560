// An allocation refused before it is attempted.
#pragma once

#include <new>
#include <string>
#include <utility>

namespace pykiv::memory {

// Thrown instead of allocating when sizes read from a file ask for more than
// could ever be had. On a system that overcommits memory, such an allocation
// would not fail where it is made: the process would be killed later, when
// the memory is touched. It is an allocation failure, so callers (and Python,
// as MemoryError) see it like any other, with a message that says why.
class AllocationRefused : public std::bad_alloc {
public:
    explicit AllocationRefused(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

}  // namespace pykiv::memory
