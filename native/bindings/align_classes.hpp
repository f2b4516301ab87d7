// Binding of the alignment model and trainer classes, shared by emalign, lexone and lextwo:
// each module registers its own classes with these, so construction, pickling and the
// trainer's configuration behave the same for every class of the chain.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

#include "align/model.hpp"
#include "align/trainer.hpp"
#include "bindings/support.hpp"

namespace zel::bind {

// The host form of a corpus: a list of (source id list, target id list) tuples.
nb::list sent_pairs_to_list(const align::Corpus& corpus);

// The trainer construction after the C++ object exists: debug line, virtual init (creates the
// model), then paths and character mode from Config(conf) updated with `others`.
void configure_trainer(align::Trainer& trainer, nb::handle conf, nb::dict others);

// The trainer's fields as the host pickles them; pickling then fails on the model's Vocab.
nb::tuple trainer_state(nb::handle self);

// Fails the import when `module.__capi__` lacks one of `names`.
void require_capi(nb::handle module, std::initializer_list<const char*> names);

template <class M, class... Base>
void bind_model(nb::module_& m, const char* name, const char* doc) {
    auto cls = nb::class_<M, Base...>(m, name, doc);
    cls.def("__init__", [](M* self) { new (self) M(toolkit_host()); });
    refuse_pickling(cls);
}

template <class T, class... Base>
void bind_trainer(nb::module_& m, const char* name, const char* doc) {
    auto cls = nb::class_<T, Base...>(m, name, doc);
    cls.def(
        "__init__",
        [](T* self, nb::handle conf, nb::kwargs others) {
            new (self) T();
            try {
                configure_trainer(*self, conf, others);
            } catch (...) {
                // A failed __init__ leaves no object behind for the host to destroy.
                self->~T();
                throw;
            }
        },
        nb::arg("conf").none(), nb::arg("others"));
    cls.def("__getstate__", &trainer_state);
}

}  // namespace zel::bind
