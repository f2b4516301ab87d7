// Reading a rule line into a record: one reader per format, field by field. Each field is
// converted natively when its text is plain; a field the native parsers do not take (a number
// only the host reads, a line or separator that is not a plain str) is handed to the host for
// that field or that split alone, so every line gives the host's values and errors.
#include <nanobind/stl/string.h>

#include <array>
#include <cmath>
#include <vector>

#include "bindings/records/records.hpp"
#include "bindings/records/text.hpp"
#include "common/number_text.hpp"
#include "common/utf8.hpp"
#include "records/formats.hpp"
#include "records/tokens.hpp"

namespace zel::bind::records {

namespace {

namespace core = zel::records;

// Buffers reused from line to line (a table of a million lines would otherwise allocate
// millions of vectors); a reader re-entered from host code it calls gets buffers of its own.
struct Scratch {
    std::vector<std::string_view> fields, numbers, points;
    std::vector<double> values;
};

class ScratchUse {
public:
    ScratchUse() : own_(depth_++ == 0 ? nullptr : new Scratch()) {}
    ~ScratchUse() {
        --depth_;
        delete own_;
    }
    ScratchUse(const ScratchUse&) = delete;
    ScratchUse& operator=(const ScratchUse&) = delete;
    Scratch& operator*() { return own_ ? *own_ : outer_; }

private:
    static inline Scratch outer_;
    static inline int depth_ = 0;
    Scratch* own_;
};

// The fields of a line: the line without surrounding white space, split at every `delim` (at
// runs of white space for None). Natively for a str line and a non-empty str separator; else
// by the line's own strip() and split(), whose results and errors the host gives.
class LineFields {
public:
    LineFields(nb::handle line, nb::handle delim, std::vector<std::string_view>& views)
        : views_(views) {
        views_.clear();
        const bool plain_delim = delim.is_none() || (PyUnicode_CheckExact(delim.ptr()) &&
                                                     PyUnicode_GET_LENGTH(delim.ptr()) > 0);
        if (PyUnicode_CheckExact(line.ptr()) && plain_delim) {
            line_.emplace(line);
            if (!delim.is_none()) delim_.emplace(delim);
            core::split_fields(
                *line_, delim_ ? std::optional<std::string_view>(*delim_) : std::nullopt, views_);
            return;
        }
        nb::object stripped = line.attr("strip")();
        host_ = delim.is_none() ? stripped.attr("split")() : stripped.attr("split")(delim);
        for (nb::handle part : host_) {
            if (!PyUnicode_Check(part.ptr())) {
                PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute 'strip'",
                             Py_TYPE(part.ptr())->tp_name);
                throw nb::python_error();
            }
            views_.push_back(parts_.emplace_back(part));
        }
    }

    std::string_view operator[](std::size_t k) const {
        if (k >= views_.size()) throw nb::index_error("list index out of range");
        return views_[k];
    }
    // Field k without surrounding white space.
    std::string_view stripped(std::size_t k) const { return utf8::strip_space((*this)[k]); }
    // Whether the fields are views into the line's own text (else into the host's pieces).
    bool in_line() const { return !host_.is_valid(); }
    // Where field k begins in the line's text, when in_line().
    std::size_t offset(std::size_t k) const {
        return static_cast<std::size_t>((*this)[k].data() - line_->data());
    }

private:
    std::vector<std::string_view>& views_;
    std::optional<Utf8> line_, delim_;  // the texts the views point into
    std::vector<Utf8> parts_;
    nb::object host_;  // the host's list of fields
};

// The str of an alignment point: the short, common ones ("0-0" .. "31-31") are shared objects
// made once, as interned strings are; others are new.
nb::object point_str(std::string_view p) {
    constexpr int kShared = 32;
    static auto* shared = new PyObject*[kShared * kShared]();  // never released, see interned_key
    int i = 0, j = 0;
    if (!core::small_point(p, kShared, i, j)) return new_str(p, false);
    PyObject*& slot = shared[i * kShared + j];
    if (!slot) slot = new_str(p, true).release().ptr();
    return nb::borrow(slot);
}

nb::set align_set(std::string_view field, std::vector<std::string_view>& points) {
    zel::text::split_runs(field, points);
    nb::set aligns;
    for (std::string_view p : points) aligns.add(point_str(p));
    return aligns;
}

// The record's points from field k: left in the line until they are read (see `Record`) when
// the field is a view into the line's own text, else made at once.
void store_points(Record& r, nb::handle line, const LineFields& fields, std::size_t k,
                  std::vector<std::string_view>& points) {
    const std::string_view field = fields[k];
    if (!fields.in_line()) {
        r.aligns = align_set(field, points);
        r.points_line.reset();
        return;
    }
    r.aligns.reset();
    r.points_line = nb::borrow(line);
    r.points_begin = fields.offset(k);
    r.points_size = field.size();
}

// The interned str of a rule side. Tables list the lines of one source phrase together, so
// the side of the previous line is kept (one per `slot`) and reused when the text repeats,
// which spares decoding and the interned-table lookup.
nb::object interned_side(std::string_view text, int slot) {
    static PyObject* last[2] = {nullptr, nullptr};  // strong references, replaced, never freed
    PyObject*& kept = last[slot];
    if (kept && utf8(kept) == text) return nb::borrow(kept);
    nb::object s = new_str(text, true);
    Py_XDECREF(kept);
    kept = s.inc_ref().ptr();
    return s;
}

// The counts of a counts field stored into the record, as setCounts(src=, trg=, cooc=) with
// the counts at `order`. Every number is converted first (the toolkit's numbers.toNumber: the
// first that fails raises), then `needed` says whether exactly three (Travatar) or at least
// three (Moses) must be there: too few is IndexError for Moses and no change for Travatar.
enum class Needed { at_least_three, exactly_three };

void store_counts(Record& r, std::string_view field, core::CountOrder order, Needed needed,
                  Scratch& s) {
    zel::text::split_runs(field, s.numbers);
    s.values.resize(s.numbers.size());
    bool plain = true;
    for (std::size_t k = 0; k < s.numbers.size() && plain; ++k)
        plain = core::plain_count(s.numbers[k], s.values[k]);
    nb::list objects;
    if (!plain) {
        for (std::string_view piece : s.numbers) objects.append(count_number(piece));
    }
    if (s.numbers.size() < 3) {
        if (needed == Needed::exactly_three) return;
        throw nb::index_error("list index out of range");
    }
    if (needed == Needed::exactly_three && s.numbers.size() != 3) return;
    const bool waiting = !r.counts.is_valid();
    if (!waiting && r.counts.is_none())
        throw nb::type_error("the record has no counts (None) to set");
    if (plain && (waiting || !overrides(r.counts, counts_type(), "setCounts"))) {
        // setCounts leaves a count whose new value is false (zero) as it is.
        CoOccurrence& c = waiting ? r.waiting_counts : counts_of(r.counts);
        for (auto [field_k, at] : {std::pair{&c.src, order.src}, std::pair{&c.trg, order.trg},
                                   std::pair{&c.cooc, order.cooc}}) {
            if (s.values[at] != 0.0) *field_k = static_cast<float>(s.values[at]);
        }
        return;
    }
    const auto number = [&](std::size_t at) -> nb::object {
        if (!plain) return objects[at];
        const double v = s.values[at];
        if (std::nearbyint(v) != v) return nb::float_(v);
        // Beyond 2^53 a double skips integers: an integer text is read as the host's int().
        if (std::fabs(v) >= 0x1p53) {
            const std::string text(s.numbers[at]);
            if (PyObject* exact = PyLong_FromString(text.c_str(), nullptr, 10))
                return nb::steal(exact);
            PyErr_Clear();
        }
        return nb::steal(PyLong_FromDouble(v));
    };
    set_counts(counts_object(r), number(order.src), number(order.trg), number(order.cooc));
}

// An item "key=value" in its two parts, with the unpacking errors of the host.
std::pair<std::string_view, std::string_view> key_value(std::string_view item) {
    std::string_view key, value;
    switch (core::split_item(item, key, value)) {
        case core::ItemError::too_few:
            throw nb::value_error("need more than 1 value to unpack");
        case core::ItemError::too_many:
            throw nb::value_error("too many values to unpack (expected 2)");
        case core::ItemError::none:
            break;
    }
    return {key, value};
}

}  // namespace

