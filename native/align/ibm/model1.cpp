#include "align/ibm/model1.hpp"

#include "align/corpus/pair_blocks.hpp"
#include "align/model/em_loop.hpp"
#include "align/tables/expected_counts.hpp"
#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/memory.hpp"

namespace zel::align {

double Model1::calc_pair_entropy(std::span<const WordId> src, std::span<const WordId> trg,
                                 std::span<const CellId> cells, bool per_word) const {
    if (!trans_dist) throw Missing("the word translation distribution", Missing::Use::subscript);
    const std::size_t l = src.size(), m = trg.size();
    // Column sums run down the source positions, as whole-array reductions do them.
    SmallBuffer<double, kPairScratch> columns(m);
    for (std::size_t j = 0; j < m; ++j) {
        for (std::size_t i = 0; i < l; ++i)
            columns[j] += trans_value(*trans_dist, cells[i * m + j], src[i]);
    }
    return entropy_of_columns(columns.span(), l, per_word);
}

double Model1::entropy_of_columns(std::span<const double> columns, std::size_t l,
                                  bool per_word) const {
    // -sum_j ln(sum_i t(trg_j | src_i) / l).
    return entropy_of_column_sums(columns, static_cast<double>(l), per_word);
}

void Model1Trainer::init(Host& host) {
    host.debug(Channel::model1, "trainer 1 init");
    model = std::make_shared<Model1>(host);
    host.debug(Channel::model1, std::string("<") + model->type_name() + " object>");
}

void Model1Trainer::init_trans_dist(Host& host) {
    const TableShape dims = table_shape();
    const std::size_t v_src = dims.n_src, v_trg = dims.n_trg;
    host.info(Channel::model1,
              "initializing word translation probabilities as uniform distribution");
    if (!sent_pairs) throw Missing("the corpus", Missing::Use::iteration);
    std::shared_ptr<const CooccurrencePattern> pattern;
    {
        const SourceOccurrences occ(*sent_pairs, v_src);
        pattern = CooccurrencePattern::build(*sent_pairs, occ, v_src, v_trg,
                                             [&host] { host.check_interrupt(); });
        index_pairs(host, pattern, occ, false);
    }
    // The E-step reads a cell's value and adds to its count at once (on the thread of the
    // cell's target word), so keeping them in one cache line halves its memory traffic.
    auto table =
        std::make_shared<TransTable>(pattern, 1.0 / static_cast<double>(v_trg), count_slots);
    // The fixed line after this one gives the size of the dense matrix the table stands for,
    // which reads as memory taken: this one says what the table holds.
    const auto bytes = static_cast<std::int64_t>(
        table->pattern().cells() * (table->stride() * sizeof(double) + sizeof(WordId)));
    host.info(Channel::model1,
              "word translation distribution: " +
                  fmt::with_commas(static_cast<std::int64_t>(table->pattern().cells())) +
                  " cells stored (the word pairs that occur together), " + fmt::with_commas(bytes) +
                  " [bytes]; the dense matrix it stands for:");
    host.info(Channel::model1,
              "word translation distribution matrix size: " + std::to_string(v_src) +
                  " [src words] x " + std::to_string(v_trg) + " [trg words] x 8 [bytes] = " +
                  fmt::with_commas(static_cast<std::int64_t>(v_src * v_trg * 8)) + " [bytes]");
    model->trans_dist = std::move(table);
}

void Model1Trainer::index_pairs(Host& host, std::shared_ptr<const CooccurrencePattern> pattern,
                                const SourceOccurrences& occ, bool pruned) {
    const std::size_t later = later_bytes ? later_bytes(*sent_pairs, pattern->cells()) : 0;
    std::size_t budget = pair_cells_budget
                             ? *pair_cells_budget
                             : pair_index_budget(pattern->cells(), memory_share, later);
    if (compact_index && !pair_cells_budget) {
        std::size_t positions = 0;
        for (std::size_t p = 0; p < sent_pairs->size(); ++p)
            positions += sent_pairs->src(p).size() * sent_pairs->trg(p).size();
        budget = std::min(budget, positions * sizeof(std::uint16_t));
    }
    pair_cells = std::make_unique<PairCells>(
        std::move(pattern), *sent_pairs, occ, budget, [&host] { host.check_interrupt(); }, pruned);
    host.debug(Channel::model1, pair_cells->describe() +
                                    (pair_cells_budget ? ", as ZEL_PAIR_INDEX_BUDGET_MB sets"
                                                       : ", from the memory this process may use"));
}

std::size_t Model1Trainer::keep_cells(double threshold, double floor) {
    // What refers to the full table goes first, so that at most the two tables live at once.
    count_cooc_src2trg.reset();
    counts_recoverable = false;
    recovery_ = CountRecovery();
    carried_entropy_.reset();
    pair_cells.reset();
    model->trans_dist = keep_cells_from(*model->trans_dist, threshold, floor);
    return model->trans_dist->cells();
}

void Model1Trainer::index_cells(Host& host) {
    index_pairs(host, model->trans_dist->shared_pattern(),
                SourceOccurrences(*sent_pairs, model->trans_dist->rows()), true);
}

namespace {

void announce_model1(Host& host) {
    host.info(Channel::model1,
              "computing expected co-occurrence counts of source word and target word");
}

}  // namespace

void Model1Trainer::expect_step(Host& host) { Model1Trainer::expect_counts(host, nullptr, true); }

void Model1Trainer::expect_counts(Host& host, CorpusEntropy* entropy, bool announce) {
    const TransTable& trans = *model->trans_dist;
    counts_recoverable = false;
    zero_cell_counts(count_cooc_src2trg, model->trans_dist);
    if (announce) announce_model1(host);
    const CorpusCells c = corpus_cells();
    TargetShares shares(c.corpus, thread_count());
    std::vector<ShareScratch> scratch = share_scratch(c.corpus, shares.size());
    // The entropy sums down each column what the model's does: t (a Model 1's), or a * t (a
    // Model 2's, trained first as a Model 1).
    const AlignTable* weights =
        entropy && model->pair_columns() == Model::Columns::weighted_by_alignment
            ? model->align_dist.get()
            : nullptr;
    CellCounts& cooc = *count_cooc_src2trg;
    auto progress = host.progress("processing", c.corpus.size());
    shares.for_blocks(
        host, *progress, c.corpus.size(), nullptr,
        [&](std::size_t p, std::size_t k) {
            ShareScratch& s = scratch[k];
            shares.visit(c.corpus.trg(p), k, s.positions, [&](const auto& mine) {
                const auto src = c.corpus.src(p);
                const std::size_t l = src.size(), m = c.corpus.trg(p).size();
                const auto cells = c.cells->of(p, s.cells, mine);
                double* post = s.post.data();
                double* column = s.column.data();
                const auto sum_columns = [&] {
                    for (const std::uint32_t j : mine) {
                        double sum = 0.0;
                        for (std::size_t i = 0; i < l; ++i) {
                            post[i * m + j] = trans_value(trans, cells[i * m + j], src[i]);
                            sum += post[i * m + j];
                        }
                        column[j] = sum;
                    }
                    if (!weights) return;
                    // Along the alignment block's rows, as they lie in memory.
                    const PairBlock block(*weights, l, m);
                    double* sums = entropy->columns(p);
                    for (const std::uint32_t j : mine) {
                        // Summed apart: the other threads write the pair's other sums beside it.
                        double sum = 0.0;
                        for (std::size_t i = 0; i < l; ++i) sum += block.at(j, i) * post[i * m + j];
                        sums[j] = sum;
                    }
                };
                if (entropy) {
                    entropy->sum(sum_columns);
                    double* sums = entropy->columns(p);
                    if (!weights) {
                        for (const std::uint32_t j : mine) sums[j] = column[j];
                    }
                } else {
                    sum_columns();
                }
                // Posteriors over source positions; a column summing to 0 (or NaN) stays as is.
                for (std::size_t i = 0; i < l; ++i) {
                    for (const std::uint32_t j : mine) {
                        if (column[j] > 0.0) post[i * m + j] /= column[j];
                        if (cells[i * m + j] != kNoCell) cooc[cells[i * m + j]] += post[i * m + j];
                    }
                }
            });
        },
        [&](std::size_t begin, std::size_t end) {
            if (entropy) entropy->add_columns(begin, end, shares.size());
        });
}

void Model1Trainer::maximize_step(Host& host) { Model1Trainer::maximize(host, nullptr); }

void Model1Trainer::maximize(Host& host, CountRecovery* recovery) {
    host.info(Channel::model1, "estimating word translation distribution");
    if (!count_cooc_src2trg) throw Missing("the expected counts", Missing::Use::subscript);
    model->trans_dist->normalize_rows(*count_cooc_src2trg, recovery);
    counts_recoverable = recovery != nullptr;
}

void Model1Trainer::setup(Host& host) {
    Trainer::setup(host);
    if (!model->trans_dist) init_trans_dist(host);
}

// A model's EM phase on its trainer. The entropy before a step reads the distributions its
// E-step reads. When a step follows, that E-step runs at once and computes the entropy along
// with its counts, a pass over the corpus less. If the loop then stops, or the pass fails, the
// counts it replaced are brought back, so everything is as if it had not run; after a
// MemoryError the step goes the plain way, to fail where it would have failed.
class Model1Trainer::Phase : public EmPhase {
public:
    Phase(Model1Trainer& trainer, std::int32_t limit, const EmSteps& steps, const EmSteps* next)
        : t_(trainer),
          limit_(limit),
          steps_(steps),
          next_(next),
          carried_(std::move(trainer.carried_entropy_)) {}

