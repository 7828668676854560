#include "memory/physical_memory.h"

#include <algorithm>
#include <fstream>
#include <limits>
#include <string>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace pykiv::memory {

std::uint64_t physical_memory_bytes() {
    constexpr std::uint64_t unknown = std::numeric_limits<std::uint64_t>::max();
#ifdef _WIN32
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status) || status.ullTotalPhys == 0) return unknown;
    return status.ullTotalPhys;
#else
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return unknown;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
#endif
}

namespace {

#ifndef _WIN32
// A limit file holds a number of bytes, or "max" for none.
std::uint64_t read_limit(const std::string& file) {
    std::ifstream in(file);
    std::string text;
    if (!(in >> text) || text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    try {
        return std::stoull(text);
    } catch (const std::exception&) {
        return std::numeric_limits<std::uint64_t>::max();
    }
}

// The smallest limit of the group at `group` under `root` and of every
// group above it, read from `file` in each.
std::uint64_t group_limit(const std::string& root, std::string group, const std::string& file) {
    std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
    while (true) {
        limit = std::min(limit, read_limit(root + group + "/" + file));
        if (group.empty() || group == "/") break;
        group.erase(group.find_last_of('/'));
    }
    return limit;
}

// The memory limit of this process's control group: version 2 names the
// group in a line "0::<path>", version 1 in a line whose controllers
// include "memory". A group's path is relative to where the hierarchy is
// mounted, which inside a container is the container's own group.
std::uint64_t control_group_limit() {
    std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
    std::ifstream groups("/proc/self/cgroup");
    std::string line;
    while (std::getline(groups, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        if (!path.empty() && path.back() == '/') path.pop_back();
        if (controllers.empty()) {
            limit = std::min(limit, group_limit("/sys/fs/cgroup", path, "memory.max"));
        } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
            limit = std::min(limit, group_limit("/sys/fs/cgroup/memory", path, "memory.limit_in_bytes"));
        }
    }
    return limit;
}
#endif

}  // namespace

std::uint64_t available_memory_bytes() {
#ifdef _WIN32
    return physical_memory_bytes();
#else
    return std::min(physical_memory_bytes(), control_group_limit());
#endif
}

}  // namespace pykiv::memory
