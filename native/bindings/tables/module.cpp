// zel.smt.trans_models.tables: an index of a whole rule table, searched by fields.
#include <nanobind/nanobind.h>

#include "bindings/tables/tables.hpp"

namespace nb = nanobind;

NB_MODULE(tables, m) {
    m.doc() = "index of a whole rule table: listing and finding its rules";
    zel::bind::init_module(m);
    m.attr("records") = nb::module_::import_("zel.smt.trans_models.records");
    nb::list key_types;
    for (const char* name : {"src", "src_hiero", "src_symbols", "src_tree"}) key_types.append(name);
    m.attr("key_types") = key_types;
    zel::bind::tables::register_search(m);
    zel::bind::tables::register_table(m);
}
