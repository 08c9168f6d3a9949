// velmora._native: the compiled part of the velmora package. It holds a
// compiled Pauli sum and applies it with the core's kernels; unlike the
// _velmora module it copies its inputs and releases the interpreter lock for
// the numerical work.

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/complex.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "evolution/eigenpairs.h"
#include "evolution/taylor.h"
#include "evolution/evolve.h"
#include "evolution/lanczos_chain.h"
#include "evolution/krylov_engine.h"
#include "evolution/pauli_sum_operator.h"
#include "evolution/weighted_sum.h"
#include "process/memory_limit.h"
#include "evolution/reduction.h"
#include "pauli/expectation.h"
#include "pauli/flip_groups.h"
#include "pauli/hamiltonian.h"
#include "pauli/kernel.h"
#include "parallel/buffer.h"
#include "parallel/ranks.h"
#include "parallel/team.h"
#include "sector/sector_basis.h"
#include "sector/sector_operator.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using velmora::Complex;

using StateIn = nb::ndarray<const Complex, nb::shape<-1>, nb::c_contig, nb::device::cpu>;
using CoeffsIn = nb::ndarray<const Complex, nb::shape<-1>, nb::c_contig, nb::device::cpu>;
using StateOut = nb::ndarray<nb::numpy, Complex, nb::shape<-1>, nb::c_contig>;

/// A Pauli sum compiled for the application kernels. The labels arrive as one
/// byte string of num_terms * num_qubits letters (already checked by the
/// Python layer) and the coefficients as an array.
class PauliOperator {
public:
    PauliOperator(nb::bytes labels, std::uint64_t num_qubits, CoeffsIn coeffs)
        : ham_(compile(labels, num_qubits, coeffs)),
          groups_(velmora::group_words(ham_.words().data(), ham_.words().size(),
                                       velmora::state_size(ham_), ham_.kernel_isa())) {}

    std::uint64_t num_qubits() const { return ham_.num_qubits(); }
    const velmora::Hamiltonian& hamiltonian() const { return ham_; }
    /// Every word, in groups of one flip mask: the products of apply.
    const velmora::FlipGroups& groups() const { return groups_; }
    /// Work units of one product: a pass per group.
    std::uint64_t product_work() const {
        return velmora::state_size(ham_) * std::max<std::size_t>(groups_.groups().size(), 1);
    }

private:
    static velmora::Hamiltonian compile(nb::bytes labels, std::uint64_t num_qubits,
                                        CoeffsIn coeffs) {
        const std::size_t count = coeffs.shape(0);
        if (num_qubits == 0 || labels.size() != count * num_qubits) {
            throw std::invalid_argument("labels must hold num_qubits letters for every coefficient");
        }
        std::vector<velmora::PauliWord> words;
        words.reserve(count);
        for (std::size_t t = 0; t < count; ++t) {
            words.emplace_back(coeffs(t), std::string(labels.c_str() + t * num_qubits, num_qubits));
        }
        return velmora::Hamiltonian(std::move(words));
    }

    velmora::Hamiltonian ham_;
    velmora::FlipGroups groups_;
};

void free_state(void* buffer) noexcept {
    delete[] static_cast<Complex*>(buffer);
}

StateOut hand_over(std::unique_ptr<Complex[]> buffer, std::size_t length) {
    nb::capsule owner(buffer.get(), free_state);
    return StateOut(buffer.release(), {length}, owner);
}

StateOut hand_over(velmora::Buffer<Complex> buffer, std::size_t length) {
    nb::capsule owner(buffer.get(), [](void* p) noexcept { std::free(p); });
    return StateOut(buffer.release(), {length}, owner);
}

/// The number of amplitudes the operator's states have; psi must match.
std::uint64_t checked_size(const PauliOperator& op, const StateIn& psi) {
    const std::uint64_t n = velmora::state_size(op.hamiltonian());
    if (psi.shape(0) != n) {
        throw std::invalid_argument("psi has " + std::to_string(psi.shape(0)) +
                                    " amplitudes, but the operator needs " + std::to_string(n));
    }
    return n;
}

/// A private copy of psi, taken while the interpreter lock is held, so that
/// the numerical work that follows never reads memory Python code may change.
velmora::Buffer<Complex> copy_state(const StateIn& psi, std::uint64_t n) {
    velmora::Buffer<Complex> copy = velmora::uninitialised_buffer<Complex>(n);
    if (n != 0) {  // an empty array may have no storage
        std::memcpy(copy.get(), psi.data(), n * sizeof(Complex));
    }
    return copy;
}

StateOut apply(const PauliOperator& op, StateIn psi, std::int32_t num_threads) {
    const std::uint64_t n = checked_size(op, psi);
    velmora::check_state_vectors(n, 2, "apply");  // the copy of psi and the result
    velmora::Buffer<Complex> in = copy_state(psi, n);
    velmora::Buffer<Complex> out;
    {
        nb::gil_scoped_release released;
        velmora::prepare_team(num_threads, op.product_work());
        out = velmora::uninitialised_buffer<Complex>(n);  // every entry is written
        op.groups().apply(in.get(), out.get(), num_threads, false);
    }
    return hand_over(std::move(out), n);
}

Complex expectation(const PauliOperator& op, StateIn psi, std::int32_t num_threads) {
    const std::uint64_t n = checked_size(op, psi);
    velmora::check_state_vectors(n, 1, "expectation");  // the copy of psi
    velmora::Buffer<Complex> in = copy_state(psi, n);
    nb::gil_scoped_release released;
    velmora::prepare_team(num_threads, n * op.hamiltonian().words().size());
    return velmora::pauli_expectation(op.hamiltonian(), in.get(), n, num_threads);
}

/// sum_i conj(a_i) b_i in the fixed chunks of evolution/reduction.h (the
/// same bits for every num_threads). The lock stays held: the sum reads the
/// arrays in place, and no Python code may change them meanwhile.
Complex inner(StateIn a, StateIn b, std::int32_t num_threads) {
    const std::uint64_t n = a.shape(0);
    if (b.shape(0) != n) {
        throw std::invalid_argument("the vectors have " + std::to_string(n) + " and " +
                                    std::to_string(b.shape(0)) + " amplitudes");
    }
    velmora::prepare_team(num_threads, n * velmora::sweep_entry_work);
    return velmora::dot(a.data(), b.data(), n, num_threads);
}

