#include <nanobind/stl/string.h>

#include <string>

#include "bindings/tables/tables.hpp"
#include "tables/tracks.hpp"

namespace zel::bind::tables {

const char* const kNoTargetKeys = "the table was built without target keys (trg_key=False)";

namespace {

// Native symbols when the record class takes them as one of the record classes does.
std::optional<core::Symbols> symbols_of(nb::handle record_class) {
    nb::object own = nb::getattr(record_class, "getSymbols", nb::none());
    const NativeClasses& c = record_classes();
    if (own.is(c.record.attr("getSymbols"))) return core::Symbols::words;
    if (own.is(c.travatar_record.attr("getSymbols"))) return core::Symbols::travatar;
    return std::nullopt;
}

void check_text_or_none(nb::handle value) {
    if (!value.is_none() && !PyUnicode_Check(value.ptr())) expected_type("str", value);
}

// The text a step returned, which the loading stores in a trie.
std::string stored_text(nb::handle value) {
    if (!PyUnicode_Check(value.ptr())) expected_type("str", value);
    return std::string(utf8(value));
}

nb::object format_src_key(nb::handle self, nb::handle src) {
    if (overrides(self, table_type(), "format_src_key")) {
        return self.attr("format_src_key")(src);
    }
    return native_format_src_key(native<Table>(self), src);
}

// Logs where the loading failed and raises the error again.
[[noreturn]] void report(const Table& t, const core::LoadFailure& failure) {
    nb::python_error error = as_python_error(failure.error);
    // An interruption is not a fault of the table: it passes unreported.
    if (!error.matches(PyExc_Exception)) throw error;
    nb::object logger = nb::module_::import_("zel.smt.trans_models.tables").attr("logger");
    if (failure.pass < 3) {
        logger.attr("warning")(
            nb::str("file: {}, line: {}").format(t.table_path, failure.line_number));
    } else {
        // The toolkit's logger takes one finished text.
        logger.attr("warning")(nb::str("line_tracks: {}").format(to_str(failure.tracks)));
        logger.attr("warning")(
            nb::str("line: {}")
                .format(failure.line ? nb::object(to_str(*failure.line)) : nb::object(nb::none())));
    }
    logger.attr("warning")(error.value());
    throw error;
}

void load(nb::handle self, Table& t) {
    core::Replacements replaced;
    const bool own_key = overrides(self, table_type(), "format_src_key");
    const bool host_symbols = !t.symbols && (t.key_kind == core::KeyType::src_hiero ||
                                             t.key_kind == core::KeyType::src_symbols);
    if (own_key || host_symbols) {
        replaced.format_src_key = [self](std::string_view src) -> std::optional<std::string> {
            nb::object key = format_src_key(self, to_str(src));
            if (key.is_none()) return std::nullopt;
            return std::string(split_text(key));
        };
    }
    if (overrides(self, table_type(), "line2tracks")) {
        replaced.line2tracks = [self](std::string_view line) {
            return stored_text(self.attr("line2tracks")(to_str(line)));
        };
    }
    if (overrides(self, table_type(), "tracks2line")) {
        replaced.tracks2line = [self](std::string_view tracks) {
            return std::string(split_text(self.attr("tracks2line")(to_str(tracks))));
        };
    }
    core::LoadOptions options;
    options.path = path_bytes(t.table_path);
    options.key_type = t.key_kind;
    options.key_type_name = nb::repr(t.key_type).c_str();
    options.symbols = t.symbols.value_or(core::Symbols::words);
    options.trg_keys = t.index->trg_keys;
    try {
        core::load(*t.index, toolkit_host(), options, replaced);
    } catch (const core::LoadFailure& failure) {
        report(t, failure);
    }
}

// __init__: a table made again from scratch, so a second call indexes the file anew.
template <class T>
void construct(nb::handle self, nb::handle table_path, nb::handle record_class, nb::handle trg_key,
               const nb::kwargs& options) {
    Table& t = native<T>(self);
    t = Table();
    const nb::object key_type =
        options.contains("key_type") ? nb::object(options["key_type"]) : nb::str("src");
    set_fields(t, table_path, record_class, key_type);
    t.index->trg_keys = truthy(trg_key);
    load(self, t);
}

// Table.__init__ of a subclass that names its record class: trg_key comes within the options.
template <class T>
void construct_with(nb::handle self, nb::handle table_path, const char* record,
                    const nb::kwargs& options) {
    nb::dict rest = nb::borrow<nb::dict>(PyDict_Copy(options.ptr()));
    nb::object trg_key = nb::borrow(rest.attr("pop")("trg_key", false));
    nb::object record_class = record_classes().records.attr(record);
    construct<T>(self, table_path, record_class, trg_key, nb::borrow<nb::kwargs>(rest));
}

// The state of a table: its fields in declaration order, each trie as its bytes.
nb::bytes trie_bytes(const core::TextTrie& trie) {
    const std::string bytes = trie.serialize();
    return nb::bytes(bytes.data(), bytes.size());
}

nb::tuple get_state(nb::handle self) {
    const Table& t = native<Table>(self);
    nb::object trg = nb::none(), columns = nb::none();
    if (t.index->trg_keys) {
        trg = trie_bytes(t.index->trg_pairs);
        nb::list tries;
        for (const core::TextTrie& c : t.index->trg_column_pairs) tries.append(trie_bytes(c));
        columns = tries;
    }
    nb::tuple fields =
        nb::make_tuple(t.record_class, t.table_path, t.table_file, t.key_type,
                       trie_bytes(t.index->fields), trie_bytes(t.index->lines),
                       trie_bytes(t.index->src_pairs), trg, columns, t.index->trg_keys);
    // A host subclass's own attributes travel after the fields.
    nb::object own = nb::getattr(self, "__dict__", nb::none());
    if (own.is_none() || nb::len(own) == 0) return fields;
    return nb::borrow<nb::tuple>(fields + nb::make_tuple(own));
}

core::TextTrie trie_of(nb::handle bytes) {
    if (!PyBytes_Check(bytes.ptr())) expected_type("bytes", bytes);
    return core::TextTrie::deserialize(
        {PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr()))});
}