    std::optional<double> initial(Host& host, bool step_follows) override {
        return entropy_now(host, step_follows);
    }

    std::optional<double> step(Host& host, std::int32_t, bool step_follows) override {
        if (!t_.model->trans_dist) {
            t_.setup(host);
        } else {
            if (counted_) {
                steps_.announce();
            } else {
                steps_.expect(nullptr, true);
            }
            steps_.report();
            steps_.maximize(t_.model->entropy_of_pairs() ? &t_.recovery_ : nullptr);
        }
        return entropy_now(host, step_follows);
    }

    void stopped() override {
        if (counted_) steps_.recover();
    }

private:
    // The mean of an entropy computed by `by`'s E-step; what that step replaced comes back if
    // its warnings raise.
    double mean_of(Host& host, CorpusEntropy& entropy, const EmSteps& by) {
        try {
            return entropy.mean(host, t_.corpus_cells().corpus.size());
        } catch (...) {
            by.recover();
            throw;
        }
    }

    double entropy_now(Host& host, bool step_follows) {
        counted_ = false;
        if (carried_) {
            // Computed by the phase before; its warnings come again, as this pass would raise them.
            host.info(Channel::align, "calculating entropy");
            const double h = mean_of(host, *carried_, steps_);
            carried_.reset();
            counted_ = true;
            return h;
        }
        const EmSteps* by = step_follows ? &steps_ : limit_ > 0 ? next_ : nullptr;
        const Model& model = *t_.model;
        if (!by || !model.trans_dist || !model.entropy_of_pairs() || !by->sums_entropy() ||
            !by->keep())
            return model.calc_entropy(host, t_.corpus_cells());
        host.info(Channel::align, "calculating entropy");
        auto entropy = std::make_unique<CorpusEntropy>(model, t_.corpus_cells().corpus);
        try {
            by->expect(entropy.get(), false);
        } catch (const MemoryError&) {
            by->recover();
            return model.corpus_entropy(host, t_.corpus_cells());
        } catch (...) {
            by->recover();
            throw;
        }
        const double h = mean_of(host, *entropy, *by);
        if (by == next_) {
            t_.carried_entropy_ = std::move(entropy);
        } else {
            counted_ = true;
        }
        return h;
    }