/// The Euclidean norm by evolution/reduction.h's stable_norm (no overflow or
/// underflow for finite entries; the same bits for every num_threads).
double norm(StateIn a, std::int32_t num_threads) {
    const std::uint64_t n = a.shape(0);
    velmora::prepare_team(num_threads, n * velmora::sweep_entry_work);
    return velmora::stable_norm(a.data(), n, num_threads);
}

// Batches: k states as the rows of a C-contiguous (k, n) array. The rows are
// taken sweep by sweep (states_per_sweep of them at a time, as the kernels
// sweep them): each sweep's rows are copied into one reused buffer, aligned to
// a cache line, while the interpreter lock is held, and worked on without it.
// The copy is then still in the cache when the kernel reads it, and the
// buffer's pages are touched once, not once per row.

using RowsIn = nb::ndarray<const Complex, nb::shape<-1, -1>, nb::c_contig, nb::device::cpu>;
using RowsOut = nb::ndarray<nb::numpy, Complex, nb::ndim<2>, nb::c_contig>;

/// The amplitudes per row the operator's states have; the rows must match.
std::uint64_t checked_rows(const PauliOperator& op, const RowsIn& psi) {
    const std::uint64_t n = velmora::state_size(op.hamiltonian());
    if (psi.shape(1) != n) {
        throw std::invalid_argument("psi has rows of " + std::to_string(psi.shape(1)) +
                                    " amplitudes, but the operator needs " + std::to_string(n));
    }
    return n;
}

/// Pointers to the k rows of n amplitudes at `data`.
template <class T>
std::vector<T*> row_pointers(T* data, std::size_t k, std::uint64_t n) {
    std::vector<T*> rows(k);
    for (std::size_t r = 0; r < k; ++r) rows[r] = data + r * n;
    return rows;
}

/// Work units of k products (saturated: they only decide whether a team runs).
std::uint64_t batch_work(std::uint64_t n, std::size_t words, std::size_t k) {
    const std::uint64_t per_state = n * words;
    return per_state != 0 && k > std::numeric_limits<std::uint64_t>::max() / per_state
               ? std::numeric_limits<std::uint64_t>::max()
               : per_state * k;
}

/// work(copies, first, count) for the sweeps of the k rows of psi, `copies`
/// pointing to the copies of rows first .. first + count - 1; between sweeps
/// it looks for signals (Ctrl-C). The caller has checked the memory of the
/// per_sweep * n amplitudes of the buffer.
template <class Work>
void by_sweeps(const RowsIn& psi, std::size_t k, std::uint64_t n, std::size_t per_sweep,
               Work&& work) {
    if (k == 0) {
        return;
    }
    velmora::Buffer<Complex> buffer = velmora::uninitialised_buffer<Complex>(per_sweep * n);
    const std::vector<const Complex*> copies =
        row_pointers<const Complex>(buffer.get(), per_sweep, n);
    for (std::size_t first = 0; first < k; first += per_sweep) {
        if (first != 0 && PyErr_CheckSignals() != 0) {
            throw nb::python_error();
        }
        const std::size_t count = std::min(per_sweep, k - first);
        std::memcpy(static_cast<void*>(buffer.get()), psi.data() + first * n,
                    count * n * sizeof(Complex));
        nb::gil_scoped_release released;
        work(copies.data(), first, count);
    }
}

RowsOut apply_rows(const PauliOperator& op, RowsIn psi, std::int32_t num_threads) {
    const std::uint64_t n = checked_rows(op, psi);
    const std::size_t k = psi.shape(0);
    const std::size_t per_sweep = std::min(k, velmora::states_per_sweep(n));
    // The result and the buffer of one sweep's rows.
    velmora::check_state_vectors(n, static_cast<double>(k) + static_cast<double>(per_sweep),
                                 "apply");
    velmora::Buffer<Complex> out = velmora::uninitialised_buffer<Complex>(k * n);
    const std::vector<Complex*> out_rows = row_pointers(out.get(), k, n);
    const velmora::FlipGroups& groups = op.groups();
    by_sweeps(psi, k, n, per_sweep, [&](const Complex* const* copies, std::size_t first,
                                        std::size_t count) {
        velmora::prepare_team(num_threads, batch_work(n, groups.groups().size(), count));
        groups.apply(copies, out_rows.data() + first, count, num_threads, false);
    });
    nb::capsule owner(out.get(), [](void* p) noexcept { std::free(p); });
    return RowsOut(out.release(), {k, n}, owner);
}

StateOut expectation_rows(const PauliOperator& op, RowsIn psi, std::int32_t num_threads) {
    const std::uint64_t n = checked_rows(op, psi);
    const std::size_t k = psi.shape(0);
    const std::size_t per_sweep = std::min(k, velmora::states_per_sweep(n));
    velmora::check_state_vectors(n, static_cast<double>(per_sweep), "expectation");
    std::unique_ptr<Complex[]> values = std::make_unique<Complex[]>(std::max<std::size_t>(k, 1));
    const velmora::Hamiltonian& ham = op.hamiltonian();
    by_sweeps(psi, k, n, per_sweep, [&](const Complex* const* copies, std::size_t first,
                                        std::size_t count) {
        velmora::prepare_team(num_threads, batch_work(n, ham.words().size(), count));
        velmora::pauli_expectation_batch(ham, copies, count, n, num_threads,
                                         values.get() + first);
    });
    return hand_over(std::move(values), k);
}

using IndicesOut = nb::ndarray<nb::numpy, std::uint64_t, nb::ndim<1>, nb::c_contig>;

/// The basis of a sector, shared by the operators built on it.
class SectorBasisHandle {
public:
    SectorBasisHandle(std::uint32_t num_qubits, std::int32_t weight,
                      std::vector<std::vector<std::uint32_t>> permutations,
                      std::vector<std::uint64_t> ks, std::int32_t spin_flip,
                      std::int32_t num_threads, nb::object progress) {
        if (permutations.size() != ks.size()) {
            throw std::invalid_argument("one k per permutation");
        }
        std::vector<velmora::SymmetryGenerator> generators;
        for (std::size_t j = 0; j < ks.size(); ++j) {
            generators.push_back({std::move(permutations[j]), ks[j]});
        }
        velmora::SymmetryGroup group(num_qubits, generators, spin_flip);
        // Interrupts and progress between batches of the enumeration.
        auto between = [&](double fraction) {
            nb::gil_scoped_acquire acquired;
            if (PyErr_CheckSignals() != 0) throw nb::python_error();
            if (!progress.is_none()) progress(fraction);
        };
        nb::gil_scoped_release released;
        velmora::prepare_team(num_threads, velmora::SectorBasis::candidates(num_qubits, weight));
        basis_ = std::make_shared<const velmora::SectorBasis>(std::move(group), weight,
                                                              num_threads, between);
    }

