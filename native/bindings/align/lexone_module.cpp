// zel.smt.align.lexone: IBM Model 1, Model1 and Model1Trainer.
#include <nanobind/nanobind.h>

#include "align/ibm/model1.hpp"
#include "bindings/align/align_classes.hpp"

namespace nb = nanobind;

NB_MODULE(lexone, m) {
    m.doc() = "IBM Model 1: word translation probabilities trained by EM.";
    zel::bind::init_module(m);

    nb::module_ emalign = nb::module_::import_("zel.smt.align.emalign");
    zel::bind::require_capi(emalign, {"grid_indices", "sub_matrix", "normalize"});

    zel::bind::bind_model<zel::align::Model1, zel::align::Model>(
        m, "Model1",
        "IBM Model 1: t(target word | source word), all source positions equally likely.");
    zel::bind::bind_trainer<zel::align::Model1Trainer, zel::align::Trainer>(
        m, "Model1Trainer", "EM trainer of IBM Model 1, built from a configuration mapping.");

    // lextwo derives from Model1, so it is loaded here, after Model1 exists, whichever of the
    // three alignment modules the host imported first.
    nb::module_::import_("zel.smt.align.lextwo");
}
