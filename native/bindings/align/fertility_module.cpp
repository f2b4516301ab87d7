// zel.smt.align.fertility: the HMM with fertility, sampled after the HMM by agreement; its files
// and links are those of zel.smt.align.hmm's aligner, which it extends.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "align/sampler/fertility_trainer.hpp"
#include "bindings/align/hmm_settings.hpp"
#include "bindings/support.hpp"

namespace nb = nanobind;
using zel::align::FertilityTrainer;
using zel::align::GibbsSettings;
using zel::align::HmmSettings;
using zel::align::HmmTrainer;

NB_MODULE(fertility, m) {
    m.doc() = "The HMM with fertility, sampled from the HMM trained by agreement.";
    zel::bind::init_module(m);
    nb::module_::import_("zel.smt.align.hmm");
    const GibbsSettings defaults;
    m.attr("CHAINS") = defaults.chains;
    m.attr("SEED") = defaults.seed;
    m.attr("MOST_CHAINS") = zel::align::kMostChains;
    m.attr("PRUNE") = zel::align::kSampledPrune;
    m.attr("PRUNE_FROM") = zel::align::kSampledPruneFrom;

    nb::class_<FertilityTrainer, HmmTrainer> cls(
        m, "FertilityAligner",
        "Both directions of the HMM with fertility over one corpus: the HMM trained by "
        "agreement, then each direction sampled from its links by collapsed Gibbs sampling.");
    cls.def(
        "__init__",
        [](FertilityTrainer* self, nb::handle src_path, nb::handle trg_path,
           std::int32_t model1_iterations, std::int32_t iterations, bool agreement, double prior,
           std::optional<std::int32_t> sampling_iterations, std::int32_t chains, std::uint64_t seed,
           double lexical_prior, std::optional<double> prune, bool character) {
            HmmSettings s =
                zel::bind::hmm_settings(src_path, trg_path, model1_iterations, iterations,
                                        agreement, prior, std::nullopt, prune, character);
            if (sampling_iterations && *sampling_iterations < 0)
                throw nb::value_error("iteration counts must not be negative");
            if (chains < 1 || chains > zel::align::kMostChains)
                throw nb::value_error(
                    ("chains must be from 1 to " + std::to_string(zel::align::kMostChains))
                        .c_str());
            if (!(lexical_prior > 0.0 && std::isfinite(lexical_prior)))
                throw nb::value_error("lexical_prior must be a finite number > 0");
            GibbsSettings g;
            g.chains = chains;
            g.seed = seed;
            g.lexical_prior = lexical_prior;
            if (sampling_iterations) g.iterations = g.fertility_iterations = *sampling_iterations;
            new (self) FertilityTrainer(std::move(s), g, !sampling_iterations);
        },
        nb::arg("src_path"), nb::arg("trg_path"), nb::kw_only(), nb::arg("model1_iterations") = 5,
        nb::arg("iterations") = 5, nb::arg("agreement") = true, nb::arg("prior") = 0.0,
        nb::arg("sampling_iterations") = nb::none(), nb::arg("chains") = defaults.chains,
        nb::arg("seed") = defaults.seed, nb::arg("lexical_prior") = defaults.lexical_prior,
        nb::arg("prune") = nb::none(), nb::arg("character") = false,
        "Settings of training; nothing is read before train(). sampling_iterations: the "
        "iterations of each sampling phase (the HMM's, then with fertility); None: as many as "
        "the corpus's size calls for (100 up to 2,500 pairs, 50 at 10,000, 5 from a million). "
        "prune: as HmmAligner's; None: PRUNE from PRUNE_FROM pairs on (where the sampling "
        "loses no link by it), else 0.");
    cls.def(
        "train", [](FertilityTrainer& t) { t.train(zel::bind::toolkit_host()); },
        "The HMM's training (Model 1 of each direction, then the HMM's iterations), then the "
        "sampling. Ctrl-C while sampling keeps the HMM.");
    zel::bind::refuse_pickling(cls);
}