    const std::shared_ptr<const velmora::SectorBasis>& basis() const { return basis_; }
    std::uint64_t size() const { return basis_->size(); }

    IndicesOut states() const {
        const std::uint64_t n = basis_->size();
        std::unique_ptr<std::uint64_t[]> copy(new std::uint64_t[std::max<std::uint64_t>(n, 1)]);
        if (n != 0) {  // an empty sector has no storage to copy from
            std::memcpy(copy.get(), basis_->states(), n * sizeof(std::uint64_t));
        }
        nb::capsule owner(copy.get(), [](void* p) noexcept {
            delete[] static_cast<std::uint64_t*>(p);
        });
        return IndicesOut(copy.release(), {n}, owner);
    }

    /// The index of the basis vector whose orbit holds x, or -1.
    std::int64_t locate(std::uint64_t x) const {
        const auto at = basis_->locate(x);
        return at.index == velmora::SectorBasis::npos ? -1 : static_cast<std::int64_t>(at.index);
    }

    StateOut embed(StateIn phi, std::int32_t num_threads) const {
        check(phi, basis_->size(), "phi");
        const std::uint64_t full = std::uint64_t{1} << basis_->num_qubits();
        velmora::check_state_vectors(full, 1, "embed");
        velmora::Buffer<Complex> in = copy_state(phi, basis_->size());
        std::unique_ptr<Complex[]> out;
        {
            nb::gil_scoped_release released;
            out = std::make_unique<Complex[]>(full);
            basis_->embed(in.get(), out.get(), num_threads);
        }
        return hand_over(std::move(out), full);
    }

    StateOut project(StateIn psi, std::int32_t num_threads) const {
        const std::uint64_t full = std::uint64_t{1} << basis_->num_qubits();
        check(psi, full, "psi");
        velmora::Buffer<Complex> in = copy_state(psi, full);
        std::unique_ptr<Complex[]> out;
        {
            nb::gil_scoped_release released;
            out = std::make_unique<Complex[]>(std::max<std::uint64_t>(basis_->size(), 1));
            basis_->project(in.get(), out.get(), num_threads);
        }
        return hand_over(std::move(out), basis_->size());
    }

    std::size_t group_order() const { return basis_->group().order(); }

    /// The group's elements: (permutation, contains the flip) in a fixed order.
    std::vector<std::pair<std::vector<std::uint32_t>, bool>> group_elements() const {
        std::vector<std::pair<std::vector<std::uint32_t>, bool>> out;
        const velmora::SymmetryGroup& g = basis_->group();
        for (std::size_t e = 0; e < g.order(); ++e) out.emplace_back(g.permutation(e), g.flips(e));
        return out;
    }

    static void check(const StateIn& v, std::uint64_t n, const char* name) {
        if (v.shape(0) != n) {
            throw std::invalid_argument(std::string(name) + " has " + std::to_string(v.shape(0)) +
                                        " amplitudes, but the sector needs " + std::to_string(n));
        }
    }

private:
    std::shared_ptr<const velmora::SectorBasis> basis_;
};

/// A Pauli sum on a sector.
class SectorOperatorHandle {
public:
    SectorOperatorHandle(const PauliOperator& op, const SectorBasisHandle& basis,
                         bool require_closed, std::int32_t num_threads) {
        nb::gil_scoped_release released;
        velmora::prepare_team(num_threads, basis.size() * op.hamiltonian().words().size());
        op_ = std::make_unique<velmora::SectorOperator>(op.hamiltonian(), basis.basis(),
                                                        require_closed, num_threads);
    }

    velmora::SectorOperator& op() const { return *op_; }
    std::uint64_t size() const { return op_->dim(); }

    StateOut apply(StateIn phi, std::int32_t num_threads) const {
        SectorBasisHandle::check(phi, size(), "phi");
        velmora::check_state_vectors(size(), 2, "apply");
        velmora::Buffer<Complex> in = copy_state(phi, size());
        std::unique_ptr<Complex[]> out;
        {
            nb::gil_scoped_release released;
            velmora::prepare_team(num_threads, op_->product_work());
            out = std::make_unique<Complex[]>(std::max<std::uint64_t>(size(), 1));
            op_->apply(in.get(), out.get(), num_threads);
        }
        return hand_over(std::move(out), size());
    }

    Complex expectation(StateIn phi, std::int32_t num_threads) const {
        SectorBasisHandle::check(phi, size(), "phi");
        velmora::check_state_vectors(size(), 2, "expectation");
        velmora::Buffer<Complex> in = copy_state(phi, size());
        nb::gil_scoped_release released;
        velmora::prepare_team(num_threads, op_->product_work());
        return op_->expectation(in.get(), num_threads);
    }

    nb::tuple entries() const {
        std::vector<std::uint64_t> rows, cols;
        std::vector<Complex> values;
        {
            nb::gil_scoped_release released;
            op_->entries(rows, cols, values);
        }
        nb::module_ np = nb::module_::import_("numpy");
        const std::size_t n = values.size();
        nb::object r = np.attr("empty")(n, "dtype"_a = "uint64");
        nb::object c = np.attr("empty")(n, "dtype"_a = "uint64");
        nb::object v = np.attr("empty")(n, "dtype"_a = "complex128");
        if (n != 0) {
            std::memcpy(nb::cast<IndicesOut>(r).data(), rows.data(), n * sizeof(std::uint64_t));
            std::memcpy(nb::cast<IndicesOut>(c).data(), cols.data(), n * sizeof(std::uint64_t));
            std::memcpy(nb::cast<StateOut>(v).data(), values.data(), n * sizeof(Complex));
        }
        return nb::make_tuple(r, c, v);
    }

    void keep_images(std::int32_t num_threads) {
        nb::gil_scoped_release released;
        velmora::prepare_team(num_threads, op_->product_work());
        op_->keep_images(num_threads);
    }

private:
    std::unique_ptr<velmora::SectorOperator> op_;
};

