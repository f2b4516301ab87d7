// zel.smt.align.lextwo: IBM Model 2, Model2 and Model2Trainer.
#include <nanobind/nanobind.h>

#include "align/ibm/model2.hpp"
#include "bindings/align/align_classes.hpp"

namespace nb = nanobind;

NB_MODULE(lextwo, m) {
    m.doc() = "IBM Model 2: Model 1 with an alignment distribution over source positions.";
    zel::bind::init_module(m);

    nb::module_ emalign = nb::module_::import_("zel.smt.align.emalign");
    nb::module_::import_("zel.smt.align.lexone");
    zel::bind::require_capi(emalign, {"grid_indices", "sub_matrix"});

    zel::bind::bind_model<zel::align::Model2, zel::align::Model1>(
        m, "Model2", "IBM Model 2: translation and alignment distributions.");
    zel::bind::bind_trainer<zel::align::Model2Trainer, zel::align::Model1Trainer>(
        m, "Model2Trainer", "EM trainer of IBM Model 2; trains Model 1 first in the pipelines.");
}
