#include "process/memory_limit.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>

namespace velmora {

namespace {

constexpr std::uint64_t unknown = std::numeric_limits<std::uint64_t>::max();

/// The first number in a file, or `unknown` (also for "max").
std::uint64_t read_number(const char* path) {
    std::ifstream file(path);
    std::string text;
    if (!(file >> text)) {
        return unknown;
    }
    std::uint64_t value = 0;
    std::istringstream in(text);
    return (in >> value) ? value : unknown;
}

/// A "Name:   1234 kB" line of /proc/meminfo or /proc/self/status, in bytes.
std::uint64_t read_kilobytes(const char* path, const std::string& name) {
    std::ifstream file(path);
    std::string key;
    std::uint64_t kb = 0;
    std::string unit;
    while (file >> key) {
        if (key == name + ":" && (file >> kb >> unit)) {
            return kb * 1024;
        }
        file.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return unknown;
}

}  // namespace

MemoryLimit memory_limit() {
    MemoryLimit limit{unknown, "no limit found"};
    // cgroup v2, then v1 (whose "no limit" is a huge number, above any RAM).
    const std::uint64_t physical = read_kilobytes("/proc/meminfo", "MemTotal");
    const std::uint64_t swap = read_kilobytes("/proc/meminfo", "SwapTotal");
    std::uint64_t cgroup = read_number("/sys/fs/cgroup/memory.max");
    if (cgroup == unknown) {
        cgroup = read_number("/sys/fs/cgroup/memory/memory.limit_in_bytes");
    }
    if (physical != unknown) {
        limit = {physical + (swap == unknown ? 0 : swap), "physical memory plus swap"};
    }
    if (cgroup != unknown && cgroup < limit.bytes) {
        limit = {cgroup, "the cgroup memory limit"};
    }
    rlimit as{};
    if (getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY) {
        const std::uint64_t used = read_kilobytes("/proc/self/status", "VmSize");
        const std::uint64_t cap = static_cast<std::uint64_t>(as.rlim_cur);
        const std::uint64_t left = used == unknown ? cap : (used < cap ? cap - used : 0);
        if (left < limit.bytes) {
            limit = {left, "the address space left under RLIMIT_AS"};
        }
    }
    return limit;
}

std::string format_bytes(std::uint64_t bytes) {
    const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 6) {
        value /= 1024.0;
        ++unit;
    }
    char text[64];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    } else {
        std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    }
    return text;
}

void check_memory(std::uint64_t bytes, const std::string& what, const std::string& detail) {
    const MemoryLimit limit = memory_limit();
    if (bytes <= limit.bytes) {
        return;
    }
    throw OutOfMemory(what + " needs " + format_bytes(bytes) + " (" + detail +
                      "), but this process can have at most " + format_bytes(limit.bytes) +
                      " (" + limit.source + ")");
}

bool state_vectors_fit(std::uint64_t n, double vectors) {
    const long double total =
        16.0L * static_cast<long double>(n) * static_cast<long double>(vectors);
    const std::uint64_t limit = memory_limit().bytes;
    return limit == unknown || total <= static_cast<long double>(limit);
}

void check_state_vectors(std::uint64_t n, double vectors, const std::string& what) {
    const long double vector_bytes = 16.0L * static_cast<long double>(n);
    const long double total = vector_bytes * static_cast<long double>(vectors);
    const auto clamp = [](long double b) {
        return b >= 18446744073709551615.0L ? unknown : static_cast<std::uint64_t>(b);
    };
    // Small working sets pass without reading the limits (a few files each
    // time: tens of microseconds, more than a product on a small space).
    if (total <= static_cast<long double>(always_fits)) {
        return;
    }
    char count[32];
    std::snprintf(count, sizeof count, "%g", vectors);
    check_memory(clamp(total), what,
                 std::string(count) + " state vectors of " + format_bytes(clamp(vector_bytes)));
}

}  // namespace velmora