using RealIn = nb::ndarray<const double, nb::shape<-1>, nb::c_contig, nb::device::cpu>;
using StatesOut = nb::ndarray<nb::numpy, Complex, nb::ndim<2>, nb::c_contig>;

/// The generators of a time-dependent evolution: linear combinations of
/// fixed parts, one operator whose weights are set before each exponential.
class WeightedSumHandle {
public:
    using Table = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

    WeightedSumHandle(const PauliOperator& words, Table table, std::uint64_t diagonal_budget,
                      std::int32_t num_threads)
        : sum_(words.hamiltonian(),
               std::vector<double>(table.data(), table.data() + table.shape(0) * table.shape(1)),
               table.shape(0), diagonal_budget, num_threads) {}

    void set_weights(RealIn weights, std::int32_t num_threads) {
        if (weights.shape(0) != sum_.num_parts()) {
            throw std::invalid_argument("weights has " + std::to_string(weights.shape(0)) +
                                        " entries, but the sum has " +
                                        std::to_string(sum_.num_parts()) + " parts");
        }
        const std::vector<double> copy(weights.data(), weights.data() + weights.shape(0));
        nb::gil_scoped_release released;
        velmora::prepare_team(num_threads, sum_.op().product_work());
        sum_.set_weights(copy.data(), num_threads);
    }

    velmora::PauliSumOperator& op() { return sum_.op(); }

private:
    velmora::WeightedPauliSum sum_;
};

/// A read-only NumPy view of one state the engine holds (valid during the call).
using StateView = nb::ndarray<nb::numpy, const Complex, nb::ndim<1>, nb::c_contig>;

/// An observable the engine measures: a compiled Pauli sum (held by the
/// caller's object, kept alive by the call) or a private copy of a diagonal.
/// A Pauli sum, a real diagonal, or a Python callable f(state) -> complex
/// (called with the interpreter lock held on a read-only view of the state).
/// Or a Pauli sum on a sector, for states in that sector's basis.
using Observable = std::variant<const velmora::Hamiltonian*, std::vector<double>, nb::object,
                                velmora::SectorOperator*>;

/// Receives the engine's results: copies states into the output array or
/// measures the observables, and between steps takes the interpreter lock to
/// look for signals (Ctrl-C) and report progress.
class Collector final : public velmora::KrylovSink {
public:
    Collector(std::uint64_t n, std::int32_t num_threads, Complex* states,
              const std::vector<Observable>& observables, Complex* expectations,
              nb::handle progress, velmora::Ranks* ranks, double* log_norms)
        : n_(n), num_threads_(num_threads), states_(states), observables_(observables),
          expectations_(expectations), progress_(progress), ranks_(ranks),
          log_norms_(log_norms) {}

    void log_norm(std::uint64_t k, double value) override {
        if (log_norms_ != nullptr) {
            log_norms_[k] = value;
        }
    }

    void output(std::uint64_t k, const Complex* state) override {
        if (states_ != nullptr) {
            std::memcpy(states_ + k * n_, state, n_ * sizeof(Complex));
        }
        Complex* row = expectations_ + k * observables_.size();
        for (std::size_t j = 0; j < observables_.size(); ++j) {
            if (const auto* ham = std::get_if<const velmora::Hamiltonian*>(&observables_[j])) {
                row[j] = velmora::pauli_expectation(**ham, state, n_, num_threads_, ranks_);
            } else if (auto* const* sector = std::get_if<velmora::SectorOperator*>(&observables_[j])) {
                row[j] = (*sector)->expectation(state, num_threads_);
            } else if (const auto* f = std::get_if<nb::object>(&observables_[j])) {
                nb::gil_scoped_acquire acquired;
                const StateView view(state, {n_}, nb::handle());
                row[j] = nb::cast<Complex>((*f)(nb::cast(view, nb::rv_policy::reference)));
            } else {
                const auto& diagonal = std::get<std::vector<double>>(observables_[j]);
                row[j] = Complex(velmora::diagonal_expectation(diagonal.data(), state, n_,
                                                               num_threads_, ranks_),
                                 0.0);
            }
        }
    }

    void between_steps(double reached, double /*total*/) override {
        nb::gil_scoped_acquire acquired;
        if (PyErr_CheckSignals() != 0) {
            throw nb::python_error();
        }
        if (progress_.is_valid() && !progress_.is_none()) {
            progress_(reached);
        }
    }

private:
    std::uint64_t n_;
    std::int32_t num_threads_;
    Complex* states_;
    const std::vector<Observable>& observables_;
    Complex* expectations_;
    nb::handle progress_;
    velmora::Ranks* ranks_;
    double* log_norms_;
};

using DoublesOut = nb::ndarray<nb::numpy, double, nb::ndim<1>, nb::c_contig>;
using DoublesIn = nb::ndarray<nb::numpy, const double, nb::ndim<1>, nb::c_contig>;

/// The messages between ranks over an mpi4py communicator (the caller's
/// private duplicate, so that no message of the caller's can match ours).
/// Buffers are handed to mpi4py as NumPy arrays that view the engine's memory
/// without owning it; every call takes the interpreter lock, which the engine
/// released.
class CommTransport final : public velmora::Transport {
public:
    explicit CommTransport(nb::handle comm)
        : comm_(nb::borrow(comm)), size_(nb::cast<std::size_t>(comm_.attr("Get_size")())) {}

    ~CommTransport() override {
        nb::gil_scoped_acquire acquired;
        for (nb::object& r : pending_) r.reset();
        comm_.reset();
    }

    void all_gather(const double* values, std::size_t count, double* all) override {
        nb::gil_scoped_acquire acquired;
        comm_.attr("Allgather")(view(values, count), view(all, count * size_));
    }

    void start_exchange(std::uint64_t partner, const Complex* send, Complex* recv,
                        std::uint64_t count, int slot) override {
        nb::gil_scoped_acquire acquired;
        const int tag = exchange_tag + slot;
        nb::object receive = comm_.attr("Irecv")(view(reinterpret_cast<double*>(recv), 2 * count),
                                                 partner, tag);
        nb::object sent = comm_.attr("Isend")(
            view(reinterpret_cast<const double*>(send), 2 * count), partner, tag);
        pending_[slot] = nb::make_tuple(receive, sent);
    }

