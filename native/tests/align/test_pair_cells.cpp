#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "align/corpus/cooccurrence.hpp"
#include "common/errors.hpp"
#include "common/parallel.hpp"

namespace {

using zel::align::CellId;
using zel::align::CooccurrencePattern;
using zel::align::Corpus;
using zel::align::PairCells;
using zel::align::SourceOccurrences;
using zel::align::WordId;

// Pairs with repeated words, an empty target side, a source word seen once and one (0) whose
// positions outnumber the target words.
Corpus sample_corpus() {
    Corpus corpus;
    const std::vector<std::vector<WordId>> src = {{0, 1, 2, 1}, {0, 3}, {0, 2, 2, 4, 1},
                                                  {0},          {0, 5}, {0, 0, 1}};
    const std::vector<std::vector<WordId>> trg = {{0, 1}, {},  {2, 0, 2, 3},
                                                  {1, 4}, {4}, {0, 1, 2, 3}};
    for (std::size_t p = 0; p < src.size(); ++p) corpus.push_back(src[p], trg[p]);
    return corpus;
}

std::vector<std::vector<CellId>> all_cells(const PairCells& cells, const Corpus& corpus) {
    std::vector<std::vector<CellId>> out;
    std::vector<CellId> scratch;
    for (std::size_t p = 0; p < corpus.size(); ++p) {
        const auto span = cells.of(p, scratch);
        out.emplace_back(span.begin(), span.end());
    }
    return out;
}

// Every form of the index over `pattern` (cells, ranks in two bytes or one, direct rows,
// searches), on any number of threads, gives the pattern's cell of each position pair, and no
// cell where the pattern lacks its words.
void expect_cells_of(const std::shared_ptr<const CooccurrencePattern>& pattern,
                     const Corpus& corpus, const SourceOccurrences& occ) {
    std::size_t total = 0;
    for (std::size_t p = 0; p < corpus.size(); ++p)
        total += corpus.src(p).size() * corpus.trg(p).size();
    for (const char* threads : {"1", "3"}) {
        setenv("ZEL_THREADS", threads, 1);
        for (const std::size_t budget :
             {total * 4, total * 2, total, total / 4, std::size_t{10}, std::size_t{0}}) {
            for (const bool bytes : {false, true}) {
                const PairCells cells(pattern, corpus, occ, budget, {}, bytes);
                const auto found = all_cells(cells, corpus);
                for (std::size_t p = 0; p < corpus.size(); ++p) {
                    const auto src = corpus.src(p);
                    const auto trg = corpus.trg(p);
                    for (std::size_t i = 0; i < src.size(); ++i) {
                        for (std::size_t j = 0; j < trg.size(); ++j) {
                            const std::int64_t c = pattern->find(src[i], trg[j]);
                            ASSERT_EQ(found[p][i * trg.size() + j],
                                      c < 0 ? zel::align::kNoCell : static_cast<CellId>(c))
                                << cells.describe() << ", pair " << p << " (" << i << ", " << j
                                << ")";
                        }
                    }
                }
            }
        }
    }
    unsetenv("ZEL_THREADS");
}

TEST(PairCells, StoredCellsRanksAndLookupsAgreeForAnyThreadCount) {
    const Corpus corpus = sample_corpus();
    std::size_t total = 0;
    for (std::size_t p = 0; p < corpus.size(); ++p)
        total += corpus.src(p).size() * corpus.trg(p).size();
    std::vector<std::vector<CellId>> first;
    for (const char* threads : {"1", "3"}) {
        setenv("ZEL_THREADS", threads, 1);
        const SourceOccurrences occ(corpus, 6);
        const auto pattern = CooccurrencePattern::build(corpus, occ, 6, 5);
        // Budgets for 4-byte cells, for 2-byte ranks only, for a row of word 0 and the ranks
        // of some other words' positions, for the row alone, for some ranks alone, and for
        // nothing (lookups).
        for (const std::size_t budget :
             {total * 4, total * 2, total, std::size_t{20}, std::size_t{10}, std::size_t{0}}) {
            const PairCells cells(pattern, corpus, occ, budget);
            EXPECT_EQ(cells.precomputed(), budget >= total * 2);
            EXPECT_EQ(cells.kept_share() > 0, budget >= 10) << budget;
            EXPECT_EQ(cells.describe().find("frequent") != std::string::npos,
                      budget == total || budget == 20)
                << cells.describe();
            const auto found = all_cells(cells, corpus);
            if (first.empty()) first = found;
            EXPECT_EQ(found, first) << "budget " << budget << ", threads " << threads;
        }
    }
    unsetenv("ZEL_THREADS");
    // Every cell is the pattern's cell of its (source word, target word).
    const SourceOccurrences occ(corpus, 6);
    expect_cells_of(CooccurrencePattern::build(corpus, occ, 6, 5), corpus, occ);
}

// A pattern pruned of cells the corpus has: every other cell of each row, and no row of
// source word 3 at all. Every form of the index, ranks in a byte or two, gives the pruned
// pattern's cells and no cell where it lacks one.
TEST(PairCells, APrunedPatternGivesNoCellForTheWordsItLacksInEveryForm) {
    const Corpus corpus = sample_corpus();
    const SourceOccurrences occ(corpus, 6);
    const auto full = CooccurrencePattern::build(corpus, occ, 6, 5);
    std::vector<std::uint64_t> row_start{0};
    std::vector<std::uint32_t> cols;
    for (std::size_t s = 0; s < full->rows(); ++s) {
        for (std::size_t c = full->row_begin(s); s != 3 && c < full->row_end(s); c += 2)
            cols.push_back(full->col(c));
        row_start.push_back(cols.size());
    }
    expect_cells_of(CooccurrencePattern::from_rows(6, 5, row_start, cols), corpus, occ);
}

// Ranks in a byte where one row is too long for them: source word 1 keeps 300 cells, NULL
// keeps 10 of its 400, and the short rows of words 3 to 40 hold nine in ten position pairs.
TEST(PairCells, ARowTooLongForByteRanksIsFoundOtherwise) {
    Corpus corpus;
    for (WordId p = 0; p < 400; ++p) {
        std::vector<WordId> src{0};
        if (p < 300) src.push_back(1);
        for (WordId k = 0; k < 18; ++k) src.push_back(3 + (p + 7 * k) % 38);
        corpus.push_back(src, std::vector<WordId>{p});
    }
    const SourceOccurrences occ(corpus, 41);
    const auto full = CooccurrencePattern::build(corpus, occ, 41, 400);
    std::vector<std::uint64_t> row_start{0};
    std::vector<std::uint32_t> cols;
    for (std::size_t s = 0; s < full->rows(); ++s) {
        const std::size_t end = s == 0 ? full->row_begin(s) + 10 : full->row_end(s);
        for (std::size_t c = full->row_begin(s); c < end; ++c) cols.push_back(full->col(c));
        row_start.push_back(cols.size());
    }
    const auto pruned = CooccurrencePattern::from_rows(41, 400, row_start, cols);
    EXPECT_EQ(pruned->row_end(1) - pruned->row_begin(1), 300U);
    const PairCells bytes(pruned, corpus, occ, 7900, {}, true);
    EXPECT_NE(bytes.describe().find("rows by byte ranks"), std::string::npos) << bytes.describe();
    expect_cells_of(pruned, corpus, occ);
}

TEST(Parallel, ThreadCountFollowsTheVariableAndErrorsComeFromTheLowestTask) {
    setenv("ZEL_THREADS", "3", 1);
    EXPECT_EQ(zel::thread_count(), 3U);
    for (const char* bad : {"none", "0", "1.5", "-2"}) {
        setenv("ZEL_THREADS", bad, 1);
        EXPECT_THROW(zel::thread_count(), zel::ValueError) << bad;
    }
    setenv("ZEL_THREADS", "100000000000000000000000", 1);
    EXPECT_LT(zel::thread_count(), 100000U);
    unsetenv("ZEL_THREADS");
    std::vector<int> ran(64, 0);
    try {
        zel::parallel_for(64, 4, [&](std::size_t k, std::size_t worker) {
            EXPECT_LT(worker, 4U);
            ran[k] = 1;
            if (k == 40 || k == 17) throw std::runtime_error(std::to_string(k));
        });
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "17");
    }
    // Every task before the lowest failure ran; after it, a task may be skipped.
    EXPECT_EQ(std::count(ran.begin(), ran.begin() + 18, 1), 18);
    std::vector<int> again(64, 0);
    zel::parallel_for(64, 4, [&](std::size_t k, std::size_t) { again[k] = 1; });
    EXPECT_EQ(std::count(again.begin(), again.end(), 1), 64) << "the threads serve the next job";
}

}  // namespace

namespace {

// Jobs of several host threads at once, and a job started by a task of another: each runs every
// one of its tasks once, on worker numbers below what it asked for.
TEST(Parallel, JobsOfSeveralCallersAndNestedJobsEachRunWhole) {
    std::atomic<int> wrong{0};
    const auto job = [&] {
        std::vector<std::atomic<int>> hit(97);
        zel::parallel_for(hit.size(), 4, [&](std::size_t k, std::size_t worker) {
            if (worker >= 4) ++wrong;
            ++hit[k];
        });
        for (const auto& h : hit) {
            if (h.load() != 1) ++wrong;
        }
    };
    std::vector<std::thread> callers;
    for (int c = 0; c < 3; ++c) {
        callers.emplace_back([&] {
            for (int round = 0; round < 200; ++round) job();
        });
    }
    for (std::thread& caller : callers) caller.join();
    zel::parallel_for(8, 2, [&](std::size_t, std::size_t) { job(); });
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
