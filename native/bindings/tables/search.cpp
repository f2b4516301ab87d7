#include <memory>
#include <string>

#include "bindings/tables/tables.hpp"
#include "tables/tracks.hpp"

namespace zel::bind::tables {

namespace {

// One lazy search. Nothing is computed before the first item is asked for; an error ends the
// search, as it ends a generator.
struct Search {
    enum class Kind { lines, pairs, host_pairs };

    nb::object table;
    std::shared_ptr<const core::RuleIndex> index;  // what `pairs` and the cursor read
    Kind kind = Kind::lines;
    nb::object query;
    const core::TextTrie* pairs = nullptr;  // Kind::pairs; null: the table has no such trie
    nb::object host_pairs;                  // Kind::host_pairs

    bool started = false;
    bool done = false;
    bool own_tracks2line = false;
    std::unique_ptr<core::TextTrie::Cursor> cursor;
    nb::object host_keys;  // iterator over host_pairs.find_keys(...)

    const Table& index_table() const { return native<Table>(table); }

    int traverse(visitproc visit, void* arg) const {
        return visit_all(visit, arg, table, query, host_pairs, host_keys);
    }
    void clear() {
        cursor.reset();
        done = true;
        reset_all(table, query, host_pairs, host_keys);
    }

    // Sets up the walk; false when it has nothing to yield.
    bool start() {
        own_tracks2line = overrides(table, table_type(), "tracks2line");
        nb::object tracks = line2tracks(table, query);
        const Utf8 tracks_text = split_text(tracks);
        const std::string_view text = tracks_text;
        if (kind == Kind::lines) {
            cursor = std::make_unique<core::TextTrie::Cursor>(index->lines, std::string(text));
            return true;
        }
        if (text.find(core::kAbsentTrack) != std::string_view::npos) return false;
        if (kind == Kind::pairs) {
            if (!pairs) throw nb::attribute_error(kNoTargetKeys);
            cursor = std::make_unique<core::TextTrie::Cursor>(*pairs, std::string(text));
            return true;
        }
        if (host_pairs.is_none()) throw nb::attribute_error(kNoTargetKeys);
        host_keys = nb::iter(host_pairs.attr("find_keys")(tracks));
        return true;
    }

    // The tracks of the next line, or nullopt at the end.
    std::optional<std::string> next_tracks() {
        if (kind == Kind::host_pairs) {
            PyObject* item = PyIter_Next(host_keys.ptr());
            if (!item) {
                if (PyErr_Occurred()) throw nb::python_error();
                return std::nullopt;
            }
            nb::object key = nb::steal(item);
            return record_tracks(split_text(key).view());
        }
        if (!cursor->next()) return std::nullopt;
        if (kind == Kind::lines) return std::string(cursor->key());
        return record_tracks(cursor->key());
    }

    std::string record_tracks(std::string_view pair_key) const {
        return core::track_key(index->lines, core::pair_record_track(pair_key));
    }

    nb::object next() {
        // A search made without a table (by __new__ alone) has nothing to yield.
        if (done || !table.is_valid() || table.is_none()) throw nb::stop_iteration();
        try {
            if (!started) {
                started = true;
                if (!start()) throw nb::stop_iteration();
            }
            const auto tracks = next_tracks();
            if (!tracks) throw nb::stop_iteration();
            const Table& t = index_table();
            nb::object line = own_tracks2line
                                  ? table.attr("tracks2line")(to_str(*tracks))
                                  : nb::object(to_str(core::tracks_line(index->fields, *tracks)));
            return t.record_class(line);
        } catch (...) {
            done = true;
            cursor.reset();
            throw;
        }
    }
};

nb::object make(nb::handle self, Search::Kind kind, nb::handle query) {
    std::shared_ptr<const core::RuleIndex> index = native<Table>(self).index;
    auto* s = new Search();
    s->table = nb::borrow(self);
    s->index = std::move(index);
    s->kind = kind;
    s->query = nb::borrow(query);
    return nb::cast(s, nb::rv_policy::take_ownership);
}

}  // namespace

nb::object search_lines(nb::handle self, nb::handle prefix) {
    return make(self, Search::Kind::lines, prefix);
}

nb::object search_pairs(nb::handle self, const core::TextTrie* pairs, nb::handle key) {
    nb::object s = make(self, Search::Kind::pairs, key);
    native<Search>(s).pairs = pairs;
    return s;
}

nb::object search_host_pairs(nb::handle self, nb::handle host_pairs, nb::handle key) {
    nb::object s = make(self, Search::Kind::host_pairs, key);
    native<Search>(s).host_pairs = nb::borrow(host_pairs);
    return s;
}

void register_search(nb::module_& m) {
    nb::class_<Search>(m, "Search", "lazy search of a rule table: records, one per matching line",
                       Instances<Search>::slots())
        .def(
            "__iter__", [](nb::handle self) { return nb::borrow(self); },
            nb::sig("def __iter__(self) -> Search"))
        .def(
            "__next__", [](nb::handle self) { return native<Search>(self).next(); },
            nb::sig("def __next__(self) -> zel.smt.trans_models.records.Record"));
}

}  // namespace zel::bind::tables
