#include "sector/symmetry_group.h"

#include <cmath>
#include <map>
#include <numeric>
#include <stdexcept>
#include <string>

namespace velmora {

namespace {

using Permutation = std::vector<std::uint32_t>;

/// The order of a permutation: the lcm of its cycle lengths.
std::uint64_t permutation_order(const Permutation& p) {
    std::vector<bool> seen(p.size(), false);
    std::uint64_t order = 1;
    for (std::size_t start = 0; start < p.size(); ++start) {
        if (seen[start]) continue;
        std::uint64_t length = 0;
        for (std::size_t q = start; !seen[q]; q = p[q]) {
            seen[q] = true;
            ++length;
        }
        order = std::lcm(order, length);
    }
    return order;
}

/// chi = exp(2 pi i p / d), exact at the multiples of a quarter turn.
Complex character_value(std::uint64_t p, std::uint64_t d) {
    if (p == 0) return Complex(1.0, 0.0);
    if (4 * p == d) return Complex(0.0, 1.0);
    if (2 * p == d) return Complex(-1.0, 0.0);
    if (4 * p == 3 * d) return Complex(0.0, -1.0);
    const double angle = 2.0 * M_PI * static_cast<double>(p) / static_cast<double>(d);
    return Complex(std::cos(angle), std::sin(angle));
}

std::string describe(std::size_t index) {
    return "symmetries[" + std::to_string(index) + "]";
}

}  // namespace

SymmetryGroup::SymmetryGroup(std::uint32_t num_qubits,
                             const std::vector<SymmetryGenerator>& generators, int spin_flip)
    : num_qubits_(num_qubits), chunks_((num_qubits + 7) / 8) {
    if (num_qubits == 0 || num_qubits > 63) {
        throw std::invalid_argument("num_qubits must be in 1..63, got " +
                                    std::to_string(num_qubits));
    }
    if (spin_flip != 0 && spin_flip != 1 && spin_flip != -1) {
        throw std::invalid_argument("spin_flip must be +1, -1 or None, got " +
                                    std::to_string(spin_flip));
    }
    // The common denominator of the phases.
    std::vector<std::uint64_t> orders;
    for (std::size_t j = 0; j < generators.size(); ++j) {
        const Permutation& p = generators[j].permutation;
        if (p.size() != num_qubits) {
            throw std::invalid_argument(describe(j) + ": the permutation has " +
                                        std::to_string(p.size()) + " entries, but the sector has " +
                                        std::to_string(num_qubits) + " qubits");
        }
        std::vector<bool> hit(num_qubits, false);
        for (std::uint32_t q = 0; q < num_qubits; ++q) {
            if (p[q] >= num_qubits || hit[p[q]]) {
                throw std::invalid_argument(
                    describe(j) + " is not a permutation of 0.." + std::to_string(num_qubits - 1) +
                    ": entry " + std::to_string(q) + " is " + std::to_string(p[q]) +
                    (p[q] >= num_qubits ? ", out of range" : ", repeated"));
            }
            hit[p[q]] = true;
        }
        const std::uint64_t order = permutation_order(p);
        if (generators[j].k >= order) {
            throw std::invalid_argument(describe(j) + ": k = " + std::to_string(generators[j].k) +
                                        " is outside 0.." + std::to_string(order - 1) +
                                        " (the permutation has order " + std::to_string(order) +
                                        ")");
        }
        orders.push_back(order);
        denominator_ = std::lcm(denominator_, order);
    }
    if (spin_flip != 0) denominator_ = std::lcm(denominator_, std::uint64_t{2});

    const std::uint64_t all = (std::uint64_t{1} << num_qubits) - 1;
    struct Element {
        Permutation perm;
        std::uint64_t flip;
        std::uint64_t phase;
    };
    std::vector<Element> gens;
    for (std::size_t j = 0; j < generators.size(); ++j) {
        gens.push_back({generators[j].permutation, 0,
                        generators[j].k * (denominator_ / orders[j])});
    }
    if (spin_flip != 0) {
        Permutation identity(num_qubits);
        std::iota(identity.begin(), identity.end(), 0u);
        gens.push_back({identity, all, spin_flip == -1 ? denominator_ / 2 : 0});
    }
    // Closure, breadth first from the identity: element order is fixed by the
    // generators' order alone.
    std::vector<Element> elements;
    Permutation identity(num_qubits);
    std::iota(identity.begin(), identity.end(), 0u);
    elements.push_back({identity, 0, 0});
    std::map<std::pair<Permutation, std::uint64_t>, std::size_t> index;
    index[{identity, 0}] = 0;
    for (std::size_t e = 0; e < elements.size(); ++e) {
        for (std::size_t j = 0; j < gens.size(); ++j) {
            // s after e: qubit q goes to s[e[q]].
            Permutation composed(num_qubits);
            for (std::uint32_t q = 0; q < num_qubits; ++q) {
                composed[q] = gens[j].perm[elements[e].perm[q]];
            }
            const std::uint64_t flip = elements[e].flip ^ gens[j].flip;
            const std::uint64_t phase = (elements[e].phase + gens[j].phase) % denominator_;
            auto [it, inserted] = index.try_emplace({composed, flip}, elements.size());
            if (!inserted) {
                if (elements[it->second].phase != phase) {
                    throw std::invalid_argument(
                        "no state has these eigenvalues together: a product of the symmetries "
                        "equals another with a different eigenvalue (a reflection allows only "
                        "the momenta 0 and n/2 of a translation it reverses)");
                }
                continue;
            }
            if (elements.size() == max_order) {
                throw std::invalid_argument("the symmetries generate a group of more than " +
                                            std::to_string(max_order) + " elements");
            }
            elements.push_back({std::move(composed), flip, phase});
        }
    }
    for (const Element& e : elements) {
        perms_.push_back(e.perm);
        flips_.push_back(e.flip);
        phases_.push_back(e.phase);
        characters_.push_back(character_value(e.phase, denominator_));
    }
    // Rotations and reflected rotations of the whole register take the ring
    // path: shifts of x or of its reflection instead of table look-ups.
    all_ = all;
    ring_ = num_qubits > 1;
    for (const Element& e : elements) {
        const std::uint32_t s = e.perm[0];
        bool rotation = true, reflection = true;
        for (std::uint32_t q = 0; q < num_qubits; ++q) {
            rotation = rotation && e.perm[q] == (s + q) % num_qubits;
            reflection = reflection && e.perm[q] == (s + num_qubits - q) % num_qubits;
        }
        ring_ = ring_ && (rotation || reflection);
        // A reflection of x by q -> n-1-q, then a rotation by s + 1.
        ring_reflects_.push_back(rotation ? 0 : 1);
        ring_shift_.push_back(rotation ? s : (s + 1) % num_qubits);
    }
    reverse_.assign(std::size_t{chunks_} * 256, 0);
    for (std::uint32_t ch = 0; ch < chunks_; ++ch) {
        for (std::uint32_t byte = 0; byte < 256; ++byte) {
            std::uint64_t image = 0;
            for (std::uint32_t b = 0; b < 8; ++b) {
                const std::uint32_t q = 8 * ch + b;
                if (q < num_qubits && ((byte >> b) & 1)) image |= std::uint64_t{1} << (num_qubits - 1 - q);
            }
            reverse_[ch * 256 + byte] = image;
        }
    }
    tables_.assign(elements.size() * chunks_ * 256, 0);
    for (std::size_t g = 0; g < elements.size(); ++g) {
        for (std::uint32_t c = 0; c < chunks_; ++c) {
            std::uint64_t* t = tables_.data() + (g * chunks_ + c) * 256;
            for (std::uint32_t byte = 0; byte < 256; ++byte) {
                std::uint64_t image = 0;
                for (std::uint32_t b = 0; b < 8; ++b) {
                    const std::uint32_t q = 8 * c + b;
                    if (q < num_qubits && ((byte >> b) & 1)) {
                        image |= std::uint64_t{1} << perms_[g][q];
                    }
                }
                t[byte] = image;
            }
        }
    }
}

}  // namespace velmora
