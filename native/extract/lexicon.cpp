#include "extract/lexicon.hpp"

#include <bit>

namespace zel::extract {

namespace {

constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

std::size_t slot_of(std::uint64_t key, std::size_t mask) {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> 20) & mask;
}

}  // namespace

void Lexicon::add(std::span<const std::uint32_t> src, std::span<const std::uint32_t> trg,
                  std::span<const Link> links) {
    src_linked_.assign(src.size(), false);
    trg_linked_.assign(trg.size(), false);
    for (const Link& k : links) {
        count(src[k.src], trg[k.trg]);
        src_linked_[k.src] = trg_linked_[k.trg] = true;
    }
    for (std::size_t i = 0; i < src.size(); ++i)
        if (!src_linked_[i]) count(src[i], kNull);
    for (std::size_t j = 0; j < trg.size(); ++j)
        if (!trg_linked_[j]) count(kNull, trg[j]);
}

void Lexicon::count(std::uint32_t f, std::uint32_t e) {
    ++joint_[key(f, e)];
    if (f == kNull) {
        ++null_src_;
    } else {
        if (f >= src_total_.size()) src_total_.resize(f + 1, 0);
        ++src_total_[f];
    }
    if (e == kNull) {
        ++null_trg_;
    } else {
        if (e >= trg_total_.size()) trg_total_.resize(e + 1, 0);
        ++trg_total_[e];
    }
}

void Lexicon::freeze() {
    const std::size_t size = std::bit_ceil(2 * joint_.size() + 2);
    keys_.assign(size, kEmpty);
    values_.assign(size, {0.0, 0.0});
    for (const auto& [k, n] : joint_) {
        const auto f = static_cast<std::uint32_t>(k >> 32), e = static_cast<std::uint32_t>(k);
        const auto joint = static_cast<double>(n);
        std::size_t s = slot_of(k, size - 1);
        while (keys_[s] != kEmpty) s = (s + 1) & (size - 1);
        keys_[s] = k;
        values_[s] = {joint / static_cast<double>(f == kNull ? null_src_ : src_total_[f]),
                      joint / static_cast<double>(e == kNull ? null_trg_ : trg_total_[e])};
    }
    joint_ = {};
    src_null_.resize(src_total_.size());
    for (std::uint32_t f = 0; f < src_null_.size(); ++f) src_null_[f] = weights(f, kNull)[1];
    trg_null_.resize(trg_total_.size());
    for (std::uint32_t e = 0; e < trg_null_.size(); ++e) trg_null_[e] = weights(kNull, e)[0];
}

std::array<double, 2> Lexicon::weights(std::uint32_t f, std::uint32_t e) const {
    const std::uint64_t k = key(f, e);
    const std::size_t mask = keys_.size() - 1;
    for (std::size_t s = slot_of(k, mask);; s = (s + 1) & mask) {
        if (keys_[s] == k) return values_[s];
        if (keys_[s] == kEmpty) return {0.0, 0.0};
    }
}

std::array<double, 2> Lexicon::phrase_weights(std::span<const std::uint32_t> f,
                                              std::span<const std::uint32_t> e,
                                              std::span<const Link> points,
                                              std::vector<double>& scratch) const {
    // Per word, its links' weights summed in the points' order, and how many there were.
    scratch.assign(2 * (f.size() + e.size()), 0.0);
    double* f_sum = scratch.data();
    double* f_links = f_sum + f.size();
    double* e_sum = f_links + f.size();
    double* e_links = e_sum + e.size();
    for (const Link& p : points) {
        const std::array<double, 2> w = weights(f[p.src], e[p.trg]);
        e_sum[p.trg] += w[0];
        e_links[p.trg] += 1.0;
        f_sum[p.src] += w[1];
        f_links[p.src] += 1.0;
    }
    std::array<double, 2> weight{1.0, 1.0};
    for (std::size_t i = 0; i < f.size(); ++i)
        weight[0] *= f_links[i] > 0 ? f_sum[i] / f_links[i] : src_null_[f[i]];
    for (std::size_t j = 0; j < e.size(); ++j)
        weight[1] *= e_links[j] > 0 ? e_sum[j] / e_links[j] : trg_null_[e[j]];
    return weight;
}

}  // namespace zel::extract
