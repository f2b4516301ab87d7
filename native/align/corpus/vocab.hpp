// Source and target vocabularies and the reading of a parallel corpus into word ids.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "align/corpus/corpus.hpp"
#include "common/host.hpp"
#include "common/string_enumerator.hpp"

namespace zel::align {

inline constexpr std::string_view kNullSymbol = "__NULL__";

class Vocab {
public:
    Vocab() { init(); }
    virtual ~Vocab() = default;

    // Starts both vocabularies afresh.
    virtual void init();

    // The texts of one pair: the inverse of corpus reading (the NULL word dropped). Throws
    // std::out_of_range for an unknown id.
    virtual std::pair<std::string, std::string> ids_pair_to_str_pair(
        std::span<const WordId> src_ids, std::span<const WordId> trg_ids,
        bool character_based) const;

    // Reads the two files in lock step up to the end of the shorter one. Words are registered
    // as they are met; when a line fails (invalid UTF-8, an unreadable file) the error
    // propagates and the registrations and maximum lengths made before it stay.
    virtual Corpus load_sent_pairs(Host& host, const std::optional<std::string>& src_path,
                                   const std::optional<std::string>& trg_path,
                                   bool character_based);

    StringEnumerator src_enum;
    StringEnumerator trg_enum;
    std::int32_t max_src_len = 0;  // NULL word included
    std::int32_t max_trg_len = 0;
};

// Splits one corpus line into words (views into `line`), appending them to `words`.
// Word mode: "\r"/"\n" runs stripped at both ends, then a split at every single space.
// Character mode: the same strip, then one word per code point. `line` must be valid UTF-8.
void split_corpus_line(std::string_view line, bool character_based,
                       std::vector<std::string_view>& words);

// Throws DecodeError naming `path` ("None" without one) and line `number` when `line` is not
// UTF-8.
void check_utf8(std::string_view line, const std::optional<std::string>& path, std::size_t number);

}  // namespace zel::align
