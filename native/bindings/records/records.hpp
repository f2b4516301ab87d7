// The zel.smt.trans_models.records module: rule records, their counts and line formats.
// Records hold host objects (their fields are host values callers read and replace); the
// text work (splitting, token tests, renumbering) is done by the core in native/records.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <functional>
#include <string>
#include <string_view>

#include "bindings/support.hpp"
#include "records/formats.hpp"

namespace zel::bind::records {

namespace nb = nanobind;

// Three counts of a rule, 32-bit floats.
struct CoOccurrence {
    float src = 0, trg = 0, cooc = 0;
};

// One rule: six host-typed fields. A new record's fields hold the defaults (sides "", a new
// empty dict and set, new zero counts, no data) from allocation on, as every read sees them;
// each default object is made when a field is first read, so a line that fills every field
// does not make them only to drop them. Native code reads fields through filled(), the points
// through aligns_of() and the counts through counts_object() or rounded_counts().
//
// The points and counts of a line read natively become host objects when their field is
// first read: until then the record keeps the line and where the points lie in its text, and
// the three counts themselves. A table's records are built by the million and most are only
// printed or searched: a set the host's collector tracks made building them nearly twice as
// slow, and a counts object is one more native instance to register and release.
struct Record {
    nb::object src, trg, features, counts, aligns, data;  // null: not made yet
    nb::object points_line;                               // a str, read while aligns is null
    std::size_t points_begin = 0, points_size = 0;        // within its UTF-8 text
    CoOccurrence waiting_counts;                          // the counts, while `counts` is null

    int traverse(visitproc visit, void* arg) const {
        return visit_all(visit, arg, src, trg, features, counts, aligns, data);
    }
    void clear() { reset_all(src, trg, features, counts, aligns, data, points_line); }
};

// The record's fields with every default made, but for `aligns` and `counts`: what native code
// reads.
Record& filled(Record& r);
// The record's `aligns`, made now if the points of its line wait.
nb::object& aligns_of(Record& r);
// The record's `counts`, made now if its counts wait.
nb::object& counts_object(Record& r);
// The counts rounded as to_str rounds them (their own round() when it is replaced), for
// printing; TypeError when `counts` is None.
const CoOccurrence& rounded_counts(Record& r);
// The points as to_str prints them (sorted, space-separated), from the line's text while
// they wait.
std::string points_text_of(Record& r);

// The record that `self` is, its fields filled.
inline Record& record_of(nb::handle self) { return filled(native<Record>(self)); }

// Its separator lives in the per-instance dictionary, as any attribute of a host class.
struct MosesRecord : Record {};

struct TravatarRecord : Record {
    nb::object delim = nb::none();
    bool sync = false;

    int traverse(visitproc visit, void* arg) const {
        const int r = Record::traverse(visit, arg);
        return r != 0 ? r : visit_all(visit, arg, delim);
    }
    void clear() {
        Record::clear();
        reset_all(delim);
    }
};

void register_counts(nb::module_& m);
void register_record(nb::module_& m);
void register_moses(nb::module_& m);
void register_travatar(nb::module_& m);

// The module and its classes, as the module registered them (register_record_classes).
inline nb::handle module() { return native_classes().records; }
inline nb::handle counts_type() { return native_classes().counts; }
inline nb::handle record_type() { return native_classes().record; }
inline nb::handle moses_type() { return native_classes().moses_record; }
inline nb::handle travatar_type() { return native_classes().travatar_record; }

// The text of a str argument; "Expected str, got ..." for anything else.
Utf8 text_argument(nb::handle value);

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)".
[[noreturn]] void incorrect_argument(const char* name, const char* expected, nb::handle value);

// The separator given to to_str: a str or None, else the TypeError of a typed argument.
void check_separator(nb::handle s);
// The fields joined by to_str's separator; None fails here, at the join, as the host's
// str.join does (so the steps before it have had their effects).
nb::str join_fields(nb::handle s, nb::handle parts);

// "%.1sCannot convert %.200s to %.200s" with an empty first argument.
[[noreturn]] void cannot_convert(nb::handle value, const char* target);

// The signatures a line format's record class shows its callers.
inline constexpr const char* kLineInit =
    "def __init__(self, line: str = '', delim: str = '|||') -> None";
inline constexpr const char* kLoadLine =
    "def loadLine(self, line: str, delim: str = '|||') -> None";
inline constexpr const char* kToStr = "def to_str(self, s: str = ' ||| ') -> str";

// The signatures of a property `name` of host type `type`, for its getter and setter.
struct PropertySigs {
    PropertySigs(std::string_view name, std::string_view type)
        : get("def " + std::string(name) + "(self) -> " + std::string(type)),
          set("def " + std::string(name) + "(self, value: " + std::string(type) + ") -> None") {}
    std::string get, set;
};

// A read-write attribute whose deletion runs `del`; all three take the instance.
void add_property(nb::handle cls, const char* name, nb::object get, nb::object set, nb::object del);

// One shared, interned str per feature name (the names a line format uses).
nb::handle interned_key(const char* text);

// New CoOccurrence with the given counts.
nb::object make_counts(float src, float trg, float cooc);

// getNumber(text or number, margin): an int when integral (within margin), else a float.
nb::object get_number(nb::handle any, double margin);
nb::object get_number_text(std::string_view text);

// A Travatar feature's value from getNumber's `number`: e raised to it for a key of four or more
// characters (the log probabilities), the number itself for shorter keys.
nb::object feature_value(std::string_view key, nb::object number);

// The interned names of the Moses scores, in their order.
const std::array<nb::handle, zel::records::moses::kScoreNames.size()>& moses_score_keys();

// A line read into a record, field by field, as each format's loadLine reads it (the line
// known to be non-empty).
void read_moses_line(Record& r, nb::handle line, nb::handle delim);
void read_travatar_line(Record& r, nb::handle line, nb::handle delim);
nb::dict travatar_features(std::string_view field);
// numbers.toNumber of one count text: natively for plain texts, else through the toolkit.
nb::object count_number(std::string_view piece);

// getCounts(field), getAlignSet(field), getRevAlignSet(aligns).
nb::list get_counts(std::string_view field);
nb::set get_align_set(std::string_view field);
nb::set get_rev_align_set(nb::handle aligns);

// setCounts as the counts object defines it (an override is reached).
void set_counts(nb::handle counts, nb::handle src, nb::handle trg, nb::handle cooc);
// counts.round() as the counts object defines it.
void round_counts(nb::handle counts);
CoOccurrence& counts_of(nb::handle counts);

// The host's round(value, digits), and CoOccurrence.round(digits) itself.
double round_places(double value, int digits);
void round_native(CoOccurrence& c, nb::handle digits);
// The places CoOccurrence.round() keeps when not told, as to_str rounds.
inline constexpr int kRoundDigits = 6;

// getReversed's steps on the new record `rec`: sides swapped, counts and points reversed,
// features renamed, "w" = the number of source terms that `source_terms` gives.
nb::object reversed_record(nb::handle self, nb::object rec,
                           const std::function<nb::object()>& source_terms);

}  // namespace zel::bind::records
