// Phrase pairs consistent with a word alignment (Och and Ney 2004; Koehn, Och and Marcu 2003).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zel::extract {

// A link between source position `src` and target position `trg` (0-based).
struct Link {
    std::uint32_t src, trg;
    friend bool operator==(const Link&, const Link&) = default;
};

// A source span and a target span, [begin, end) each.
struct PhraseSpan {
    std::uint32_t src_begin, src_end, trg_begin, trg_end;
    friend bool operator==(const PhraseSpan&, const PhraseSpan&) = default;
};

// The links of a pair as one line gives them ("i-j i-j ..."), checked against the pair's
// lengths and made distinct; throws ValueError saying what is wrong (the caller names the
// file and line).
std::vector<Link> parse_links(std::string_view line, std::size_t src_len, std::size_t trg_len);

// Every pair of spans, of at most `max_length` words a side, that holds at least one link and
// that no link leaves through one side only; spans are extended over unaligned words at their
// edges. In no particular order.
void consistent_phrases(std::size_t src_len, std::size_t trg_len, std::span<const Link> links,
                        std::size_t max_length, std::vector<PhraseSpan>& out);

// The links inside `span`, relative to its corner, as "i-j" texts sorted as the records sort
// them (as strings), joined by blanks.
std::string inner_points(const PhraseSpan& span, std::span<const Link> links);

}  // namespace zel::extract