    void finish_exchange(int slot) override {
        nb::gil_scoped_acquire acquired;
        nb::object requests = std::move(pending_[slot]);
        for (nb::handle r : requests) {
            r.attr("Wait")();
        }
    }

private:
    static constexpr int exchange_tag = 0x7e1;

    static nb::object view(double* data, std::size_t count) {
        return nb::cast(DoublesOut(data, {count}, nb::handle()), nb::rv_policy::reference);
    }
    static nb::object view(const double* data, std::size_t count) {
        return nb::cast(DoublesIn(data, {count}, nb::handle()), nb::rv_policy::reference);
    }

    nb::object comm_;
    std::size_t size_;
    nb::object pending_[2];
};

void free_matrix(void* buffer) noexcept {
    std::free(buffer);
}

struct FreeMatrix {
    void operator()(Complex* p) const noexcept { std::free(p); }
};

/// A new zero-filled NumPy array of rows x cols complex numbers (cols may be
/// 0). Taken from calloc: a large block arrives as fresh zero pages, so the
/// states are written once (by the run) rather than cleared first.
std::pair<nb::object, Complex*> complex_matrix(std::size_t rows, std::size_t cols) {
    const std::size_t count = std::max<std::size_t>(rows * cols, 1);
    if (rows != 0 && cols > std::numeric_limits<std::size_t>::max() / sizeof(Complex) / rows) {
        throw std::bad_alloc();
    }
    std::unique_ptr<Complex, FreeMatrix> buffer(
        static_cast<Complex*>(std::calloc(count, sizeof(Complex))));
    if (!buffer) {
        throw std::bad_alloc();
    }
    Complex* data = buffer.get();
    nb::capsule owner(data, free_matrix);
    buffer.release();
    return {nb::cast(StatesOut(data, {rows, cols}, owner)), data};
}

/// The arrays a run fills at its output times: the states (None unless they
/// are kept) and the expectations (None without observables).
struct RunOutputs {
    RunOutputs(std::size_t num_times, std::uint64_t n, bool keep_states, std::size_t measured) {
        if (keep_states) std::tie(states, states_data) = complex_matrix(num_times, n);
        if (measured != 0) {
            std::tie(expectations, expectations_data) = complex_matrix(num_times, measured);
        }
    }
    nb::object states = nb::none();
    Complex* states_data = nullptr;
    nb::object expectations = nb::none();
    Complex* expectations_data = nullptr;
};

/// The ranks of a communicator for states of `whole` amplitudes, psi being this
/// rank's slice; returns the slice's length.
std::uint64_t make_ranks(nb::handle comm, std::uint64_t whole, const StateIn& psi,
                         std::unique_ptr<CommTransport>& transport,
                         std::unique_ptr<velmora::Ranks>& ranks) {
    const auto size = nb::cast<std::uint64_t>(comm.attr("Get_size")());
    const auto rank = nb::cast<std::uint64_t>(comm.attr("Get_rank")());
    if (size == 0 || (size & (size - 1)) != 0) {
        throw std::invalid_argument("the communicator must have a power-of-two size");
    }
    const std::uint64_t n = whole / size;
    if (psi.shape(0) != n) {
        throw std::invalid_argument("psi has " + std::to_string(psi.shape(0)) +
                                    " amplitudes, but a slice has " + std::to_string(n));
    }
    transport = std::make_unique<CommTransport>(comm);
    ranks = std::make_unique<velmora::Ranks>(
        *transport, static_cast<unsigned>(__builtin_ctzll(size)), rank, n);
    return n;
}

/// The observables an engine's Collector measures on states of n amplitudes.
std::vector<Observable> measured_observables(nb::list observables, std::uint64_t n,
                                             bool sliced) {
    std::vector<Observable> measured;
    measured.reserve(observables.size());
    for (nb::handle item : observables) {
        if (nb::isinstance<SectorOperatorHandle>(item)) {
            measured.emplace_back(&nb::cast<const SectorOperatorHandle&>(item).op());
        } else if (nb::isinstance<PauliOperator>(item)) {
            measured.emplace_back(&nb::cast<const PauliOperator&>(item).hamiltonian());
        } else if (PyCallable_Check(item.ptr()) != 0) {
            if (sliced) {
                throw std::invalid_argument("callable observables need the whole state");
            }
            measured.emplace_back(nb::borrow<nb::object>(item));
        } else {
            RealIn diagonal = nb::cast<RealIn>(item);
            if (diagonal.shape(0) != n) {
                throw std::invalid_argument("a diagonal observable needs one entry per amplitude");
            }
            measured.emplace_back(std::vector<double>(diagonal.data(), diagonal.data() + n));
        }
    }
    return measured;
}

