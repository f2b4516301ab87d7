// The zel.smt.trans_models.tables module: the index of a whole rule table. The index lives in
// the core (native/tables); the table object holds the host values it was built with and runs
// the steps a host subclass may replace through that subclass.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <optional>

#include "bindings/support.hpp"
#include "tables/rule_index.hpp"

namespace zel::bind::tables {

namespace nb = nanobind;
namespace core = zel::tables;

struct Table {
    nb::object record_class = nb::none();
    nb::object table_path = nb::none();
    nb::object table_file = nb::none();  // kept for pickling; the index does not use it
    nb::object key_type = nb::none();
    // Shared with the searches made from it: making the table again (__init__, __setstate__)
    // gives it a new index, while a live search goes on reading the one it started on.
    std::shared_ptr<core::RuleIndex> index = std::make_shared<core::RuleIndex>();
    core::KeyType key_kind = core::KeyType::src;
    // How the record class takes symbols; nullopt when it has a getSymbols of its own.
    std::optional<core::Symbols> symbols;

    int traverse(visitproc visit, void* arg) const {
        return visit_all(visit, arg, record_class, table_path, table_file, key_type);
    }
    void clear() { reset_all(record_class, table_path, table_file, key_type); }
};

struct MosesTable : Table {};
struct TravatarTable : Table {};

void register_table(nb::module_& m);
void register_search(nb::module_& m);
// Table.save and the class method Table.open (a saved index, memory-mapped).
void register_saved(nb::handle table_class);

// Sets the host fields of `t` (checked), and what follows from them.
void set_fields(Table& t, nb::handle table_path, nb::handle record_class, nb::handle key_type);

// The Table class, once registered.
nb::handle table_type();

// The table's steps as a call on `self` reaches them: the host subclass's override if there is
// one, else the native step.
nb::object line2tracks(nb::handle self, nb::handle line);
nb::object tracks2line(nb::handle self, nb::handle tracks);

// The native steps.
nb::object native_line2tracks(const Table& t, nb::handle line);
nb::object native_tracks2line(const Table& t, nb::handle tracks);
nb::object native_format_src_key(const Table& t, nb::handle src);

// Lazy searches: lines whose tracks begin with those of `prefix`; records whose key (a pair
// trie's, or `host_pairs`'s find_keys) is `key`.
nb::object search_lines(nb::handle self, nb::handle prefix);
nb::object search_pairs(nb::handle self, const core::TextTrie* pairs, nb::handle key);
nb::object search_host_pairs(nb::handle self, nb::handle host_pairs, nb::handle key);

// "the table was built without target keys (trg_key=False)"
extern const char* const kNoTargetKeys;

}  // namespace zel::bind::tables
