// Micro-benchmark of the Hamiltonian application kernels alone: the word-by-word
// kernel of the core module (apply/...) in ns per word-amplitude (one word
// applied to one amplitude), and the grouped product of the package (one pass
// per group of a flip mask, pauli/flip_groups.h; grouped/...) in ns per
// word-amplitude and per group-amplitude, for every body this processor runs,
// on the workloads that bench/workloads.py defines and writes (make bench-deps
// writes them):
//
//   build/bench/velmora_kernel_bench [--workloads=DIR] [--benchmark_filter=...]
//
// DIR is --workloads, else $VELMORA_BENCH_WORKLOADS, else the folder
// "workloads" beside this executable. DIR/index.txt lists "WORKLOAD N FILE"
// lines; each file holds one word per line, "real imag LABEL" (qubit 0 is the
// last letter), and lines starting with '#'.

#include <benchmark/benchmark.h>

#include <algorithm>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "pauli/flip_groups.h"
#include "pauli/hamiltonian.h"
#include "pauli/kernel.h"

namespace {

namespace fs = std::filesystem;
using velmora::Complex;
using velmora::Hamiltonian;
using velmora::PauliWord;

constexpr std::string_view kWorkloadsFlag = "--workloads=";

[[noreturn]] void fail(const std::string& message) {
    std::cerr << "velmora_kernel_bench: " << message << '\n';
    std::exit(2);
}

/// The workload folder; removes --workloads=DIR from the arguments, which
/// Google Benchmark would refuse as unknown.
fs::path workload_folder(int& argc, char** argv) {
    std::optional<fs::path> chosen;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.starts_with(kWorkloadsFlag)) {
            chosen = fs::path(arg.substr(kWorkloadsFlag.size()));
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    if (chosen) return *chosen;
    if (const char* env = std::getenv("VELMORA_BENCH_WORKLOADS"); env != nullptr && *env != '\0') {
        return fs::path(env);
    }
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return (error ? fs::path(argv[0]) : self).parent_path() / "workloads";
}

Hamiltonian read_words(const fs::path& file, std::size_t n) {
    std::ifstream in(file);
    if (!in) fail("cannot read the workload file " + file.string());
    std::vector<PauliWord> words;
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line.front() == '#') continue;
        const std::string where = file.string() + ":" + std::to_string(number) + ": ";
        std::istringstream fields(line);
        double re = 0.0;
        double im = 0.0;
        std::string label;
        std::string extra;
        if (!(fields >> re >> im >> label) || (fields >> extra)) {
            fail(where + "expected \"real imag LABEL\", got \"" + line + "\"");
        }
        if (label.size() != n) {
            fail(where + "the label has " + std::to_string(label.size()) + " letters, the index says " +
                 std::to_string(n) + " qubits");
        }
        if (label.find_first_not_of("IXYZ") != std::string::npos) {
            fail(where + "the label " + label + " has a letter other than I, X, Y and Z");
        }
        words.emplace_back(Complex(re, im), std::move(label));
    }
    if (words.empty()) fail(file.string() + " holds no words");
    return Hamiltonian(std::move(words));
}

struct Workload {
    std::string name;
    std::size_t n;
    std::shared_ptr<const Hamiltonian> ham;
};

std::vector<Workload> read_workloads(const fs::path& folder) {
    const fs::path index = folder / "index.txt";
    std::ifstream in(index);
    if (!in) {
        fail("no workload list at " + index.string() + "; write it with `python bench/workloads.py --write " +
             folder.string() + "` (make bench-deps does), or name the folder with --workloads=DIR or " +
             "VELMORA_BENCH_WORKLOADS");
    }
    std::vector<Workload> workloads;
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        if (line.empty()) continue;
        std::istringstream fields(line);
        std::string name;
        std::size_t n = 0;
        std::string file;
        if (!(fields >> name >> n >> file)) {
            fail(index.string() + ":" + std::to_string(number) +
                 ": expected \"WORKLOAD N FILE\", got \"" + line + "\"");
        }
        auto ham = std::make_shared<const Hamiltonian>(read_words(folder / file, n));
        workloads.push_back({name, n, std::move(ham)});
    }
    if (workloads.empty()) fail(index.string() + " lists no workloads");
    return workloads;
}

void BM_apply(benchmark::State& state, const std::shared_ptr<const Hamiltonian>& ham) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const std::int32_t threads = static_cast<std::int32_t>(state.range(1));
    std::vector<Complex> in(std::size_t{1} << n, Complex(0.5, -0.25));
    std::vector<Complex> out(in.size());
    const auto isa = static_cast<velmora::KernelIsa>(state.range(2));
    for (auto _ : state) {
        velmora::apply_blocked(*ham, in.data(), out.data(), threads, isa);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    const double word_amplitudes = static_cast<double>(ham->words().size()) * static_cast<double>(in.size());
    state.counters["ns_per_word_amp"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * word_amplitudes,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetLabel(velmora::kernel_isa_name(isa));
}

void BM_grouped(benchmark::State& state, const std::shared_ptr<const Hamiltonian>& ham) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const std::int32_t threads = static_cast<std::int32_t>(state.range(1));
    const auto isa = static_cast<velmora::KernelIsa>(state.range(2));
    std::vector<Complex> in(std::size_t{1} << n, Complex(0.5, -0.25));
    std::vector<Complex> out(in.size());
    const velmora::FlipGroups groups =
        velmora::group_words(ham->words().data(), ham->words().size(), in.size(), isa);
    for (auto _ : state) {
        groups.apply(in.data(), out.data(), threads, false);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    const double amplitudes = static_cast<double>(state.iterations()) * static_cast<double>(in.size());
    state.counters["ns_per_word_amp"] = benchmark::Counter(
        amplitudes * static_cast<double>(ham->words().size()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["ns_per_group_amp"] = benchmark::Counter(
        amplitudes * static_cast<double>(groups.groups().size()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["groups"] = static_cast<double>(groups.groups().size());
    state.SetLabel(velmora::kernel_isa_name(isa));
}

/// Benchmarks per workload and size, named apply/WORKLOAD/n:N/threads:T/isa:I
/// and grouped/WORKLOAD/... The grouped product's AVX-512 processors run its
/// AVX2 body.
void register_workload(const Workload& workload) {
    const std::string grouped = "grouped/" + workload.name;
    auto* g = benchmark::RegisterBenchmark(grouped.c_str(), BM_grouped, workload.ham);
    const int widest_grouped = std::min(static_cast<int>(velmora::detected_kernel_isa()),
                                        static_cast<int>(velmora::KernelIsa::avx2));
    for (int threads : {0, 2}) {
        for (int isa = 0; isa <= widest_grouped; ++isa) {
            g->Args({static_cast<std::int64_t>(workload.n), threads, isa});
        }
    }
    g->ArgNames({"n", "threads", "isa"})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);
    const std::string name = "apply/" + workload.name;
    auto* b = benchmark::RegisterBenchmark(name.c_str(), BM_apply, workload.ham);
    const int widest = static_cast<int>(velmora::detected_kernel_isa());
    for (int threads : {0, 2}) {
        for (int isa = 0; isa <= widest; ++isa) {
            b->Args({static_cast<std::int64_t>(workload.n), threads, isa});
        }
    }
    b->ArgNames({"n", "threads", "isa"})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path folder = workload_folder(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    for (const Workload& workload : read_workloads(folder)) register_workload(workload);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
