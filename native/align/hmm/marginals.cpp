#include "align/hmm/marginals.hpp"

#include <algorithm>
#include <cmath>

namespace zel::align {

Marginals::Marginals(const Corpus& corpus, std::size_t draws)
    : starts_(corpus.size() + 1, 0),
      unit_(std::floor(static_cast<double>(kOne) /
                       static_cast<double>(std::max<std::size_t>(draws, 1)))) {
    for (std::size_t p = 0; p < corpus.size(); ++p)
        starts_[p + 1] = starts_[p] + corpus.src(p).size() * corpus.trg(p).size();
    values_.assign(starts_.back(), 0);
}

void Marginals::finish(const Corpus& corpus) {
    for (std::size_t p = 0; p < corpus.size(); ++p) {
        const std::size_t width = corpus.src(p).size();
        std::uint16_t* row = of(p);
        for (std::size_t j = 0; j < corpus.trg(p).size(); ++j, row += width) {
            std::uint64_t sum = 0;
            for (std::size_t i = 0; i < width; ++i) sum += row[i];
            if (sum == 0) continue;
            const double scale = static_cast<double>(kOne) / static_cast<double>(sum);
            for (std::size_t i = 0; i < width; ++i)
                row[i] = static_cast<std::uint16_t>(std::lround(row[i] * scale));
        }
    }
}

}  // namespace zel::align