template <class T>
void set_state(nb::handle self, nb::handle state_arg) {
    if (!PyTuple_Check(state_arg.ptr())) expected_type("tuple", state_arg);
    const nb::tuple state = nb::borrow<nb::tuple>(state_arg);
    if (state.size() != 10 && state.size() != 11) {
        throw nb::value_error("a table's state has 10 fields (11 with a subclass's attributes)");
    }
    Table t;
    set_fields(t, state[1], state[0], state[3]);
    t.table_file = nb::borrow(state[2]);
    t.index->fields = trie_of(state[4]);
    t.index->lines = trie_of(state[5]);
    t.index->src_pairs = trie_of(state[6]);
    t.index->trg_keys = truthy(state[9]);
    if (t.index->trg_keys) {
        t.index->trg_pairs = trie_of(state[7]);
        for (nb::handle c : state[8]) t.index->trg_column_pairs.push_back(trie_of(c));
    }
    static_cast<Table&>(native<T>(self)) = std::move(t);
    if (state.size() == 11) self.attr("__dict__").attr("update")(state[10]);
}

template <class T>
void add_pickling(nb::class_<T, Table>& cls) {
    cls.def("__setstate__", &set_state<T>, nb::arg("state").none());
}

nb::object find_trg(nb::handle self, nb::handle trg, nb::handle target_index) {
    const Table& t = native<Table>(self);
    if (!PyLong_Check(target_index.ptr())) {
        return search_pairs(self, t.index->trg_keys ? &t.index->trg_pairs : nullptr, trg);
    }
    if (!t.index->trg_keys) throw nb::type_error(kNoTargetKeys);
    const auto& columns = t.index->trg_column_pairs;
    Py_ssize_t i = PyLong_AsSsize_t(target_index.ptr());
    if (i == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        throw nb::index_error("list index out of range");
    }
    if (i < 0) i += static_cast<Py_ssize_t>(columns.size());
    if (i < 0 || static_cast<std::size_t>(i) >= columns.size()) {
        throw nb::index_error("list index out of range");
    }
    return search_pairs(self, &columns[static_cast<std::size_t>(i)], trg);
}

}  // namespace

void set_fields(Table& t, nb::handle table_path, nb::handle record_class, nb::handle key_type) {
    check_text_or_none(key_type);
    if (!PyUnicode_Check(table_path.ptr())) expected_type("str", table_path);
    t.record_class = nb::borrow(record_class);
    t.table_path = nb::borrow(table_path);
    t.key_type = nb::borrow(key_type);
    t.key_kind =
        key_type.is_none() ? core::KeyType::other : core::key_type_of(utf8(key_type).view());
    t.symbols = symbols_of(record_class);
}

nb::handle table_type() { return native_classes().table; }

nb::object native_format_src_key(const Table& t, nb::handle src) {
    switch (t.key_kind) {
        case core::KeyType::src:
            return nb::borrow(src);
        case core::KeyType::src_hiero:
        case core::KeyType::src_symbols: {
            const bool hiero = t.key_kind == core::KeyType::src_hiero;
            if (t.symbols && PyUnicode_Check(src.ptr())) {
                return to_str(*core::format_src_key(t.key_kind, *t.symbols, utf8(src).view()));
            }
            nb::object symbols = t.record_class.attr("getSymbols")(src, nb::arg("hiero") = hiero);
            return nb::str(" ").attr("join")(symbols);
        }
        case core::KeyType::src_tree:
            return to_str(
                *core::format_src_key(t.key_kind, core::Symbols::words, split_text(src).view()));
        case core::KeyType::other:
            break;
    }
    return nb::none();
}

nb::object native_line2tracks(const Table& t, nb::handle line) {
    return to_str(core::line_tracks(t.index->fields, split_text(line).view()));
}

nb::object native_tracks2line(const Table& t, nb::handle tracks) {
    return to_str(core::tracks_line(t.index->fields, split_text(tracks).view()));
}

nb::object line2tracks(nb::handle self, nb::handle line) {
    if (overrides(self, table_type(), "line2tracks")) return self.attr("line2tracks")(line);
    return native_line2tracks(native<Table>(self), line);
}

