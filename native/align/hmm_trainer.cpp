#include "align/hmm_trainer.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "align/distribution_files.hpp"
#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/line_reader.hpp"

namespace zel::align {

namespace {

// A jump file as save_jumps writes it; a line that is not one of its lines is a ValueError
// naming the file and line.
JumpTable read_jumps(Host& host, const std::string& path) {
    auto source = host.open_read(path, std::nullopt);
    LineReader lines(*source);
    JumpTable table{};
    std::array<bool, kJumpBuckets + 1> seen{};  // the widths, then the NULL probability
    std::string_view line;
    while (lines.next(line)) {
        const auto fail = [&](const std::string& why) {
            throw ValueError(path + ", line " + std::to_string(lines.line_number()) + ": " + why);
        };
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        const std::size_t tab = line.find('\t');
        if (tab == std::string_view::npos) fail("not \"KEY<TAB>VALUE\"");
        const std::string_view key = line.substr(0, tab), text = line.substr(tab + 1);
        double value = 0.0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
            value < 0.0)
            fail("not a finite number >= 0: '" + std::string(text) + "'");
        if (key == "null") {
            if (!(value < 1.0)) fail("the NULL probability must be below 1");
            table.null_prob = value;
            seen[kJumpBuckets] = true;
            continue;
        }
        std::ptrdiff_t width = 0;
        const auto [at, bad] = std::from_chars(key.data(), key.data() + key.size(), width);
        if (bad != std::errc() || at != key.data() + key.size() || width < -kJumpBound ||
            width > kJumpBound)
            fail("not \"null\" nor a width from " + std::to_string(-kJumpBound) + " to " +
                 std::to_string(kJumpBound) + ": '" + std::string(key) + "'");
        table.weight[JumpTable::bucket(width)] = value;
        seen[JumpTable::bucket(width)] = true;
    }
    for (std::size_t b = 0; b <= kJumpBuckets; ++b) {
        if (!seen[b]) {
            throw ValueError(
                path + ": no line for " +
                (b == kJumpBuckets
                     ? std::string("null")
                     : "width " + std::to_string(static_cast<std::ptrdiff_t>(b) - kJumpBound)));
        }
    }
    return table;
}

}  // namespace

void HmmTrainer::start_once() {
    if (started_) throw ValueError("an HmmAligner trains or loads once; make another");
    started_ = true;
}

void HmmTrainer::require_model() const {
    if (!trained_) throw ValueError("no model yet: train() or load() first");
}

void HmmTrainer::start(Host& host, int d) {
    Model1Trainer& t = d == 0 ? forward_ : backward_;
    t.src_path = d == 0 ? settings_.src_path : settings_.trg_path;
    t.trg_path = d == 0 ? settings_.trg_path : settings_.src_path;
    t.character_based = settings_.character_based;
    t.pair_cells_budget = settings_.pair_cells_budget;
    t.memory_share = d == 0 ? 2 : 1;  // the other direction's tables come after these
    t.compact_index = true;           // both directions' tables live at once
    t.init(host);
}

void HmmTrainer::check_pairs() const {
    const Corpus& a = *forward_.sent_pairs;
    const Corpus& b = *backward_.sent_pairs;
    if (a.size() != b.size()) {
        throw ValueError("the two directions read different numbers of pairs (" +
                         std::to_string(a.size()) + " and " + std::to_string(b.size()) + ")");
    }
    for (std::size_t p = 0; p < a.size(); ++p) {
        if (a.src(p).size() != b.trg(p).size() + 1 || a.trg(p).size() + 1 != b.src(p).size())
            throw ValueError("the two directions read different pairs at line " +
                             std::to_string(p + 1));
    }
}

void HmmTrainer::load(Host& host, const std::array<std::string, 2>& trans,
                      const std::array<std::string, 2>& jumps) {
    start_once();
    for (int d = 0; d < 2; ++d) {
        Model1Trainer& t = d == 0 ? forward_ : backward_;
        const auto k = static_cast<std::size_t>(d);
        start(host, d);
        register_trans_words(host, trans[k], *t.model->vocab);
        t.count_slots = false;  // nothing is trained
        t.setup(host);
        load_trans_dist(host, trans[k], *t.model);
        jumps_[k] = read_jumps(host, jumps[k]);
    }
    check_pairs();
    trained_ = true;
}

void HmmTrainer::train(Host& host) {
    start_once();
    for (int d = 0; d < 2; ++d) {
        host.info(Channel::hmm,
                  std::string("HMM alignment model, ") + direction_name(d) + ": IBM Model 1 first");
        start(host, d);
        (d == 0 ? forward_ : backward_).train(host, settings_.model1_iterations);
    }
    check_pairs();
    for (auto& table : jumps_) table = JumpTable::uniform(settings_.null_prob.value_or(0.2));
    trained_ = true;
    for (std::int32_t s = 0; s < settings_.hmm_iterations; ++s) {
        host.info(Channel::hmm, "--");
        host.info(Channel::hmm, "HMM step: " + std::to_string(s + 1) + " / " +
                                    std::to_string(settings_.hmm_iterations) +
                                    (settings_.agreement ? " (by agreement)" : ""));
        std::array<JumpCounts, 2> counts{};
        const auto logs =
            passes().expect(host, settings_.agreement,
                            {&forward_.count_cooc_src2trg, &backward_.count_cooc_src2trg}, counts);
        for (int d = 0; d < 2; ++d) {
            const auto k = static_cast<std::size_t>(d);
            const std::size_t words = direction(d).sent_pairs->trg_tokens();
            const double entropy = words > 0 ? -logs[k] / static_cast<double>(words) : 0.0;
            entropies_[k].push_back(entropy);
            host.info(Channel::hmm, std::string("entropy ") + direction_name(d) + ": " +
                                        fmt::float_repr(entropy));
        }
        maximize(counts);
    }
}

void HmmTrainer::maximize(std::array<JumpCounts, 2>& counts) {
    Model1Trainer* both[] = {&forward_, &backward_};
    for (std::size_t d = 0; d < 2; ++d) {
        Model1Trainer& t = *both[d];
        TransTable& table = *t.model->trans_dist;
        if (settings_.prior > 0.0) {
            normalize_rows_vb(table, *t.count_cooc_src2trg, settings_.prior, table.cols());
        } else {
            table.normalize_rows(*t.count_cooc_src2trg);
        }
        jumps_[d] = reestimate_jumps(counts[d], settings_.null_prob);
    }
}

void HmmTrainer::save_jumps(Host& host, int d, const std::string& path) const {
    require_model();
    write_jumps(host, jumps(d), path);
}

}  // namespace zel::align
