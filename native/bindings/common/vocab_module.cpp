// zel.common.vocab: the string enumerator shared by the alignment modules.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/vector.h>

#include "bindings/support.hpp"
#include "common/string_enumerator.hpp"

namespace nb = nanobind;

namespace {

std::vector<std::string> words_of(const zel::StringEnumerator& e) {
    std::vector<std::string> words;
    words.reserve(e.size());
    for (std::size_t id = 0; id < e.size(); ++id)
        words.emplace_back(e.id2str(static_cast<zel::StringEnumerator::Id>(id)));
    return words;
}

zel::StringEnumerator::Id checked_id(std::int64_t id, const zel::StringEnumerator& e) {
    if (id < 0 || static_cast<std::uint64_t>(id) >= e.size()) {
        throw nb::index_error(("id " + std::to_string(id) + " is not registered (size " +
                               std::to_string(e.size()) + ")")
                                  .c_str());
    }
    return static_cast<zel::StringEnumerator::Id>(id);
}

}  // namespace

NB_MODULE(vocab, m) {
    m.doc() = "Text-to-id tables.";
    zel::bind::register_error_translators();
    nb::class_<zel::StringEnumerator>(
        m, "StringEnumerator",
        "A text-to-id table: words get ids 0, 1, 2, ... in order of first registration.\n\n"
        "``append`` of a word that is already registered does nothing: the word keeps its id\n"
        "and the table its length. Pickling stores the words in id order.",
        zel::bind::Instances<zel::StringEnumerator>::slots())
        .def("__init__", [](nb::handle) {})
        .def("str2id", &zel::StringEnumerator::str2id, nb::arg("word"),
             "The id of ``word``, registering it with the next id when unseen.")
        .def("append", &zel::StringEnumerator::append, nb::arg("word"),
             "Register ``word``; a registered word keeps its id.")
        .def(
            "id2str",
            [](const zel::StringEnumerator& e, std::int64_t id) {
                return std::string(e.id2str(checked_id(id, e)));
            },
            nb::arg("id"), "The word of ``id``; IndexError for an id never given out.")
        .def("__len__", &zel::StringEnumerator::size)
        .def("__contains__",
             [](const zel::StringEnumerator& e, std::string_view w) { return e.find(w) >= 0; })
        .def("__getstate__", &words_of)
        .def("__setstate__",
             [](nb::handle self, const std::vector<std::string>& words) {
                 zel::StringEnumerator restored;
                 for (const auto& w : words) restored.append(w);
                 zel::bind::native<zel::StringEnumerator>(self) = std::move(restored);
             })
        .def("__repr__", [](const zel::StringEnumerator& e) {
            return "StringEnumerator(" + std::to_string(e.size()) + " words)";
        });
}
