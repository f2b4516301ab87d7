#include "align/links/links.hpp"

#include <algorithm>
#include <array>
#include <charconv>

#include "common/text_split.hpp"

namespace zel::links {

namespace {

constexpr std::array<std::string_view, 5> kNames = {"intersection", "union", "grow-diag",
                                                    "grow-diag-final", "grow-diag-final-and"};

bool read_position(std::string_view text, std::uint32_t& value) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

// The links of one pair as a source-by-target grid, with the number of links of each word, so
// the heuristics ask "is this word aligned" and "is this a link" in constant time.
class Grid {
public:
    void reset(std::size_t src_len, std::size_t trg_len) {
        src_len_ = src_len;
        trg_len_ = trg_len;
        cells_.assign(src_len * trg_len, 0);
        src_links_.assign(src_len, 0);
        trg_links_.assign(trg_len, 0);
    }
    void mark(std::span<const Link> links, std::uint8_t bit) {
        for (const Link& l : links) cells_[l.src * trg_len_ + l.trg] |= bit;
    }
    std::uint8_t at(std::size_t s, std::size_t t) const { return cells_[s * trg_len_ + t]; }
    bool src_aligned(std::size_t s) const { return src_links_[s] != 0; }
    bool trg_aligned(std::size_t t) const { return trg_links_[t] != 0; }
    void add(std::size_t s, std::size_t t) {
        cells_[s * trg_len_ + t] |= kChosen;
        ++src_links_[s];
        ++trg_links_[t];
    }
    std::size_t src_len() const { return src_len_; }
    std::size_t trg_len() const { return trg_len_; }