nb::object tracks2line(nb::handle self, nb::handle tracks) {
    if (overrides(self, table_type(), "tracks2line")) return self.attr("tracks2line")(tracks);
    return native_tracks2line(native<Table>(self), tracks);
}

namespace {
// A format's table takes every option but its record class.
constexpr const char* kFormatInit =
    "def __init__(self, table_path: str | os.PathLike[str], **options: typing.Any) -> None";
}  // namespace

void register_table(nb::module_& m) {
    auto cls = nb::class_<Table>(m, "Table", "index of a whole rule table, searched by fields",
                                 Instances<Table>::slots());
    cls.def("__init__", &construct<Table>, nb::arg("table_path").none(),
            nb::arg("RecordClass").none(), nb::arg("trg_key").none() = false, nb::arg("options"),
            nb::sig("def __init__(self, table_path: str | os.PathLike[str], RecordClass: "
                    "type[zel.smt.trans_models.records.Record], trg_key: bool = False, "
                    "**options: typing.Any) -> None"),
            "Index the table file (option key_type: src, src_hiero, src_symbols or src_tree).")
        .def(
            "format_src_key",
            [](nb::handle self, nb::handle src) {
                return native_format_src_key(native<Table>(self), src);
            },
            nb::arg("src").none(),
            "The source key of a source side under this table's key type (None for none).")
        .def(
            "line2tracks",
            [](nb::handle self, nb::handle line) {
                return native_line2tracks(native<Table>(self), line);
            },
            nb::arg("line").none(),
            "The tracks string of a line: its fields' tracks joined by ' | '.")
        .def(
            "tracks2line",
            [](nb::handle self, nb::handle tracks) {
                return native_tracks2line(native<Table>(self), tracks);
            },
            nb::arg("tracks").none(),
            "The line a tracks string stands for, fields joined by ' ||| '.")
        .def(
            "find",
            [](nb::handle self, nb::handle prefix, nb::handle) {
                return search_lines(self, prefix);
            },
            nb::arg("prefix").none(), nb::arg("force").none() = true,
            nb::sig("def find(self, prefix: str, force: bool = True) -> Search"),
            "Records of the lines that begin with the prefix's fields.")
        .def(
            "find_src",
            [](nb::handle self, nb::handle src, nb::handle) {
                nb::object key = format_src_key(self, src);
                return search_pairs(self, &native<Table>(self).index->src_pairs, key);
            },
            nb::arg("src").none(), nb::arg("force").none() = true,
            nb::sig("def find_src(self, src: str, force: bool = True) -> Search"),
            "Records of the rules whose source key is that of src.")
        .def(
            "find_trg",
            [](nb::handle self, nb::handle trg, nb::handle target_index, nb::handle) {
                return find_trg(self, trg, target_index);
            },
            nb::arg("trg").none(), nb::arg("target_index").none() = nb::none(),
            nb::arg("force").none() = true,
            nb::sig("def find_trg(self, trg: str, target_index: int | None = None, "
                    "force: bool = True) -> Search"),
            "Records of the rules whose target side (or |COL| column target_index) is trg; "
            "needs a table built with trg_key=True.")
        .def(
            "_Table__find_key",
            [](nb::handle self, nb::handle key_record_dict, nb::handle key, nb::handle) {
                return search_host_pairs(self, key_record_dict, key);
            },
            nb::arg("key_record_dict").none(), nb::arg("key").none(),
            nb::arg("force").none() = true)
        .def(
            "__iter__", [](nb::handle self) { return self.attr("find")(""); },
            nb::sig("def __iter__(self) -> Search"))
        .def("__len__", [](nb::handle self) { return native<Table>(self).index->lines.size(); })
        .def("__sizeof__",
             [](nb::handle self) {
                 return sizeof(Table) + core::memory_bytes(*native<Table>(self).index);
             })
        .def("__getstate__", &get_state);
    cls.def("__setstate__", &set_state<Table>, nb::arg("state").none());
    native_classes().table = cls.inc_ref();

    auto moses = nb::class_<MosesTable, Table>(m, "MosesTable", "index of a Moses phrase table",
                                               Instances<MosesTable>::slots());
    moses.def(
        "__init__",
        [](nb::handle self, nb::handle table_path, const nb::kwargs& options) {
            construct_with<MosesTable>(self, table_path, "MosesRecord", options);
        },
        nb::arg("table_path").none(), nb::arg("options"), nb::sig(kFormatInit));
    add_pickling(moses);

    auto travatar = nb::class_<TravatarTable, Table>(
        m, "TravatarTable", "index of a Travatar rule table", Instances<TravatarTable>::slots());
    travatar.def(
        "__init__",
        [](nb::handle self, nb::handle table_path, const nb::kwargs& options) {
            construct_with<TravatarTable>(self, table_path, "TravatarRecord", options);
        },
        nb::arg("table_path").none(), nb::arg("options"), nb::sig(kFormatInit));
    add_pickling(travatar);
    register_saved(cls);
}

}  // namespace zel::bind::tables