    Model1Trainer& t_;
    const std::int32_t limit_;
    const EmSteps& steps_;
    const EmSteps* next_;
    std::unique_ptr<CorpusEntropy> carried_;
    bool counted_ = false;  // the E-step of the coming step is done
};

void Model1Trainer::run_phase(Host& host, const EmLog& log, std::int32_t iteration_limit,
                              const EmSteps& steps, const EmSteps* next) {
    setup(host);
    Phase phase(*this, iteration_limit, steps, next);
    run_em(host, log, phase, iteration_limit);
}

void Model1Trainer::train(Host& host, std::int32_t iteration_limit) {
    run_phase(host, model1_log(), iteration_limit, model1_steps(host));
}

Model1Trainer::EmSteps Model1Trainer::model1_steps(Host& host) {
    return {[&] { announce_model1(host); },
            [&](CorpusEntropy* entropy, bool announce) {
                Model1Trainer::expect_counts(host, entropy, announce);
            },
            [] {},
            [&](CountRecovery* recovery) { Model1Trainer::maximize(host, recovery); },
            [&] {
                const auto kind = model->pair_columns();
                return kind == Model::Columns::translation ||
                       (kind == Model::Columns::weighted_by_alignment && model->align_dist);
            },
            [&] { return keep_cell_counts(); },
            [&] { recover_cell_counts(); }};
}

bool Model1Trainer::keep_cell_counts() {
    counts_were_absent_ = !count_cooc_src2trg;
    return counts_were_absent_ || counts_recoverable;
}

void Model1Trainer::recover_cell_counts() {
    if (counts_were_absent_) {
        count_cooc_src2trg.reset();
        return;
    }
    recovery_.recover(*model->trans_dist, *count_cooc_src2trg);
    counts_recoverable = true;
}

void Model1Trainer::train_step(Host& host) {
    if (!model->trans_dist) {
        setup(host);
        return;
    }
    Model1Trainer::expect_step(host);
    Model1Trainer::maximize_step(host);
}

}  // namespace zel::align
