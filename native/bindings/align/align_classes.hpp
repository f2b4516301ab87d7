// Binding of the alignment model and trainer classes, shared by emalign, lexone and lextwo:
// each module registers its own classes with these, so construction, pickling and the
// trainer's configuration behave the same for every class of the chain.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

#include "align/model/model.hpp"
#include "align/model/trainer.hpp"
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

// The trainer's fields restored from trainer_state, without running the constructor.
void set_trainer_state(nb::handle self, nb::handle state);

// A model is made whole when it is allocated (its construction logs and creates the Vocab);
// __init__ takes no arguments and does nothing more.
template <class M, class... Base>
void bind_model(nb::module_& m, const char* name, const char* doc) {
    auto cls = nb::class_<M, Base...>(m, name, doc, Instances<M>::slots());
    cls.def("__init__", [](nb::handle) {});
    refuse_pickling(cls);
}

// A trainer's fields are None (false, for the character mode) from allocation on; __init__
// configures it, and pickling restores the fields without it.
template <class T, class... Base>
void bind_trainer(nb::module_& m, const char* name, const char* doc) {
    auto cls = nb::class_<T, Base...>(m, name, doc, Instances<T>::slots());
    cls.def(
        "__init__",
        [](nb::handle self, nb::handle conf, nb::kwargs others) {
            configure_trainer(native<T>(self), conf, others);
        },
        nb::arg("conf").none(), nb::arg("others"),
        nb::sig("def __init__(self, conf: collections.abc.Mapping[str, typing.Any] | "
                "zel.common.config.Config, **others: typing.Any) -> None"));
    cls.def("__getstate__", &trainer_state);
    cls.def("__setstate__", &set_trainer_state, nb::arg("state").none());
}

}  // namespace zel::bind
