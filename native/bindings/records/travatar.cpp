#include <nanobind/stl/string.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <stdexcept>

#include "bindings/records/records.hpp"
#include "bindings/records/text.hpp"
#include "common/format.hpp"
#include "common/utf8.hpp"
#include "records/formats.hpp"
#include "records/tokens.hpp"

namespace zel::bind::records {

namespace {

namespace core = zel::records;

void check_text_argument(nb::handle value, const char* name) {
    if (!value.is_none() && !PyUnicode_Check(value.ptr())) incorrect_argument(name, "str", value);
}

nb::list str_list(const std::vector<std::string_view>& words) {
    nb::list out;
    for (std::string_view w : words) out.append(to_str(w));
    return out;
}

std::string travatar_features_text(nb::handle features) {
    if (features.is_none()) {
        throw nb::attribute_error("'NoneType' object has no attribute 'items'");
    }
    std::vector<std::string> items;
    const auto add = [&](nb::handle key, nb::handle value) {
        if (!PyUnicode_Check(key.ptr())) expected_type("str", key);
        const Utf8 key_text(key);
        const std::string_view k = key_text;
        std::string item(k);
        item += '=';
        if (k.find("egf") == std::string_view::npos && k.find("fge") == std::string_view::npos) {
            append_str(item, value);
        } else if (const double x =
                       PyFloat_CheckExact(value.ptr()) ? PyFloat_AS_DOUBLE(value.ptr()) : -1.0;
                   x > 0 && std::isfinite(x)) {
            fmt::append_float_repr(item, round_places(std::log(x), 6));
        } else {
            // The host's round(log(value), 6); a value it cannot take is kept, with a warning.
            nb::object shown = nb::borrow(value);
            try {
                shown = nb::module_::import_("builtins")
                            .attr("round")(nb::module_::import_("math").attr("log")(value), 6);
            } catch (const nb::python_error& e) {
                if (!e.matches(PyExc_Exception)) throw;
                module().attr("logger").attr("warning")(nb::make_tuple(key, value));
            }
            append_str(item, shown);
        }
        items.push_back(std::move(item));
    };
    if (PyDict_CheckExact(features.ptr())) {
        PyObject *key, *value;
        for (Py_ssize_t pos = 0; PyDict_Next(features.ptr(), &pos, &key, &value);) add(key, value);
    } else {
        for (nb::handle kv : features.attr("items")()) {
            const nb::tuple pair = nb::borrow<nb::tuple>(kv);
            add(pair[0], pair[1]);
        }
    }
    // UTF-8 byte order is code point order: the order the host sorts str in.
    std::sort(items.begin(), items.end());
    std::string out;
    for (const std::string& item : items) {
        if (!out.empty()) out += ' ';
        out += item;
    }
    return out;
}

nb::str str_travatar_features(nb::handle features) {
    return nb::borrow<nb::str>(new_str(travatar_features_text(features), false));
}

nb::list symbols(nb::handle rule, bool hiero) {
    nb::list out;
    for (const std::string& s : core::travatar_symbols(split_text(rule).view(), hiero)) {
        out.append(to_str(s));
    }
    return out;
}

nb::list terms(nb::handle tokens) {
    if (PyUnicode_CheckExact(tokens.ptr()))
        return str_list(core::travatar_terms(zel::text::split_blank(utf8(tokens).view())));
    std::vector<nb::object> keep;
    std::vector<Utf8> texts;
    std::vector<std::string_view> views;
    for (nb::handle t : nb::iter(tokens)) {
        keep.push_back(nb::borrow(t));
        views.push_back(texts.emplace_back(t));
    }
    return str_list(core::travatar_terms(views));
}

nb::tuple fix_order_strings(nb::handle src, nb::handle trg) {
    try {
        // As the host's str operations do: no source side to split is the AttributeError of
        // split; no target side matters only when the source side was renumbered.
        auto fixed = core::fix_order_strings(
            split_text(src).view(),
            trg.is_none() ? std::nullopt : std::optional<std::string_view>(split_text(trg).view()));
        if (!fixed) return nb::make_tuple(src, trg);
        return nb::make_tuple(to_str(fixed->first), to_str(fixed->second));
    } catch (const core::MissingSide&) {
        split_text(trg);
        throw;
    } catch (const core::MissingVariable& missing) {
        nb::object key = to_str(std::string_view(&missing.digit, 1));
        PyErr_SetObject(PyExc_KeyError, key.ptr());
        throw nb::python_error();
    } catch (const std::out_of_range& e) {
        throw nb::index_error(e.what());
    }
}

void load_travatar(nb::handle self, nb::handle line, nb::handle delim) {
    check_text_argument(line, "line");
    check_text_argument(delim, "delim");
    if (line.is_none() || nb::len(line) == 0) return;
    read_travatar_line(record_of(self), line, delim);
}

nb::str travatar_line(nb::handle self, nb::handle s) {
    check_separator(s);
    Record& r = record_of(self);
    const std::string features = travatar_features_text(r.features);
    const CoOccurrence& c = rounded_counts(r);
    const std::string counts =
        zel::records::counts_text(zel::records::Format::travatar, c.src, c.trg, c.cooc);
    return join_line(s, r.src, r.trg, {features, counts, points_text_of(r)});
}

// --- tree-fragment sides -------------------------------------------------------------------

bool is_tree(nb::handle symbols) {
    return nb::len(symbols) >= 4 && nb::bool_(symbols[1].equal(to_str("(")));
}

bool is_variable_token(nb::handle token) {
    const Utf8 text(token);
    const std::string_view t = text;
    return t.size() >= 2 && t[0] == 'x' && t[1] >= '0' && t[1] <= '9';
}

nb::object flatten_symbols(nb::handle symbols, nb::handle grammar) {
    if (!is_tree(symbols)) return nb::borrow(symbols);
    const bool scfg = grammar.equal(to_str("scfg"));
    nb::list out;
    for (nb::handle token : nb::iter(symbols)) {
        const Utf8 text(token);
        const std::string_view t = text;
        if (!t.empty() && t[0] == '"') {
            out.append(token);
        } else if (!t.empty() && t[0] == 'x') {
            if (scfg) {
                out.append(token);
            } else {
                out.append(to_str(std::string(t.substr(0, t.find(':'))) + ":X"));
            }
        }
    }
    out.append(to_str("@"));
    out.append(grammar.equal(to_str("hiero")) ? to_str("X") : nb::borrow(symbols[0]));
    return out;
}

bool already_tagged(nb::handle trg) {
    const std::size_t n = nb::len(trg);
    return n >= 2 && trg[n - 2].equal(to_str("@"));
}

// Rewrites the target tokens' variables: the source variable (scfg) or the token + ":X"
// (hiero); then appends "@" and the tag.
void rewrite_targets(nb::handle src, nb::handle trg, int mode /* 1 scfg, 2 hiero, 0 other */) {
    nb::list sources;
    for (nb::handle t : nb::iter(src)) {
        if (is_variable_token(t)) sources.append(t);
    }
    const std::size_t n = nb::len(trg);
    for (std::size_t i = 0; i < n; ++i) {
        nb::object t = trg[i];
        const Utf8 text(t);
        const std::string_view v = text;
        if (!is_variable_token(t) || utf8::char_count(v) > 3) continue;
        const std::size_t number = static_cast<std::size_t>(v[1] - '0');
        if (mode == 1) {
            if (number >= nb::len(sources)) throw nb::index_error("list index out of range");
            trg[i] = sources[number];
        } else if (mode == 2) {
            trg[i] = to_str(std::string(v) + ":X");
        }
    }
    trg.attr("append")(to_str("@"));
    if (mode == 1) trg.attr("append")(src[0]);
    if (mode == 2) trg.attr("append")(to_str("X"));
}

nb::tuple sync_tags(nb::handle src, nb::handle trg, nb::handle sync) {
    if (!is_tree(src) || already_tagged(trg)) return nb::make_tuple(src, trg);
    const int mode = sync.equal(to_str("scfg")) ? 1 : sync.equal(to_str("hiero")) ? 2 : 0;
    rewrite_targets(src, trg, mode);
    return nb::make_tuple(src, trg);
}

nb::list blank_tokens(nb::handle side) {
    if (side.is_none()) throw nb::attribute_error("'NoneType' object has no attribute 'split'");
    return str_list(zel::text::split_blank(utf8(side).view()));
}

}  // namespace

nb::object feature_value(std::string_view key, nb::object number) {
    if (utf8::char_count(key) < 4) return number;
    // e ** value as the host computes it: too large for a float is the host's OverflowError
    // (34, 'Numerical result out of range'), never inf.
    const double x = nb::cast<double>(nb::float_(number));
    const double y = std::pow(M_E, x);
    if (std::isinf(y) && std::isfinite(x)) {
        errno = ERANGE;
        PyErr_SetFromErrno(PyExc_OverflowError);
        throw nb::python_error();
    }
    return nb::float_(y);
}

void register_travatar(nb::module_& m) {
    nb::list match;
    for (const char* kind : {"tree", "tag", "string", "ftree"}) match.append(kind);
    m.attr("MATCH") = match;
    m.def(
        "getTravatarFeatures",
        [](nb::handle f) { return travatar_features(text_argument(f).view()); },
        nb::arg("field").none());
    m.def(
        "getStrTravatarFeatures",
        [](nb::handle features) {
            if (!features.is_none() && !PyDict_Check(features.ptr())) {
                incorrect_argument("dict_features", "dict", features);
            }
            return str_travatar_features(features);
        },
        nb::arg("dict_features").none());
    m.def("isTree", &is_tree, nb::arg("symbols").none());
    m.def("getFlattenSymbols", &flatten_symbols, nb::arg("symbols").none(),
          nb::arg("grammar").none() = "scfg");
    m.def("syncTags", &sync_tags, nb::arg("src_symbols").none(), nb::arg("trgSymbols").none(),
          nb::arg("sync").none());

    auto cls = nb::class_<TravatarRecord, Record>(
        m, "TravatarRecord", "A tree-to-string or hierarchical rule of the Travatar format.",
        Instances<TravatarRecord>::slots());
    cls.def(
        "__init__",
        [](nb::handle self, nb::handle line, nb::handle delim) {
            check_text_argument(delim, "delim");
            TravatarRecord& r = native<TravatarRecord>(self);
            r.delim = nb::borrow(delim);
            const bool native_class = !overrides(self, travatar_type(), "loadLine");
            // text.to_str returns a str unchanged; only other values need the toolkit.
            nb::object text = PyUnicode_CheckExact(line.ptr())
                                  ? nb::borrow(line)
                                  : nb::module_::import_("zel.common.text").attr("to_str")(line);
            if (native_class) {
                load_travatar(self, text, delim);
            } else {
                self.attr("loadLine")(text, delim);
            }
        },
        nb::arg("line").none() = "", nb::arg("delim").none() = "|||", nb::sig(kLineInit));
    cls.def_rw("sync", &TravatarRecord::sync,
               "Whether syncTags() gives target variables the source tags.");
    cls.def("loadLine", &load_travatar, nb::arg("line").none(), nb::arg("delim").none() = "|||",
            nb::sig(kLoadLine));
    cls.def("to_str", &travatar_line, nb::arg("s").none() = " ||| ", nb::sig(kToStr));
    cls.def_static(
        "getSymbols",
        [](nb::handle rule, nb::handle hiero) { return symbols(rule, truthy(hiero)); },
        nb::arg("rule").none(), nb::arg("hiero").none() = false);
    cls.def_static("getTerms", &terms, nb::arg("symbols").none());
    cls.def_static("fixOrderStrings", &fix_order_strings, nb::arg("src").none(),
                   nb::arg("trg").none());
    cls.def("fixOrder", [](nb::handle self) {
        Record& r = record_of(self);
        nb::object fixed = travatar_type().attr("fixOrderStrings")(r.src, r.trg);
        const bool changed = !fixed[0].equal(r.src);
        r.src = fixed[0];
        r.trg = fixed[1];
        return changed;
    });
    cls.def(
        "getReversed",
        [](nb::handle self) {
            nb::object rec = travatar_type()();
            return reversed_record(self, rec, [&] { return terms(record_of(self).src); });
        },
        nb::sig("def getReversed(self) -> TravatarRecord"));
    cls.def("syncTags", [](nb::handle self) {
        TravatarRecord& r = native<TravatarRecord>(self);
        filled(r);
        r.sync = false;
        nb::list src = blank_tokens(r.src), trg = blank_tokens(r.trg);
        if (!is_tree(src) || already_tagged(trg)) return;
        rewrite_targets(src, trg, r.sync ? 1 : 2);
        PyObject* joined = PyUnicode_Join(to_str(" ").ptr(), trg.ptr());
        if (!joined) throw nb::python_error();
        PyUnicode_InternInPlace(&joined);
        r.trg = nb::steal(joined);
    });
}

}  // namespace zel::bind::records
