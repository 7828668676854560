// libFuzzer target for the native core: every input goes through the round
// trip of round_trip.h in memory (decode, placement patch, render, index
// planes, encode from planes, encode, decode again), and
// a sample of them through the file object too, so that reading and writing
// files and the palette search stay covered.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>

#include "io/error_line.h"
#include "round_trip.h"

namespace fs = std::filesystem;

namespace {

// One input in this many goes through the files as well: a file is written
// and read several times per input, which costs more than all the rest.
constexpr std::uint32_t file_sample = 64;

fs::path directory;
pykiv::fuzz::RoundTrip* round_trip = nullptr;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "\nfuzz_load_save: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void remove_directory() {
    std::error_code ignored;
    fs::remove_all(directory, ignored);
}

// Which inputs are sampled depends on their bytes alone, so that a finding
// replays the same way. The size and the bytes at both ends mix well enough
// and cost nothing.
bool sampled(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return true;
    const std::uint32_t mixed = static_cast<std::uint32_t>(size) * 2654435761u ^ data[0] * 40503u ^ data[size - 1];
    return (mixed >> 7) % file_sample == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The core reports problems in the data as "ERROR: ..." lines; with a
    // fuzzer feeding it broken files, they would bury the fuzzer's own
    // output.
    pykiv::io::set_error_sink([](const std::string&) {});

    // Files live in memory where possible.
    std::error_code error;
    fs::path base = "/dev/shm";
    if (!fs::is_directory(base, error)) base = fs::temp_directory_path();
    std::string pattern = (base / "pykiv-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) fail("cannot create a directory under " + base.string());
    directory = fs::path(pattern);
    std::atexit(remove_directory);
    round_trip = new pykiv::fuzz::RoundTrip(directory, pykiv::fuzz::fuzz_limits());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        round_trip->check(data, size, sampled(data, size));
    } catch (const std::exception& e) {
        fail(e.what());
    }
    return 0;
}
