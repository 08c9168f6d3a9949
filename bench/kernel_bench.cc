// Micro-benchmark of the Hamiltonian application kernels alone, in ns per
// word-amplitude (one word applied to one amplitude).
//
//   build/bench/velmora_kernel_bench [--benchmark_filter=...]

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "pauli/hamiltonian.h"
#include "pauli/kernel.h"

namespace {

using velmora::Complex;
using velmora::Hamiltonian;
using velmora::PauliWord;

std::string letters_with(std::size_t n, std::initializer_list<std::pair<std::size_t, char>> set) {
    std::string s(n, 'I');
    for (auto [q, ch] : set) s[n - 1 - q] = ch;
    return s;
}

/// -sum Z_q Z_{q+1} - sum X_q on an open chain: 2n - 1 words.
Hamiltonian ising(std::size_t n) {
    std::vector<PauliWord> words;
    for (std::size_t q = 0; q + 1 < n; ++q) words.emplace_back(-1.0, letters_with(n, {{q, 'Z'}, {q + 1, 'Z'}}));
    for (std::size_t q = 0; q < n; ++q) words.emplace_back(-1.0, letters_with(n, {{q, 'X'}}));
    return Hamiltonian(std::move(words));
}

/// sum (X X + Y Y + 0.5 Z Z) on a periodic chain: 3n words.
Hamiltonian xxz(std::size_t n) {
    std::vector<PauliWord> words;
    for (std::size_t q = 0; q < n; ++q) {
        const std::size_t r = (q + 1) % n;
        words.emplace_back(1.0, letters_with(n, {{q, 'X'}, {r, 'X'}}));
        words.emplace_back(1.0, letters_with(n, {{q, 'Y'}, {r, 'Y'}}));
        words.emplace_back(0.5, letters_with(n, {{q, 'Z'}, {r, 'Z'}}));
    }
    return Hamiltonian(std::move(words));
}

/// 500 random 4-local words with normal coefficients.
Hamiltonian random_local(std::size_t n) {
    std::mt19937_64 rng(12345);
    std::normal_distribution<double> normal;
    std::vector<PauliWord> words;
    for (int t = 0; t < 500; ++t) {
        std::string s(n, 'I');
        for (int placed = 0; placed < 4;) {
            const std::size_t q = rng() % n;
            if (s[q] != 'I') continue;
            s[q] = "XYZ"[rng() % 3];
            ++placed;
        }
        words.emplace_back(normal(rng), s);
    }
    return Hamiltonian(std::move(words));
}

template <Hamiltonian (*Make)(std::size_t)>
void BM_apply(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const std::int32_t threads = static_cast<std::int32_t>(state.range(1));
    const Hamiltonian ham = Make(n);
    std::vector<Complex> in(std::size_t{1} << n, Complex(0.5, -0.25));
    std::vector<Complex> out(in.size());
    const auto isa = static_cast<velmora::KernelIsa>(state.range(2));
    for (auto _ : state) {
        velmora::apply_blocked(ham, in.data(), out.data(), threads, isa);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    const double word_amplitudes = static_cast<double>(ham.words().size()) * static_cast<double>(in.size());
    state.counters["ns_per_word_amp"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * word_amplitudes,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetLabel(velmora::kernel_isa_name(isa));
}

void sizes(benchmark::internal::Benchmark* b) {
    const int widest = static_cast<int>(velmora::detected_kernel_isa());
    for (int n : {16, 20, 22}) {
        for (int threads : {0, 2}) {
            for (int isa = 0; isa <= widest; ++isa) b->Args({n, threads, isa});
        }
    }
    b->ArgNames({"n", "threads", "isa"})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);
}

BENCHMARK(BM_apply<ising>)->Name("apply/ising")->Apply(sizes);
BENCHMARK(BM_apply<xxz>)->Name("apply/xxz")->Apply(sizes);
BENCHMARK(BM_apply<random_local>)->Name("apply/random4local")->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
