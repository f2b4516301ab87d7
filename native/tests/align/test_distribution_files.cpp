#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "align/ibm/model2.hpp"
#include "align/model/distribution_files.hpp"
#include "common/errors.hpp"
#include "test_helpers.hpp"

namespace {

using namespace zel::align;
using zel::testing::MemoryHost;

// One pair "a" / "x y z": source ids NULL 0, a 1; target x 0, y 1, z 2; all cells co-occur.
struct Trained {
    MemoryHost host;
    Model2Trainer trainer;
    explicit Trained(const char* src = "a\n") {
        host.files["src"] = src;
        host.files["trg"] = "x y z\n";
        trainer.init(host);
        trainer.src_path = "src";
        trainer.trg_path = "trg";
        trainer.setup(host);
    }
    void set_row(WordId s, std::vector<double> row) {
        TransTable& t = *trainer.model->trans_dist;
        for (WordId w = 0; w < row.size(); ++w) {
            t.set_value(static_cast<std::size_t>(t.pattern().find(s, w)), row[w]);
        }
    }
    std::string save_model(double threshold, std::int64_t nbest) {
        trainer.model->save_trans_dist(host, "out", {threshold, std::to_string(threshold)}, nbest);
        return host.files["out"];
    }
};

TEST(TransFile, ThresholdComparesTheFloat32Value) {
    Trained t;
    t.set_row(0, {0.001, 0.0009, 0.9981});
    t.set_row(1, {0.5, 0.25, 0.25});
    EXPECT_EQ(t.save_model(0.001, 100),
              "__NULL__\tz\t0.9980999827384949\n__NULL__\tx\t0.0010000000474974513\n"
              "a\tx\t0.5\na\ty\t0.25\na\tz\t0.25\n");
}

TEST(TransFile, NbestTieKeepsTheLowerTargetId) {
    Trained t;
    t.set_row(0, {0.0, 0.0, 0.0});
    t.set_row(1, {0.5, 0.25, 0.25});
    EXPECT_EQ(t.save_model(0.001, 2), "a\tx\t0.5\na\ty\t0.25\n");
    EXPECT_EQ(t.save_model(0.001, -1), "a\tx\t0.5\na\ty\t0.25\n");
    EXPECT_EQ(t.save_model(0.001, 0), "");
    EXPECT_EQ(t.save_model(0.001, std::numeric_limits<std::int64_t>::min()), "");
    EXPECT_EQ(t.host.messages.back(),
              "storing translation probabilities into file (threshold=0.001000): out");
}

TEST(TransFile, TrainerVariantNeedsCountsBeforeTheFileIsTouched) {
    Trained t;
    t.set_row(1, {0.5, 0.25, 0.25});
    t.host.files["out"] = "earlier\n";
    EXPECT_THROW(t.trainer.save_trans_dist(t.host, "out", {0.001, "0.001"}, 100), zel::Missing);
    EXPECT_EQ(t.host.files["out"], "earlier\n");
    t.trainer.count_cooc_src2trg.emplace(
        std::vector<double>(t.trainer.model->trans_dist->cells(), 3.0));
    t.trainer.save_trans_dist(t.host, "out", {0.001, "0.001"}, 1);
    EXPECT_EQ(t.host.files["out"], "__NULL__\tx\t0.33333334\t3.00\na\tx\t0.50000000\t3.00\n");
}

TEST(AlignFile, OnlyRowsWithDifferentValuesAreWritten) {
    Trained t;
    AlignTable& a = *t.trainer.model->align_dist;  // S_max 2, T_max 3: one block [0, 2]
    const auto c0 = a.cell(0, 2, 0, 0), c1 = a.cell(0, 2, 0, 1);
    a.values[static_cast<std::size_t>(c0)] = 0.7;
    a.values[static_cast<std::size_t>(c1)] = 0.3;
    t.trainer.model->save_align_dist(t.host, "out", {0.001, "0.001"});
    EXPECT_EQ(t.host.files["out"],
              "1\t3\t1\t0\t0.699999988079071\n1\t3\t1\t1\t0.30000001192092896\n");

    t.trainer.count_align_trg2src.emplace(a.stored(), 0.0);
    (*t.trainer.count_align_trg2src)[static_cast<std::size_t>(c0)] = 1.5;
    t.trainer.save_align_dist(t.host, "out", {0.001, "0.001"});
    EXPECT_EQ(t.host.files["out"], "1\t3\t1\t0\t0.69999999\t1.50\n1\t3\t1\t1\t0.30000001\t0.00\n");
}

TEST(Loaders, SkipOtherFieldCountsAndKeepEmptyWords) {
    Trained t("a \n");  // source words NULL 0, a 1, the empty word 2
    // The second line's source word is empty: only its line ending may be removed, or the
    // count would be read as the probability.
    t.host.files["trans"] = "a\tx\t0.125\n\tx\t0.5\t1.00\r\nbad line\na\ty\t0.25\t9\textra\n";
    load_trans_dist(t.host, "trans", *t.trainer.model);
    EXPECT_EQ(t.trainer.model->trans_dist->at(1, 0), 0.125);
    EXPECT_EQ(t.trainer.model->trans_dist->at(2, 0), 0.5);
    EXPECT_EQ(t.trainer.model->trans_dist->at(1, 1), 1.0 / 3);  // 5 fields: skipped
}

TEST(Loaders, AlignmentIndicesWrapAndFailLikeTheDenseArray) {
    Trained t;
    t.host.files["align"] = "1\t3\t1\t1\t0.75\n";
    load_align_dist(t.host, "align", *t.trainer.model);
    EXPECT_EQ(t.trainer.model->align_dist->at(0, 2, 0, 1), 0.75);
    t.host.files["align"] = "1\t0\t1\t-2\t0.5\t3.0\n";  // m - 1 = -1 and i = -2 wrap
    load_align_dist(t.host, "align", *t.trainer.model);
    EXPECT_EQ(t.trainer.model->align_dist->at(0, 2, 0, 0), 0.5);
    t.host.files["align"] = "1\t4\t1\t0\t0.5\n";
    EXPECT_THROW(load_align_dist(t.host, "align", *t.trainer.model), zel::IndexError);
    t.host.files["align"] = "1\tx\t1\t0\t0.5\n";
    EXPECT_THROW(load_align_dist(t.host, "align", *t.trainer.model), zel::ValueError);
    // The smallest integer in a 1-based column, and in the 0-based one, under the sanitizers.
    for (const char* line :
         {"-9223372036854775808\t1\t1\t0\t0.5\n", "1\t-9223372036854775808\t1\t0\t0.5\n",
          "1\t1\t-9223372036854775808\t0\t0.5\n", "1\t1\t1\t-9223372036854775808\t0.5\n"}) {
        t.host.files["align"] = line;
        EXPECT_THROW(load_align_dist(t.host, "align", *t.trainer.model), zel::IndexError) << line;
    }
}

}  // namespace