    static constexpr std::uint8_t kForward = 1, kBackward = 2, kChosen = 4;

private:
    std::size_t src_len_ = 0, trg_len_ = 0;
    std::vector<std::uint8_t> cells_;
    std::vector<std::uint32_t> src_links_, trg_links_;
};

constexpr std::uint8_t kBoth = Grid::kForward | Grid::kBackward;

// Adds the union links next to chosen ones (diagonals included) that bring in a word not yet
// aligned, sweeping the grid in source-then-target order until a sweep adds nothing.
void grow_diag(Grid& g) {
    static constexpr int kNeighbours[8][2] = {{-1, 0},  {0, -1}, {1, 0},  {0, 1},
                                              {-1, -1}, {-1, 1}, {1, -1}, {1, 1}};
    const auto src_len = static_cast<long>(g.src_len());
    const auto trg_len = static_cast<long>(g.trg_len());
    for (bool added = true; added;) {
        added = false;
        for (long s = 0; s < src_len; ++s) {
            for (long t = 0; t < trg_len; ++t) {
                if (!(g.at(static_cast<std::size_t>(s), static_cast<std::size_t>(t)) &
                      Grid::kChosen))
                    continue;
                for (const auto& d : kNeighbours) {
                    long ns = s + d[0], nt = t + d[1];
                    if (ns < 0 || nt < 0 || ns >= src_len || nt >= trg_len) continue;
                    auto us = static_cast<std::size_t>(ns), ut = static_cast<std::size_t>(nt);
                    std::uint8_t cell = g.at(us, ut);
                    if ((cell & Grid::kChosen) || !(cell & kBoth)) continue;
                    if (g.src_aligned(us) && g.trg_aligned(ut)) continue;
                    g.add(us, ut);
                    added = true;
                }
            }
        }
    }
}

// Adds the links of one direction (`bit`) whose words are both unaligned (`both`) or of which
// at least one is.
void final_step(Grid& g, std::uint8_t bit, bool both) {
    for (std::size_t s = 0; s < g.src_len(); ++s) {
        for (std::size_t t = 0; t < g.trg_len(); ++t) {
            std::uint8_t cell = g.at(s, t);
            if ((cell & Grid::kChosen) || !(cell & bit)) continue;
            bool src_free = !g.src_aligned(s), trg_free = !g.trg_aligned(t);
            if (both ? (src_free && trg_free) : (src_free || trg_free)) g.add(s, t);
        }
    }
}

class Combiner {
public:
    std::vector<Link> operator()(std::span<const Link> forward, std::span<const Link> backward,
                                 std::size_t src_len, std::size_t trg_len, Heuristic h) {
        grid_.reset(src_len, trg_len);
        grid_.mark(forward, Grid::kForward);
        grid_.mark(backward, Grid::kBackward);
        const bool is_union = h == Heuristic::union_;
        for (std::size_t s = 0; s < src_len; ++s)
            for (std::size_t t = 0; t < trg_len; ++t) {
                std::uint8_t cell = grid_.at(s, t);
                if (is_union ? (cell & kBoth) != 0 : (cell & kBoth) == kBoth) grid_.add(s, t);
            }
        if (h == Heuristic::grow_diag || h == Heuristic::grow_diag_final ||
            h == Heuristic::grow_diag_final_and) {
            grow_diag(grid_);
        }
        // Final steps, one direction after the other in one sweep each: grow-diag-final adds a
        // link of which either word is still unaligned, grow-diag-final-and one of which both
        // are. (A link taken for one unaligned word can keep out a later one that -and would
        // take, so grow-diag-final need not contain grow-diag-final-and.)
        if (h == Heuristic::grow_diag_final || h == Heuristic::grow_diag_final_and) {
            const bool both = h == Heuristic::grow_diag_final_and;
            final_step(grid_, Grid::kForward, both);
            final_step(grid_, Grid::kBackward, both);
        }
        std::vector<Link> chosen;
        for (std::size_t s = 0; s < src_len; ++s)
            for (std::size_t t = 0; t < trg_len; ++t)
                if (grid_.at(s, t) & Grid::kChosen)
                    chosen.push_back(
                        {static_cast<std::uint32_t>(s), static_cast<std::uint32_t>(t)});
        return chosen;
    }

private:
    Grid grid_;
};

void append_number(std::string& out, std::uint32_t value) {
    char digits[16];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

Link turned(Link l) { return {l.trg, l.src}; }

// Reads a line of file `file` (0 forward, 1 backward) as LinkError on failure.
std::size_t read_line(std::string_view line, int file, std::size_t index,
                      std::vector<Link>& links) {
    try {
        return read_decoded(line, links);
    } catch (const std::invalid_argument& e) {
        throw LinkError(file, index, e.what());
    }
}

}  // namespace

void append_links(std::string& out, std::span<const Link> links) {
    for (std::size_t k = 0; k < links.size(); ++k) {
        if (k) out += ' ';
        append_number(out, links[k].src);
        out += '-';
        append_number(out, links[k].trg);
    }
    out += '\n';
}

std::span<const std::string_view> heuristic_names() { return kNames; }

std::optional<Heuristic> heuristic_named(std::string_view name) {
    for (std::size_t k = 0; k < kNames.size(); ++k)
        if (kNames[k] == name) return static_cast<Heuristic>(k);
    return std::nullopt;
}

std::size_t read_decoded(std::string_view line, std::vector<Link>& links) {
    std::size_t count = 0;
    const std::size_t first = links.size();
    std::vector<std::string_view> tokens;
    text::split_runs(line, tokens);
    for (const std::string_view token : tokens) {
        auto dash = token.find('-');
        std::uint32_t j = 0, i = 0;
        if (dash == std::string_view::npos || !read_position(token.substr(0, dash), j) ||
            !read_position(token.substr(dash + 1), i) || j == 0) {
            throw std::invalid_argument("'" + std::string(token) +
                                        "' is not a decoded link (J-I: 1-based target position, "
                                        "source position, 0 for NULL)");
        }
        ++count;
        if (i > 0) links.push_back({i - 1, j - 1});
    }
    for (std::size_t k = first; k < links.size(); ++k) {
        if (links[k].trg >= count) {
            throw std::invalid_argument("target position " + std::to_string(links[k].trg + 1) +
                                        " is beyond the line's " + std::to_string(count) +
                                        " words");
        }
    }
    return count;
}

std::vector<Link> combine(std::span<const Link> forward, std::span<const Link> backward,
                          std::size_t src_len, std::size_t trg_len, Heuristic heuristic) {
    return Combiner()(forward, backward, src_len, trg_len, heuristic);
}

std::string symmetrize(std::span<const std::string_view> forward,
                       std::span<const std::string_view> backward, Heuristic heuristic) {
    Combiner combiner;
    std::vector<Link> fwd, bwd;
    std::string out;
    if (forward.size() != backward.size())
        throw std::invalid_argument("the two directions hold different numbers of pairs");
    for (std::size_t k = 0; k < forward.size(); ++k) {
        fwd.clear();
        bwd.clear();
        const std::size_t trg_len = read_line(forward[k], 0, k, fwd);
        const std::size_t src_len = read_line(backward[k], 1, k, bwd);
        for (const Link& l : fwd) {
            if (l.src >= src_len) {
                throw LinkError(0, k,
                                "source position " + std::to_string(l.src + 1) + " is beyond the " +
                                    std::to_string(src_len) +
                                    " words of the other direction's line");
            }
        }
        for (Link& l : bwd) {
            if (l.src >= trg_len) {
                throw LinkError(1, k,
                                "source position " + std::to_string(l.src + 1) + " is beyond the " +
                                    std::to_string(trg_len) +
                                    " words of the other direction's line");
            }
            l = turned(l);
        }
        append_links(out, combiner(fwd, bwd, src_len, trg_len, heuristic));
    }
    return out;
}

std::string decoded_to_links(std::span<const std::string_view> lines, bool reversed) {
    std::vector<Link> links;
    std::string out;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        links.clear();
        read_line(lines[k], 0, k, links);
        if (reversed) std::transform(links.begin(), links.end(), links.begin(), turned);
        std::sort(links.begin(), links.end());
        append_links(out, links);
    }
    return out;
}

}  // namespace zel::links