nb::tuple krylov_evolve(nb::handle op_handle, StateIn psi, RealIn times, Complex direction,
                        double tol, std::int32_t num_threads, std::uint64_t krylov_dim,
                        std::uint64_t basis_budget, bool keep_states, nb::list observables,
                        nb::object progress, nb::object comm, bool normalize,
                        const std::string& caller) {
    // With a communicator, psi is this rank's slice of the state.
    std::unique_ptr<CommTransport> transport;
    std::unique_ptr<velmora::Ranks> ranks;
    std::uint64_t n = 0;
    velmora::SectorOperator* sector = nullptr;
    velmora::PauliSumOperator* weighted = nullptr;
    const PauliOperator* pauli = nullptr;
    if (nb::isinstance<WeightedSumHandle>(op_handle)) {
        weighted = &nb::cast<WeightedSumHandle&>(op_handle).op();
        if (!comm.is_none()) {
            throw std::invalid_argument("time-dependent sums do not run over MPI processes");
        }
        n = weighted->dim();
        SectorBasisHandle::check(psi, n, "psi");
    } else if (nb::isinstance<SectorOperatorHandle>(op_handle)) {
        sector = &nb::cast<const SectorOperatorHandle&>(op_handle).op();
        if (!comm.is_none()) {
            throw std::invalid_argument("sectors do not run over MPI processes");
        }
        n = sector->dim();
        SectorBasisHandle::check(psi, n, "psi");
    } else if (pauli = &nb::cast<const PauliOperator&>(op_handle); comm.is_none()) {
        n = checked_size(*pauli, psi);
    } else {
        n = make_ranks(comm, velmora::state_size(pauli->hamiltonian()), psi, transport, ranks);
    }
    const std::size_t num_times = times.shape(0);
    const std::vector<Observable> measured = measured_observables(observables, n, ranks != nullptr);
    // The copy of psi and, when states are returned, one row per output time;
    // the engine checks its own working set.
    velmora::check_state_vectors(
        n, 1.0 + (keep_states ? static_cast<double>(num_times) : 0.0), caller);
    velmora::Buffer<Complex> start = copy_state(psi, n);
    const std::vector<double> output_times(times.data(), times.data() + num_times);
    const RunOutputs outputs(num_times, n, keep_states, measured.size());
    velmora::KrylovOptions options;
    options.tol = tol;
    options.num_threads = num_threads;
    options.krylov_dim = krylov_dim;
    options.basis_budget_bytes = basis_budget;
    options.ranks = ranks.get();
    options.normalize = normalize;
    nb::object norms = nb::none();
    double* norms_data = nullptr;
    if (normalize) {
        norms = nb::module_::import_("numpy").attr("zeros")(num_times);
        norms_data = nb::cast<DoublesOut>(norms).data();
    }
    Collector collector(n, num_threads, outputs.states_data, measured, outputs.expectations_data,
                        progress, ranks.get(), norms_data);
    velmora::KrylovReport report;
    {
        nb::gil_scoped_release released;
        if (weighted != nullptr) {
            velmora::prepare_team(num_threads, weighted->product_work());
            report = velmora::krylov_evolve(*weighted, start.get(), output_times.data(),
                                            num_times, direction, options, collector);
        } else if (sector != nullptr) {
            report = velmora::krylov_evolve(*sector, start.get(), output_times.data(), num_times,
                                            direction, options, collector);
        } else {
            report = velmora::krylov_evolve(pauli->hamiltonian(), start.get(), output_times.data(),
                                            num_times, direction, options, collector);
        }
    }
    const std::uint64_t exchange_bytes = ranks ? ranks->buffer_bytes() : 0;
    return nb::make_tuple(outputs.states, outputs.expectations, report.error, report.steps,
                          report.applications, report.kept_basis,
                          report.exchanges_per_product, exchange_bytes, norms);
}

/// The drives of a time-dependent run: sample(times) -> a (num_drives, len(times))
/// array of finite values, called with the interpreter lock (the Python side
/// checks the values and names the part and time of a bad one).
class PythonDrives final : public velmora::DriveSampler {
public:
    explicit PythonDrives(nb::handle sample) : sample_(sample) {}
    void sample(const std::vector<double>& times, std::vector<double>& values) override {
        nb::gil_scoped_acquire acquired;
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
        nb::object np = nb::module_::import_("numpy");
        nb::object at = np.attr("array")(nb::cast(times));
        nb::object out = np.attr("ascontiguousarray")(sample_(at), "dtype"_a = "float64");
        const auto array = nb::cast<nb::ndarray<const double, nb::c_contig>>(out);
        values.assign(array.data(), array.data() + array.size());
    }

private:
    nb::handle sample_;
};

/// The time-dependent evolution by Taylor steps: parts are compiled Pauli sums
/// (full space, or over the ranks of `comm`) or sector operators, drives[p] the
/// index of part p's drive (-1: constant), norm_bounds[p] a bound of its norm.
/// Returns (states or None, expectations or None, error, steps, applications,
/// function_calls, rejected), or raises ValueError("not smooth near t = ...")
/// with the part's index in its args.
nb::tuple taylor_evolve(nb::list parts, std::vector<std::int64_t> drives,
                        std::vector<double> norm_bounds, std::uint64_t num_drives,
                        nb::object sample, StateIn psi, double t0, RealIn times, double tol,
                        std::int32_t num_threads, double max_step,
                        std::vector<double> breakpoints, bool keep_states, nb::list observables,
                        nb::object progress, nb::object comm) {
    if (parts.size() == 0 || drives.size() != parts.size() || norm_bounds.size() != parts.size()) {
        throw std::invalid_argument("one drive index and norm bound per part");
    }
    std::unique_ptr<CommTransport> transport;
    std::unique_ptr<velmora::Ranks> ranks;
    std::vector<std::unique_ptr<velmora::PauliSumOperator>> owned;
    std::vector<velmora::TaylorPart> taylor;
    std::uint64_t n = 0;
    for (std::size_t p = 0; p < parts.size(); ++p) {
        nb::handle item = parts[p];
        velmora::KrylovOperator* op = nullptr;
        if (nb::isinstance<SectorOperatorHandle>(item)) {
            if (!comm.is_none()) throw std::invalid_argument("sectors do not run over MPI processes");
            op = &nb::cast<const SectorOperatorHandle&>(item).op();
        } else {
            const PauliOperator& pauli = nb::cast<const PauliOperator&>(item);
            if (!comm.is_none() && !ranks) {
                make_ranks(comm, velmora::state_size(pauli.hamiltonian()), psi, transport, ranks);
            }
            nb::gil_scoped_release released;
            owned.push_back(std::make_unique<velmora::PauliSumOperator>(pauli.hamiltonian(),
                                                                        ranks.get(), num_threads));
            op = owned.back().get();
        }
        taylor.push_back({op, drives[p], norm_bounds[p]});
    }
    n = taylor.front().op->local_dim();
    SectorBasisHandle::check(psi, n, "psi");
    const std::size_t num_times = times.shape(0);
    const std::vector<Observable> measured = measured_observables(observables, n, ranks != nullptr);
    velmora::check_state_vectors(
        n, 1.0 + (keep_states ? static_cast<double>(num_times) : 0.0), "the time-dependent evolution");
    velmora::Buffer<Complex> start = copy_state(psi, n);
    const std::vector<double> output_times(times.data(), times.data() + num_times);
    const RunOutputs outputs(num_times, n, keep_states, measured.size());
    velmora::TaylorOptions options;
    options.tol = tol;
    options.num_threads = num_threads;
    options.max_step = max_step;
    options.breakpoints = std::move(breakpoints);
    options.ranks = ranks.get();
    PythonDrives sampler(sample);
    Collector collector(n, num_threads, outputs.states_data, measured, outputs.expectations_data,
                        progress, ranks.get(), nullptr);
    velmora::TaylorReport report;
    try {
        nb::gil_scoped_release released;
        std::uint64_t work = 0;
        for (const velmora::TaylorPart& part : taylor) work += part.op->product_work();
        velmora::prepare_team(num_threads, work);
        report = velmora::taylor_evolve(taylor, num_drives, sampler, start.get(), t0,
                                        output_times.data(), num_times, options, collector);
    } catch (const velmora::DriveNotSmooth& error) {
        throw nb::value_error((std::string(error.what()) + "|" + std::to_string(error.part) + "|" +
                               std::to_string(error.time)).c_str());
    }
    return nb::make_tuple(outputs.states, outputs.expectations, report.error, report.steps,
                          report.applications, report.function_calls, report.rejected);
}

