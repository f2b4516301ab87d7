#include "extract/phrases.hpp"

#include <algorithm>
#include <limits>

#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/number_text.hpp"
#include "common/text_split.hpp"
#include "records/formats.hpp"

namespace zel::extract {

std::vector<Link> parse_links(std::string_view line, std::size_t src_len, std::size_t trg_len) {
    std::vector<Link> links;
    for (const std::string_view point : zel::text::split_runs(line)) {
        const auto dash = point.find('-');
        long long i = -1, j = -1;
        if (dash == std::string_view::npos || !parse_plain_int(point.substr(0, dash), i) ||
            !parse_plain_int(point.substr(dash + 1), j) || i < 0 || j < 0) {
            throw ValueError("'" + std::string(point) + "' is not a link i-j");
        }
        if (static_cast<std::size_t>(i) >= src_len || static_cast<std::size_t>(j) >= trg_len) {
            throw ValueError("link " + std::string(point) + " is outside the pair (" +
                             std::to_string(src_len) + " source and " + std::to_string(trg_len) +
                             " target words)");
        }
        links.push_back({static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j)});
    }
    std::sort(links.begin(), links.end(), [](const Link& a, const Link& b) {
        return a.src != b.src ? a.src < b.src : a.trg < b.trg;
    });
    links.erase(std::unique(links.begin(), links.end()), links.end());
    return links;
}

void consistent_phrases(std::size_t src_len, std::size_t trg_len, std::span<const Link> links,
                        std::size_t max_length, std::vector<PhraseSpan>& out) {
    constexpr auto kNone = std::numeric_limits<std::uint32_t>::max();
    // Per position, the first and last position it is linked to on the other side.
    std::vector<std::uint32_t> trg_lo(trg_len, kNone), trg_hi(trg_len, 0);
    std::vector<std::uint32_t> src_lo(src_len, kNone), src_hi(src_len, 0);
    for (const Link& k : links) {
        trg_lo[k.trg] = std::min(trg_lo[k.trg], k.src);
        trg_hi[k.trg] = std::max(trg_hi[k.trg], k.src);
        src_lo[k.src] = std::min(src_lo[k.src], k.trg);
        src_hi[k.src] = std::max(src_hi[k.src], k.trg);
    }
    const auto aligned = [&](std::size_t i) { return src_lo[i] != kNone; };
    for (std::uint32_t tb = 0; tb < trg_len; ++tb) {
        std::uint32_t lo = kNone, hi = 0;  // the source positions the target span links to
        for (std::uint32_t te = tb; te < trg_len && te - tb < max_length; ++te) {
            if (trg_lo[te] != kNone) {
                lo = std::min(lo, trg_lo[te]);
                hi = std::max(hi, trg_hi[te]);
            }
            if (lo == kNone || hi - lo + 1 > max_length) continue;
            // No source word of the box links outside the target span.
            bool consistent = true;
            for (std::uint32_t i = lo; i <= hi && consistent; ++i)
                consistent = !aligned(i) || (src_lo[i] >= tb && src_hi[i] <= te);
            if (!consistent) continue;
            // Grown over unaligned source words at either edge, within the length limit.
            for (std::uint32_t sb = lo + 1; sb-- > 0;) {
                if (sb < lo && aligned(sb)) break;
                for (std::uint32_t se = hi; se < src_len; ++se) {
                    if (se > hi && aligned(se)) break;
                    if (se - sb + 1 > max_length) break;
                    out.push_back({sb, se + 1, tb, te + 1});
                }
            }
        }
    }
}

std::string inner_points(const PhraseSpan& span, std::span<const Link> links) {
    std::string texts;
    std::vector<std::size_t> ends;
    for (const Link& k : links) {
        if (k.src < span.src_begin || k.src >= span.src_end || k.trg < span.trg_begin ||
            k.trg >= span.trg_end)
            continue;
        fmt::append_integer(texts, k.src - span.src_begin);
        texts += '-';
        fmt::append_integer(texts, k.trg - span.trg_begin);
        ends.push_back(texts.size());
    }
    std::vector<std::string_view> points;
    std::size_t begin = 0;
    for (const std::size_t end : ends) {
        points.push_back(std::string_view(texts).substr(begin, end - begin));
        begin = end;
    }
    return records::sorted_points(std::move(points));
}

}  // namespace zel::extract
