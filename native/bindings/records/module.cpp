// zel.smt.trans_models.records: classes handling rule table records.
#include <nanobind/nanobind.h>

#include "bindings/records/records.hpp"

namespace nb = nanobind;

NB_MODULE(records, m) {
    m.doc() = "classes handling rule table records";
    zel::bind::init_module(m);
    m.attr("math") = nb::module_::import_("math");
    zel::bind::records::register_counts(m);
    zel::bind::records::register_record(m);
    zel::bind::records::register_moses(m);
    zel::bind::records::register_travatar(m);
    zel::bind::register_record_classes(m);
}
