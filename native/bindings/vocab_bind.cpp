#include "align/vocab.hpp"
#include "bindings/emalign.hpp"
#include "bindings/support.hpp"

namespace nb = nanobind;

namespace zel::bind {

void register_vocab(nb::module_& m) {
    auto cls = nb::class_<align::Vocab>(
        m, "Vocab",
        "Source and target vocabularies of a parallel corpus, and its reading into word ids.");
    cls.def(nb::init<>());
    refuse_pickling(cls);
}

}  // namespace zel::bind
