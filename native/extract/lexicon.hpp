// Lexical translation tables estimated on a corpus's links: c(f, e) for each link, c(f, NULL)
// for an unaligned source word and c(NULL, e) for an unaligned target word.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "extract/phrases.hpp"

namespace zel::extract {

class Lexicon {
public:
    static constexpr std::uint32_t kNull = 0xFFFFFFFFU;

    void add(std::span<const std::uint32_t> src, std::span<const std::uint32_t> trg,
             std::span<const Link> links);

    // Ends counting; w(e | f) and w(f | e) can be read from then on.
    void freeze();

    // {w(e | f), w(f | e)}, either word kNull for NULL; zeros for a pair never linked.
    std::array<double, 2> weights(std::uint32_t f, std::uint32_t e) const;

    // {lex(f | e, a), lex(e | f, a)}: over the words of one side, the mean of their links'
    // weights (NULL's for an unlinked word), multiplied. `scratch` is the caller's.
    std::array<double, 2> phrase_weights(std::span<const std::uint32_t> f,
                                         std::span<const std::uint32_t> e,
                                         std::span<const Link> points,
                                         std::vector<double>& scratch) const;

private:
    static std::uint64_t key(std::uint32_t f, std::uint32_t e) {
        return std::uint64_t{f} << 32 | e;
    }
    void count(std::uint32_t f, std::uint32_t e);

    std::unordered_map<std::uint64_t, std::uint64_t> joint_;
    std::vector<std::uint64_t> src_total_, trg_total_;
    std::uint64_t null_src_ = 0, null_trg_ = 0;
    // Frozen: open addressing from key(f, e) to its two weights.
    std::vector<std::uint64_t> keys_;
    std::vector<std::array<double, 2>> values_;
    std::vector<double> src_null_, trg_null_;  // w(NULL | f), w(e | NULL), by word
    std::vector<bool> src_linked_, trg_linked_;
};

}  // namespace zel::extract
