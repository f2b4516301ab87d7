// zel.smt.align._links: the loops over word links behind zel.smt.align.symmetrize.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include <string>
#include <vector>

#include "align/links/links.hpp"
#include "bindings/support.hpp"

namespace nb = nanobind;
using zel::links::Heuristic;

namespace {

// The lines' texts, and views into them (which live as long as the texts).
struct Lines {
    std::vector<zel::bind::Utf8> texts;
    std::vector<std::string_view> views;
};

Lines lines_of(const nb::list& lines) {
    Lines out;
    out.texts.reserve(lines.size());
    for (nb::handle line : lines) {
        if (!PyUnicode_Check(line.ptr())) zel::bind::expected_type("str", line);
        out.views.push_back(out.texts.emplace_back(line));
    }
    return out;
}

Heuristic heuristic_of(std::string_view name) {
    if (auto h = zel::links::heuristic_named(name)) return *h;
    std::string known;
    for (auto n : zel::links::heuristic_names())
        known += (known.empty() ? "" : ", ") + std::string(n);
    throw nb::value_error(
        ("unknown heuristic '" + std::string(name) + "' (known: " + known + ")").c_str());
}

// A LinkError worded with the file's name and its 1-based line number.
[[noreturn]] void raise_at(const zel::links::LinkError& e, const std::string& forward_name,
                           const std::string& backward_name, std::size_t first_line) {
    const std::string& name = e.file == 0 ? forward_name : backward_name;
    throw nb::value_error(
        (name + ", line " + std::to_string(first_line + e.line) + ": " + e.what()).c_str());
}

}  // namespace

NB_MODULE(_links, m) {
    m.doc() = "Reading, combining and writing the word links of sentence pairs.";
    zel::bind::register_error_translators();
    nb::list names;
    for (auto n : zel::links::heuristic_names()) names.append(zel::bind::to_str(n));
    m.attr("HEURISTICS") = nb::tuple(names);

    m.def(
        "symmetrize",
        [](const nb::list& forward, const nb::list& backward, std::string_view heuristic,
           const std::string& forward_name, const std::string& backward_name,
           std::size_t first_line) {
            const Heuristic h = heuristic_of(heuristic);
            auto fwd = lines_of(forward), bwd = lines_of(backward);
            try {
                return zel::links::symmetrize(fwd.views, bwd.views, h);
            } catch (const zel::links::LinkError& e) {
                raise_at(e, forward_name, backward_name, first_line);
            }
        },
        nb::arg("forward"), nb::arg("backward"), nb::arg("heuristic"), nb::arg("forward_name"),
        nb::arg("backward_name"), nb::arg("first_line"),
        "Lines of two decoded alignment files of the same pairs (source-to-target, "
        "target-to-source) combined by ``heuristic``: one sorted \"i-j\" line a pair, as one "
        "text. A bad line is a ValueError naming its file and line (``first_line`` is the "
        "number of the first line given).");
    m.def(
        "decoded_to_links",
        [](const nb::list& lines, bool reversed, const std::string& name, std::size_t first_line) {
            auto texts = lines_of(lines);
            try {
                return zel::links::decoded_to_links(texts.views, reversed);
            } catch (const zel::links::LinkError& e) {
                raise_at(e, name, name, first_line);
            }
        },
        nb::arg("lines"), nb::arg("reversed"), nb::arg("name"), nb::arg("first_line"),
        "Lines of one decoded alignment file as sorted \"i-j\" lines (NULL links dropped); "
        "``reversed`` for a target-to-source file.");
}
