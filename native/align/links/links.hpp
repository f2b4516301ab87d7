// Word links of sentence pairs: reading the decoded alignment files that training and scoring
// write, combining the two directions' links by the symmetrisation heuristics of phrase-based
// translation, and writing links in the common "i-j" form (0-based source-target positions).
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zel::links {

// A link between the 0-based source position `src` and the 0-based target position `trg`.
struct Link {
    std::uint32_t src;
    std::uint32_t trg;
    auto operator<=>(const Link&) const = default;
};

// A line that is not what its file should hold. `file` is 0 for the source-to-target file and
// 1 for the target-to-source one, `line` the 0-based index in the lines given.
class LinkError : public std::runtime_error {
public:
    LinkError(int in_file, std::size_t at_line, const std::string& message)
        : std::runtime_error(message), file(in_file), line(at_line) {}
    int file;
    std::size_t line;
};

enum class Heuristic { intersection, union_, grow_diag, grow_diag_final, grow_diag_final_and };

// The heuristics by their usual names ("intersection", "union", "grow-diag", "grow-diag-final",
// "grow-diag-final-and"), in that order.
std::span<const std::string_view> heuristic_names();
std::optional<Heuristic> heuristic_named(std::string_view name);

// One line of a decoded alignment file: tokens "j-i", j the 1-based position of a word of the
// file's target side, i its source position (0 for the NULL word). The line's links are
// appended to `links` in the file's own orientation (source, target), NULL links left out;
// the result is the number of tokens, which is the length of the file's target side.
// Throws std::invalid_argument naming the token that is not such a link.
std::size_t read_decoded(std::string_view line, std::vector<Link>& links);

// The links of two decoded files of the same pairs combined by `heuristic`, one "i-j" line per
// pair (source-target orientation, sorted, each line ended by a line feed). `forward` holds the
// source-to-target file's lines, `backward` the target-to-source file's; each pair's lengths are
// the two lines' token counts, and a link beyond them is a LinkError (files of other pairs).
std::string symmetrize(std::span<const std::string_view> forward,
                       std::span<const std::string_view> backward, Heuristic heuristic);

// A decoded file's lines as "i-j" lines (NULL links dropped, sorted); `reversed` for a
// target-to-source file, whose links are turned to source-target orientation.
std::string decoded_to_links(std::span<const std::string_view> lines, bool reversed);

// Appends one pair's links to `out` as an "i-j" line, its line feed included.
void append_links(std::string& out, std::span<const Link> links);

// Sorted links of one pair combined by `heuristic`; `src_len` and `trg_len` bound every link.
std::vector<Link> combine(std::span<const Link> forward, std::span<const Link> backward,
                          std::size_t src_len, std::size_t trg_len, Heuristic heuristic);

}  // namespace zel::links
