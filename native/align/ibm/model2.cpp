#include "align/ibm/model2.hpp"

#include "align/corpus/pair_blocks.hpp"
#include "align/tables/expected_counts.hpp"
#include "common/errors.hpp"
#include "common/float_flags.hpp"
#include "common/format.hpp"
#include "common/memory.hpp"

namespace zel::align {

double Model2::calc_pair_entropy(std::span<const WordId> src, std::span<const WordId> trg,
                                 std::span<const CellId> cells, bool per_word) const {
    if (!trans_dist || !align_dist) throw Missing("a distribution", Missing::Use::subscript);
    const std::size_t l = src.size(), m = trg.size();
    const PairBlock block(*align_dist, l, m);
    SmallBuffer<double, kPairScratch> columns(m);
    for (std::size_t j = 0; j < m; ++j) {
        for (std::size_t i = 0; i < l; ++i)
            columns[j] += block.at(j, i) * trans_value(*trans_dist, cells[i * m + j], src[i]);
    }
    return entropy_of_columns(columns.span(), l, per_word);
}

double Model2::entropy_of_columns(std::span<const double> columns, std::size_t,
                                  bool per_word) const {
    // -sum_j ln(sum_i a(i | j) t(trg_j | src_i)); division by 1 is exact.
    return entropy_of_column_sums(columns, 1.0, per_word);
}

void Model2Trainer::init(Host& host) {
    host.debug(Channel::model2, "model 2");
    model = std::make_shared<Model2>(host);
}

void Model2Trainer::init_align_dist(Host& host) {
    const TableShape dims = table_shape();
    const std::size_t s_max = dims.s_max, t_max = dims.t_max;
    host.info(Channel::model2,
              "initializing index alignment probabilities as uniform distribution");
    if (!sent_pairs) throw Missing("the corpus", Missing::Use::iteration);
    const std::size_t blocks = (s_max > 0 ? s_max - 1 : 0) * t_max;
    auto progress = host.progress("initializing", blocks);
    auto table = std::make_unique<AlignTable>(s_max, t_max, *sent_pairs);
    progress->advance(blocks);
    progress.reset();
    const auto n = [](std::size_t v) { return std::to_string(static_cast<std::int64_t>(v)); };
    host.info(Channel::model2,
              "word alignment distribution matrix size: " +
                  std::to_string(static_cast<std::int64_t>(s_max) - 2) + " [src len] x " +
                  std::to_string(static_cast<std::int64_t>(t_max) - 1) + " [trg len] x " +
                  n(t_max) + " [trg index] x " + n(s_max) + " [src index] x 8 [bytes] = " +
                  fmt::with_commas(static_cast<std::int64_t>(table->dense_size() * 8)) +
                  " [bytes]");
    model->align_dist = std::move(table);
}

namespace {

void announce_model2(Host& host) {
    host.info(Channel::model2, "computing:");
    host.info(Channel::model2, "* expected co-occurrence counts of source word and target word");
    host.info(Channel::model2, "* expected alignment counts of source index and target index");
}

}  // namespace

void Model2Trainer::expect_with_entropy(Host& host, int which, CorpusEntropy& entropy) {
    if (which == 1) {
        Model1Trainer::expect_counts(host, &entropy, false);
    } else {
        Model2Trainer::expect_counts(host, &entropy, false);
        report_expectation(host);
    }
}

void Model2Trainer::expect_step(Host& host) {
    Model2Trainer::expect_counts(host, nullptr, true);
    report_expectation(host);
}

void Model2Trainer::expect_counts(Host& host, CorpusEntropy* entropy, bool announce) {
    const TransTable& trans = *model->trans_dist;
    const AlignTable& align = *model->align_dist;
    counts_recoverable = align_counts_saved = false;
    zero_cell_counts(count_cooc_src2trg, model->trans_dist);
    zero_counts(count_align_trg2src, align.stored(), "expected alignment counts");
    if (announce) announce_model2(host);

    const CorpusCells c = corpus_cells();
    TargetShares shares(c.corpus, thread_count());
    std::vector<ShareScratch> scratch = share_scratch(c.corpus, shares.size());
    PosteriorBlock posteriors(c.corpus, shares.size());
    const bool one_share = shares.size() == 1;
    CellCounts& cooc = *count_cooc_src2trg;
    std::vector<double>& align_counts = *count_align_trg2src;
    auto progress = host.progress("processing", c.corpus.size());
    FloatFlags flags;
    shares.for_blocks(
        host, *progress, c.corpus.size(), &flags,
        [&](std::size_t p, std::size_t k) {
            ShareScratch& s = scratch[k];
            shares.visit(c.corpus.trg(p), k, s.positions, [&](const auto& mine) {
                const auto src = c.corpus.src(p);
                const std::size_t l = src.size(), m = c.corpus.trg(p).size();
                const auto cells = c.cells->of(p, s.cells, mine);
                const PairBlock block(align, l, m);
                double* post = posteriors.values(p);
                double* column = s.column.data();
                const auto sum_columns = [&] {
                    for (const std::uint32_t j : mine) {
                        double sum = 0.0;
                        for (std::size_t i = 0; i < l; ++i) {
                            post[j * l + i] =
                                trans_value(trans, cells[i * m + j], src[i]) * block.at(j, i);
                            sum += post[j * l + i];
                        }
                        column[j] = sum;
                    }
                };
                if (entropy) {
                    // The columns summed here are a Model 2's entropy's.
                    entropy->sum(sum_columns);
                    double* sums = entropy->columns(p);
                    for (const std::uint32_t j : mine) sums[j] = column[j];
                } else {
                    sum_columns();
                }
                // No guard here: a column summing to 0 gives NaN posteriors, as the dense
                // formulation does; the M-step then leaves the rows they reach unchanged.
                for (std::size_t i = 0; i < l; ++i) {
                    for (const std::uint32_t j : mine) {
                        const double v = post[j * l + i] / column[j];
                        post[j * l + i] = v;
                        if (cells[i * m + j] != kNoCell) cooc[cells[i * m + j]] += v;
                    }
                }
                if (one_share && block.values) block.add_counts(align_counts, post);
            });
        },
        [&](std::size_t begin, std::size_t end) {
            posteriors.add_align(align, align_counts, begin, end);
            if (entropy) entropy->add_columns(begin, end, shares.size());
        });
    invalid_posteriors_ = flags.invalid();
}

void Model2Trainer::report_expectation(Host& host) {
    // 0 / 0 posteriors of a target word no source word can produce.
    if (invalid_posteriors_) {
        host.float_event({FloatEvent::Kind::invalid, FloatEvent::Operation::divide});
    }
}

void Model2Trainer::maximize_step(Host& host) { Model2Trainer::maximize(host, nullptr); }

void Model2Trainer::maximize(Host& host, CountRecovery* recovery) {
    host.info(Channel::model2, "estimating word translation distribution");
    if (!count_cooc_src2trg || !count_align_trg2src)
        throw Missing("the expected counts", Missing::Use::subscript);
    model->trans_dist->normalize_rows(*count_cooc_src2trg, recovery);
    if (recovery) {
        allocate_checked(count_align_trg2src->size() * sizeof(double), "saved expected counts",
                         [&] { saved_align_counts_ = *count_align_trg2src; });
    }
    model->align_dist->normalize_rows(*count_align_trg2src);
    counts_recoverable = align_counts_saved = recovery != nullptr;
}

void Model2Trainer::setup(Host& host) {
    Model1Trainer::setup(host);
    if (!model->align_dist) init_align_dist(host);
}

void Model2Trainer::train(Host& host, std::int32_t iteration_limit) {
    run_phase(host, model2_log(), iteration_limit, model2_steps(host));
}

void Model2Trainer::train_models(Host& host, std::int32_t iteration_limit) {
    const EmSteps second = model2_steps(host);
    try {
        run_phase(host, model1_log(), iteration_limit, model1_steps(host), &second);
    } catch (...) {
        // Model 2's first E-step may have run: its counts go, as the plain order never made them.
        if (carried_entropy_) {
            carried_entropy_.reset();
            second.recover();
        }
        throw;
    }
    run_phase(host, model2_log(), iteration_limit, second);
}

Model1Trainer::EmSteps Model2Trainer::model2_steps(Host& host) {
    return {[&] { announce_model2(host); },
            [&](CorpusEntropy* entropy, bool announce) {
                Model2Trainer::expect_counts(host, entropy, announce);
            },
            [&] { report_expectation(host); },
            [&](CountRecovery* recovery) { Model2Trainer::maximize(host, recovery); },
            [&] { return model->pair_columns() == Model::Columns::weighted_by_alignment; },
            [&] {
                align_were_absent_ = !count_align_trg2src;
                return keep_cell_counts() && (align_were_absent_ || align_counts_saved);
            },
            [&] {
                recover_cell_counts();
                if (align_were_absent_) {
                    count_align_trg2src.reset();
                } else {
                    std::copy(saved_align_counts_.begin(), saved_align_counts_.end(),
                              count_align_trg2src->begin());
                    align_counts_saved = true;
                }
            }};
}

void Model2Trainer::train_step(Host& host) {
    if (!model->trans_dist) {
        setup(host);
        return;
    }
    Model2Trainer::expect_step(host);
    Model2Trainer::maximize_step(host);
}

}  // namespace zel::align