const std::array<nb::handle, core::moses::kScoreNames.size()>& moses_score_keys() {
    static const auto keys = [] {
        std::array<nb::handle, core::moses::kScoreNames.size()> k;
        for (std::size_t i = 0; i < k.size(); ++i) k[i] = interned_key(core::moses::kScoreNames[i]);
        return k;
    }();
    return keys;
}

void read_moses_line(Record& r, nb::handle line, nb::handle delim) {
    namespace f = core::moses;
    ScratchUse use;
    Scratch& s = *use;
    const LineFields fields(line, delim, s.fields);
    r.src = interned_side(fields.stripped(f::kSrc), 0);
    r.trg = interned_side(fields.stripped(f::kTrg), 1);
    zel::text::split_runs(fields[f::kScores], s.numbers);
    nb::object scores[f::kScoreNames.size()];
    for (std::size_t k = 0; k < s.numbers.size(); ++k) {
        nb::object v = get_number_text(s.numbers[k]);  // later scores are converted too
        if (k < f::kScoreNames.size()) scores[k] = std::move(v);
    }
    if (s.numbers.size() < f::kScoreNames.size()) throw nb::index_error("list index out of range");
    const auto& names = moses_score_keys();
    nb::dict features;
    for (std::size_t k = 0; k < f::kScoreNames.size(); ++k) {
        if (PyDict_SetItem(features.ptr(), names[k].ptr(), scores[k].ptr()) != 0) {
            throw nb::python_error();
        }
    }
    r.features = features;
    store_points(r, line, fields, f::kPoints, s.points);
    store_counts(r, fields[f::kCounts], f::kCountOrder, Needed::at_least_three, s);
}

namespace {

nb::dict features_of(std::string_view field, std::vector<std::string_view>& items) {
    zel::text::split_runs(field, items);
    nb::dict out;
    for (std::string_view item : items) {
        const auto [key, text] = key_value(item);
        out[new_str(key, false)] = feature_value(key, get_number_text(text));
    }
    return out;
}

}  // namespace

nb::set get_align_set(std::string_view field) {
    std::vector<std::string_view> points;
    return align_set(field, points);
}

nb::dict travatar_features(std::string_view field) {
    std::vector<std::string_view> items;
    return features_of(field, items);
}

void read_travatar_line(Record& r, nb::handle line, nb::handle delim) {
    namespace f = core::travatar;
    ScratchUse use;
    Scratch& s = *use;
    const LineFields fields(line, delim, s.fields);
    r.src = new_str(fields.stripped(f::kSrc), false);
    r.trg = new_str(fields.stripped(f::kTrg), false);
    r.features = features_of(fields[f::kFeatures], s.numbers);
    store_counts(r, fields[f::kCounts], f::kCountOrder, Needed::exactly_three, s);
    store_points(r, line, fields, f::kPoints, s.points);
}

}  // namespace zel::bind::records
