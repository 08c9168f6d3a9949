#pragma once

// State-sized buffers whose pages are first touched by the threads that will
// sweep them.
//
// On a machine with several memory nodes, the kernel places a page on the
// node of the thread that first writes it. A buffer cleared on the calling
// thread therefore lands entirely on that thread's node, and a team spread
// over the nodes then reads most of it across the interconnect. These buffers
// are either cleared by the team with the static split every sweep uses
// (parallel/reduce.h: chunk c of [0, n) to the same thread each time; the
// kernels' blocks split the same range the same way), or left for the team's
// first sweep to write. The values are the same either way.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <limits>
#include <memory>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "parallel/reduce.h"

namespace velmora {

struct FreeBuffer {
    void operator()(void* p) const noexcept { std::free(p); }
};

/// A buffer of trivially copyable values from std::aligned_alloc, released
/// with std::free.
template <class T>
using Buffer = std::unique_ptr<T[], FreeBuffer>;

/// Buffers of at least this many bytes are aligned to 2 MiB, rounded up to a
/// multiple of it and asked to be backed by huge pages (where the system
/// leaves that to the program, as Linux's default "madvise" setting does): a
/// fresh state of 16 MiB then takes 8 page faults instead of 4096, which at
/// 20 qubits cost more than the product that first writes it (measured: 6-12
/// ms against 11-15 ms on a virtual machine). From 1 MiB (16 qubits) on: a
/// product at 16 qubits took 3.1 ms with its two fresh buffers' 470 page
/// faults and 1.2 ms with 6, for at most 1 MiB more per buffer.
inline constexpr std::uint64_t huge_buffer_bytes = std::uint64_t{1} << 20;

/// n values, not initialised (their pages not touched yet), aligned to a
/// cache line (to 2 MiB, on huge pages where available, from
/// huge_buffer_bytes on). Throws std::bad_alloc.
template <class T>
Buffer<T> uninitialised_buffer(std::uint64_t n) {
    constexpr std::uint64_t huge = std::uint64_t{2} << 20;
    if (n > (std::numeric_limits<std::uint64_t>::max() - huge) / sizeof(T)) {
        throw std::bad_alloc();
    }
    const std::uint64_t wanted = std::max<std::uint64_t>(n, 1) * sizeof(T);
    const std::uint64_t align = wanted >= huge_buffer_bytes ? huge : 64;
    const std::uint64_t bytes = (wanted + align - 1) / align * align;
    void* p = std::aligned_alloc(align, bytes);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
#if defined(MADV_HUGEPAGE)
    if (align == huge) {
        madvise(p, bytes, MADV_HUGEPAGE);  // advice only: nothing to do when refused
    }
#endif
    return Buffer<T>(static_cast<T*>(p));
}

/// n zero values, cleared chunk by chunk by the team of num_threads with the
/// sweeps' split (on the calling thread for a small n or num_threads 0).
template <class T>
Buffer<T> team_zeros(std::uint64_t n, std::int32_t num_threads) {
    Buffer<T> b = uninitialised_buffer<T>(n);
    T* p = b.get();
    for_each_chunk(n, num_threads, [=](std::uint64_t begin, std::uint64_t end) {
        std::memset(static_cast<void*>(p + begin), 0, (end - begin) * sizeof(T));
    });
    return b;
}

}  // namespace velmora
