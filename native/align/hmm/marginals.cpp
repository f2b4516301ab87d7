#include "align/hmm/marginals.hpp"

namespace zel::align {

void Marginals::normalize(const Corpus& corpus) {
    for (std::size_t p = 0; p < corpus.size(); ++p) {
        const std::size_t width = corpus.src(p).size();
        float* row = of(p);
        for (std::size_t j = 0; j < corpus.trg(p).size(); ++j, row += width) {
            double sum = 0.0;
            for (std::size_t i = 0; i < width; ++i) sum += row[i];
            if (!(sum > 0.0)) continue;
            for (std::size_t i = 0; i < width; ++i) row[i] = static_cast<float>(row[i] / sum);
        }
    }
}

Marginals::Marginals(const Corpus& corpus) : starts_(corpus.size() + 1, 0) {
    for (std::size_t p = 0; p < corpus.size(); ++p)
        starts_[p + 1] = starts_[p] + corpus.src(p).size() * corpus.trg(p).size();
    values_.assign(starts_.back(), 0.0F);
}

}  // namespace zel::align
