#pragma once

// Sizing and starting the OpenMP thread teams of the parallel kernels.

#include <cstdint>

namespace velmora {

/// The largest OpenMP team the parallel code ever requests. Larger requests
/// (up to 2^31 - 1) are served with this many threads: results do not depend
/// on the team size, and an unbounded request would make the runtime try to
/// start billions of threads.
inline constexpr std::int32_t max_team_size = 256;

/// The OpenMP runtime keeps a pool of workers for every thread that opened a
/// region. At most this many calling threads get one; calls from further
/// threads run on the calling thread (the same bits), so that many Python
/// threads calling with a team cannot multiply the process's threads.
inline constexpr std::int32_t max_team_owners = 2;

/// `num_threads` clamped to [1, min(max_team_size, the OpenMP thread limit)].
std::int32_t bounded_team_size(std::int32_t num_threads);

/// The team size to run with for a requested `num_threads`, or 0 for "run on
/// the calling thread": for num_threads 0, and in a child process forked from
/// a process that had more than one thread (its OpenMP runtime may have had
/// idle workers, started by this library or any other; they do not survive
/// fork, and a region opened in the child would wait for them forever). The
/// serial code gives the same bits. Also 0 for a thread beyond the
/// max_team_owners threads that own a pool of workers.
std::int32_t team_size_for(std::int32_t num_threads);

/// Makes sure a team of team_size_for(num_threads) threads can run and starts
/// it, so that later regions of that size reuse its threads instead of
/// creating new ones. The OpenMP runtime ends the process when it cannot
/// create a thread; this first creates and joins as many threads with the
/// workers' stack size (OMP_STACKSIZE) and throws instead: std::bad_alloc when
/// the address space for the stacks is missing, std::runtime_error (with the
/// reason) when a thread cannot be created, e.g. under RLIMIT_NPROC.
void prepare_team(std::int32_t num_threads);

/// prepare_team(num_threads) when the largest loop of a call, of `work` units
/// (policy.h), will run on a team; nothing otherwise, so that a call on a
/// small input does not wake a team it will not use.
void prepare_team(std::int32_t num_threads, std::uint64_t work);

}  // namespace velmora