/// Calls between cycles of the eigensolver and the Lanczos chain: checks for
/// interrupts and reports progress(products, converged) with the lock held.
class EigenProgress final : public velmora::EigenObserver {
public:
    explicit EigenProgress(nb::handle progress) : progress_(progress) {}
    void between_cycles(std::uint64_t products, std::uint64_t converged) override {
        nb::gil_scoped_acquire acquired;
        if (PyErr_CheckSignals() != 0) {
            throw nb::python_error();
        }
        if (progress_.is_valid() && !progress_.is_none()) {
            progress_(products, converged);
        }
    }

private:
    nb::handle progress_;
};

/// The operator behind a compiled Pauli sum or a sector operator, for the
/// eigensolver and the chain; `owned` keeps a full-space operator alive.
velmora::KrylovOperator& krylov_operator(nb::handle op_handle, std::int32_t num_threads,
                                         std::unique_ptr<velmora::PauliSumOperator>& owned) {
    if (nb::isinstance<SectorOperatorHandle>(op_handle)) {
        return nb::cast<const SectorOperatorHandle&>(op_handle).op();
    }
    const PauliOperator& pauli = nb::cast<const PauliOperator&>(op_handle);
    nb::gil_scoped_release released;
    velmora::prepare_team(num_threads,
                          velmora::state_size(pauli.hamiltonian()) *
                              pauli.hamiltonian().words().size());
    owned = std::make_unique<velmora::PauliSumOperator>(pauli.hamiltonian(), nullptr, num_threads);
    return *owned;
}

nb::tuple eigenpairs(nb::handle op_handle, nb::object start, std::uint64_t k, bool largest,
                     double tol, std::uint64_t krylov_dim, std::uint64_t max_products,
                     std::int32_t num_threads, bool check_missed, nb::object progress) {
    std::unique_ptr<velmora::PauliSumOperator> owned;
    velmora::KrylovOperator& op = krylov_operator(op_handle, num_threads, owned);
    const std::uint64_t n = op.dim();
    velmora::Buffer<Complex> first;
    if (!start.is_none()) {
        StateIn v0 = nb::cast<StateIn>(start);
        SectorBasisHandle::check(v0, n, "v0");
        first = copy_state(v0, n);
    }
    velmora::EigenOptions options;
    options.count = k;
    options.largest = largest;
    options.tol = tol;
    options.basis_size = krylov_dim;
    options.max_products = max_products;
    options.num_threads = num_threads;
    options.check_missed = check_missed;
    velmora::check_state_vectors(n, velmora::eigen_working_vectors(krylov_dim) +
                                        static_cast<double>(k), "eigsh");
    auto [vectors, data] = complex_matrix(k, n);
    EigenProgress observer(progress);
    velmora::EigenReport report;
    {
        nb::gil_scoped_release released;
        velmora::prepare_team(num_threads, op.product_work());
        report = velmora::lanczos_eigenpairs(op, first.get(), data, options, observer);
    }
    auto values = nb::module_::import_("numpy").attr("array")(report.values);
    auto residuals = nb::module_::import_("numpy").attr("array")(report.residuals);
    return nb::make_tuple(values, vectors, residuals, report.products, report.restarts,
                          report.check_products, report.converged, report.norm_estimate,
                          report.reorthogonalizations);
}

nb::tuple lanczos_chain(nb::handle op_handle, StateIn v, std::uint64_t steps,
                        std::int32_t num_threads, nb::object progress) {
    std::unique_ptr<velmora::PauliSumOperator> owned;
    velmora::KrylovOperator& op = krylov_operator(op_handle, num_threads, owned);
    const std::uint64_t n = op.dim();
    SectorBasisHandle::check(v, n, "v");
    velmora::check_state_vectors(n, 4, "the Lanczos chain");
    velmora::Buffer<Complex> copy = copy_state(v, n);
    EigenProgress observer(progress);
    velmora::LanczosChain chain;
    {
        nb::gil_scoped_release released;
        velmora::prepare_team(num_threads, op.product_work());
        chain = velmora::lanczos_chain(op, copy.get(), steps, num_threads, observer);
    }
    auto numpy = nb::module_::import_("numpy");
    return nb::make_tuple(chain.norm, numpy.attr("array")(chain.alpha, "dtype"_a = "float64"),
                          numpy.attr("array")(chain.beta, "dtype"_a = "float64"), chain.products);
}

}  // namespace

