#pragma once

// How much memory a call may plan for. With the kernel's overcommit, a large
// allocation succeeds and the process is killed later, when the pages are
// touched; so calls compare their working set with what the process can ever
// get before allocating, and fail with an exception instead.

#include <cstdint>
#include <new>
#include <string>
#include <utility>

namespace velmora {

/// An allocation refused before it was tried: a std::bad_alloc (the modules
/// report it as MemoryError) with a message saying what was needed.
class OutOfMemory : public std::bad_alloc {
public:
    explicit OutOfMemory(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

/// The most memory this process can ever hold, and where that limit comes
/// from: the cgroup memory limit where one is set, otherwise physical memory
/// plus swap; lowered to the address space left under RLIMIT_AS when that is
/// smaller. Returns UINT64_MAX when none of these can be read.
struct MemoryLimit {
    std::uint64_t bytes;
    std::string source;
};
MemoryLimit memory_limit();

/// Throws OutOfMemory when `bytes` exceed memory_limit(), with a message like
/// "evolve needs 40.0 GiB (5 state vectors of 8.0 GiB), but this process can
/// have at most 24.0 GiB (physical memory plus swap)". `what` names the call
/// and the vectors ("evolve", "5 state vectors of 8.0 GiB").
void check_memory(std::uint64_t bytes, const std::string& what, const std::string& detail);

/// Working sets up to this size are never refused by check_state_vectors: a
/// process that cannot get them cannot run the interpreter that asks for them.
inline constexpr std::uint64_t always_fits = std::uint64_t{16} << 20;

/// check_memory for `vectors` state vectors of n amplitudes (16 bytes each;
/// fractions for smaller buffers), saying "<what> needs 40.0 GiB (5 state
/// vectors of 8.0 GiB), ...". Byte counts that overflow are refused too; up
/// to always_fits nothing is read or refused.
void check_state_vectors(std::uint64_t n, double vectors, const std::string& what);

/// Whether `vectors` state vectors of n amplitudes fit within memory_limit()
/// (the test of check_state_vectors, without the exception).
bool state_vectors_fit(std::uint64_t n, double vectors);

/// "8.0 GiB", "512.0 MiB", ... for messages.
std::string format_bytes(std::uint64_t bytes);

}  // namespace velmora
