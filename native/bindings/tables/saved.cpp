// Table.save and Table.open: a table's index saved in one file and opened by memory mapping.
// The file holds the tries and a pickled description of the table (record class by its
// importable name, path, key type, target keys, a host subclass's own attributes): like a
// pickle, a saved index is trusted data.
#include <nanobind/stl/string.h>

#include <string>
#include <vector>

#include "bindings/tables/tables.hpp"
#include "common/errors.hpp"
#include "tables/index_file.hpp"

namespace zel::bind::tables {

namespace {

constexpr std::size_t kFixedTries = 3;  // fields, records, source pairs; then target tries

std::string path_text(nb::handle path) {
    nb::object text = nb::module_::import_("os").attr("fspath")(path);
    if (!PyUnicode_Check(text.ptr())) expected_type("str or os.PathLike of str", path);
    return path_bytes(text);
}

nb::object tables_logger() {
    return nb::module_::import_("zel.smt.trans_models.tables").attr("logger");
}

void save(nb::handle self, nb::handle path_arg) {
    const Table& t = native<Table>(self);
    const std::string path = path_text(path_arg);
    nb::object own = nb::getattr(self, "__dict__", nb::none());
    if (!own.is_none() && nb::len(own) == 0) own = nb::none();
    const nb::object description = nb::make_tuple(t.record_class, t.table_path, t.table_file,
                                                  t.key_type, t.index->trg_keys, own);
    const nb::bytes header =
        nb::borrow<nb::bytes>(nb::module_::import_("pickle").attr("dumps")(description, 5));
    std::vector<const core::TextTrie*> tries = {&t.index->fields, &t.index->lines,
                                                &t.index->src_pairs};
    if (t.index->trg_keys) {
        tries.push_back(&t.index->trg_pairs);
        for (const core::TextTrie& c : t.index->trg_column_pairs) tries.push_back(&c);
    }
    tables_logger().attr("info")(
        nb::str("saving the index into file: {}").format(path_object(path)));
    Host& host = toolkit_host();
    // SIGTERM and SIGHUP end the save as Ctrl-C does (the temporary file removed), then the
    // process as they would have.
    nb::object guard =
        nb::module_::import_("zel.common.command").attr("terminations_as_interrupts")();
    with_context(guard, [&](nb::handle) {
        auto progress = host.progress("saving index", tries.size());
        core::save_index(path, {header.c_str(), header.size()}, tries,
                         [&](std::size_t done, std::size_t) {
                             host.check_interrupt();
                             if (done > 0) progress->advance(1);
                         });
    });
}

// The record class a table class always uses, if it is one of the named ones.
const char* fixed_record(nb::handle cls) {
    nb::module_ tables = nb::module_::import_("zel.smt.trans_models.tables");
    if (PyObject_IsSubclass(cls.ptr(), tables.attr("MosesTable").ptr()) == 1) return "MosesRecord";
    if (PyObject_IsSubclass(cls.ptr(), tables.attr("TravatarTable").ptr()) == 1) {
        return "TravatarRecord";
    }
    return nullptr;
}

nb::object open(nb::handle cls, nb::handle path_arg, bool mapped) {
    const std::string path = path_text(path_arg);
    if (!PyType_Check(cls.ptr()) || PyObject_IsSubclass(cls.ptr(), table_type().ptr()) != 1) {
        expected_type("a Table class", cls);
    }
    tables_logger().attr("info")(nb::str("opening the saved index: {}").format(path_object(path)));
    const auto file = core::IndexFile::open(path, mapped);
    const auto refuse = [&](const std::string& why) {
        return ValueError(path + ": not a saved rule-table index (" + why + ")");
    };
    nb::object description = nb::module_::import_("pickle").attr("loads")(
        nb::bytes(file->header().data(), file->header().size()));
    if (!PyTuple_Check(description.ptr()) || nb::len(description) != 6) {
        throw refuse("its description is not a table's");
    }
    const nb::tuple d = nb::borrow<nb::tuple>(description);
    const bool trg_keys = truthy(d[4]);
    if (file->sections() < kFixedTries + (trg_keys ? 1 : 0) ||
        (!trg_keys && file->sections() != kFixedTries)) {
        throw refuse("its tries do not match its description");
    }
    if (const char* record = fixed_record(cls)) {
        nb::object expected = record_classes().records.attr(record);
        if (PyObject_IsSubclass(d[0].ptr(), expected.ptr()) != 1) {
            throw ValueError(path + ": the index was saved from a table of " +
                             std::string(nb::str(d[0].attr("__name__")).c_str()) +
                             " records, not " + record + " records");
        }
    }
    Table t;
    set_fields(t, d[1], d[0], d[3]);
    t.table_file = nb::borrow(d[2]);
    t.index->trg_keys = trg_keys;
    t.index->fields = file->trie(0);
    t.index->lines = file->trie(1);
    t.index->src_pairs = file->trie(2);
    if (trg_keys) {
        t.index->trg_pairs = file->trie(kFixedTries);
        for (std::size_t k = kFixedTries + 1; k < file->sections(); ++k) {
            t.index->trg_column_pairs.push_back(file->trie(k));
        }
    }
    nb::object table = cls.attr("__new__")(cls);
    native<Table>(table) = std::move(t);
    // A subclass's own attributes come back to a class that keeps attributes; a class that
    // keeps none (MosesTable opening a subclass's index) opens the index without them.
    nb::object own = nb::getattr(table, "__dict__", nb::none());
    if (!d[5].is_none() && !own.is_none()) own.attr("update")(d[5]);
    return table;
}

}  // namespace

void register_saved(nb::handle table_class) {
    nb::setattr(table_class, "save",
                nb::cpp_function(&save, nb::is_method(), nb::scope(table_class), nb::name("save"),
                                 nb::arg("path").none(),
                                 nb::sig("def save(self, path: str | os.PathLike[str]) -> None"),
                                 "Save the whole index (its tries and settings) in one file, "
                                 "which Table.open maps again without reading the rule file."));
    nb::object opener =
        nb::cpp_function(&open, nb::scope(table_class), nb::name("open"), nb::arg("cls").none(),
                         nb::arg("path").none(), nb::kw_only(), nb::arg("mmap") = true,
                         nb::sig("def open(cls, path: str | os.PathLike[str], *, "
                                 "mmap: bool = True) -> typing.Self"),
                         "The table whose index `save` wrote to `path`, opened by memory "
                         "mapping: nothing is read before a search needs it. A file rewritten "
                         "in place while it is open is refused when a search first reads it; "
                         "with mmap=False the whole file is read into memory now instead, and "
                         "nothing done to the file later reaches the table. A saved index is "
                         "trusted data, as a pickle is.");
    nb::setattr(table_class, "open", nb::module_::import_("builtins").attr("classmethod")(opener));
}

}  // namespace zel::bind::tables