NB_MODULE(_native, m) {
    m.attr("__doc__") = "Compiled kernels of the velmora package";

    nb::class_<PauliOperator>(m, "PauliOperator")
        .def(nb::init<nb::bytes, std::uint64_t, CoeffsIn>(), "labels"_a, "num_qubits"_a,
             "coeffs"_a,
             "A Pauli sum compiled for the kernels: `labels` holds num_qubits letters per "
             "coefficient, the last letter of each acting on qubit 0.")
        .def_prop_ro("num_qubits", &PauliOperator::num_qubits)
        .def_prop_ro("num_groups", [](const PauliOperator& op) { return op.groups().groups().size(); },
                     "Passes of a product: the groups of words of one flip mask.")
        .def_prop_ro("kernel_isa", [](const PauliOperator& op) {
                         return std::string(velmora::kernel_isa_name(op.groups().isa()));
                     },
                     "The instruction set whose bodies apply the sum.");

    nb::class_<WeightedSumHandle>(m, "WeightedSum")
        .def(nb::init<const PauliOperator&, WeightedSumHandle::Table, std::uint64_t,
                      std::int32_t>(),
             "words"_a, "table"_a, "diagonal_budget"_a, "num_threads"_a,
             "sum_k w_k P_k over the parts given as rows of coefficients of `words`; set the "
             "weights before each use.")
        .def("set_weights", &WeightedSumHandle::set_weights, "weights"_a, "num_threads"_a);

    nb::class_<SectorBasisHandle>(m, "SectorBasis")
        .def(nb::init<std::uint32_t, std::int32_t, std::vector<std::vector<std::uint32_t>>,
                      std::vector<std::uint64_t>, std::int32_t, std::int32_t, nb::object>(),
             "num_qubits"_a, "weight"_a, "permutations"_a, "ks"_a, "spin_flip"_a,
             "num_threads"_a, "progress"_a.none(),
             "The basis of a sector: weight -1 for any, spin_flip 0 for none; progress(fraction) "
             "is called between batches of the enumeration.")
        .def("__len__", &SectorBasisHandle::size)
        .def("states", &SectorBasisHandle::states, "The representatives, ascending (a copy).")
        .def("locate", &SectorBasisHandle::locate, "x"_a,
             "The index of the basis vector whose orbit holds x, or -1.")
        .def("embed", &SectorBasisHandle::embed, "phi"_a, "num_threads"_a)
        .def("project", &SectorBasisHandle::project, "psi"_a, "num_threads"_a)
        .def_prop_ro("group_order", &SectorBasisHandle::group_order)
        .def("group_elements", &SectorBasisHandle::group_elements,
             "[(permutation, flips)] for every element of the group, the identity first.");

    nb::class_<SectorOperatorHandle>(m, "SectorOperator")
        .def(nb::init<const PauliOperator&, const SectorBasisHandle&, bool, std::int32_t>(),
             "op"_a, "basis"_a, "require_closed"_a, "num_threads"_a,
             "A Pauli sum on a sector; with require_closed, one that does not map the sector "
             "into itself is refused, naming a term.")
        .def("__len__", &SectorOperatorHandle::size)
        .def("apply", &SectorOperatorHandle::apply, "phi"_a, "num_threads"_a)
        .def("expectation", &SectorOperatorHandle::expectation, "phi"_a, "num_threads"_a)
        .def("entries", &SectorOperatorHandle::entries,
             "(rows, cols, values) of the sector matrix; repeated entries add up.")
        .def("keep_images", &SectorOperatorHandle::keep_images, "num_threads"_a,
             "Computes and keeps every product's images (the same bytes as without).")
        .def_prop_ro("image_bytes", [](const SectorOperatorHandle& h) { return h.op().image_bytes(); })
        .def_prop_ro("image_bytes_bound",
                     [](const SectorOperatorHandle& h) { return h.op().image_bytes_bound(); });

    m.def("apply", &apply, "op"_a, "psi"_a, "num_threads"_a,
          "H @ psi as a new array (same bits for every num_threads; 0 = calling thread).");
    m.def("apply", &apply_rows, "op"_a, "psi"_a, "num_threads"_a,
          "H @ psi[r] for every row r of a (k, 2^n) array, as a new (k, 2^n) array: one pass "
          "of the kernel for all rows, each row with the bits of its own call.");
    m.def("expectation", &expectation, "op"_a, "psi"_a, "num_threads"_a,
          "<psi|H|psi>, not normalised, word by word; each word's sum over fixed chunks "
          "combined pairwise (same bits for every num_threads).");
    m.attr("reduction_chunk") = velmora::reduction_chunk;
    m.def("inner", &inner, "a"_a, "b"_a, "num_threads"_a,
          "sum_i conj(a_i) * b_i, summed in fixed chunks (same bits for every num_threads).");
    m.def("norm", &norm, "a"_a, "num_threads"_a,
          "The Euclidean norm of a, without overflow or underflow for finite entries (same "
          "bits for every num_threads).");
    m.def("expectation", &expectation_rows, "op"_a, "psi"_a, "num_threads"_a,
          "<psi[r]|H|psi[r]> for every row r of a (k, 2^n) array, as a new (k,) array, each "
          "with the bits of its own call.");
    m.def("krylov_evolve", &krylov_evolve, "op"_a, "psi"_a, "times"_a, "direction"_a, "tol"_a,
          "num_threads"_a, "krylov_dim"_a, "basis_budget"_a, "keep_states"_a, "observables"_a,
          "progress"_a.none(), "comm"_a.none() = nb::none(), "normalize"_a = false,
          "caller"_a = "trajectory",
          "Error-controlled evolution of psi to the times direction * times[k]: returns "
          "(states or None, expectations or None, error, steps, applications, kept_basis, "
          "exchanges per product, exchange buffer bytes, log norms or None). With `comm` (an "
          "mpi4py communicator of 2^r processes), psi and the states are this rank's slice. "
          "With `normalize`, every output has unit norm and the natural logs of the true "
          "norms are returned. `caller` names the call in memory errors.");
    m.def("taylor_evolve", &taylor_evolve, "parts"_a, "drives"_a, "norm_bounds"_a,
          "num_drives"_a, "sample"_a, "psi"_a, "t0"_a, "times"_a, "tol"_a, "num_threads"_a,
          "max_step"_a, "breakpoints"_a, "keep_states"_a, "observables"_a, "progress"_a.none(),
          "comm"_a.none(),
          "H(t) = sum_p f_p(t) P_p by Taylor steps with the drives as polynomials: returns "
          "(states or None, expectations or None, error, steps, applications, function_calls, "
          "rejected).");
    m.def("eigenpairs", &eigenpairs, "op"_a, "v0"_a.none(), "k"_a, "largest"_a, "tol"_a,
          "krylov_dim"_a, "max_products"_a, "num_threads"_a, "check_missed"_a,
          "progress"_a.none(),
          "k eigenpairs at one end of the spectrum by thick-restart Lanczos: returns (values, "
          "vectors as rows, residual norms, products, restarts, products of the check for "
          "missed eigenvalues, converged, norm estimate, full reorthogonalisations).");
    m.def("lanczos_chain", &lanczos_chain, "op"_a, "v"_a, "steps"_a, "num_threads"_a,
          "progress"_a.none() = nb::none(),
          "(norm, alpha, beta, products): the Lanczos coefficients of v / ||v|| by the plain "
          "three-term recurrence, at most `steps` of them.");
    m.def("memory_limit", [] {
              const velmora::MemoryLimit limit = velmora::memory_limit();
              return nb::make_tuple(limit.bytes, limit.source);
          },
          "(bytes, source): the most memory this process can ever hold and where that limit "
          "comes from (cgroup limit, physical memory plus swap, or RLIMIT_AS); bytes = "
          "2**64 - 1 when none can be read.");
}
