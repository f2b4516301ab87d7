#include "align/corpus/vocab.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <vector>

#include "common/errors.hpp"
#include "common/memory.hpp"
#include "common/utf8.hpp"

namespace zel::align {

namespace {

std::string_view strip_line_ends(std::string_view line) {
    const auto is_end = [](char c) { return c == '\r' || c == '\n'; };
    while (!line.empty() && is_end(line.front())) line.remove_prefix(1);
    while (!line.empty() && is_end(line.back())) line.remove_suffix(1);
    return line;
}

std::string text_of(const std::optional<std::string>& path) { return path ? *path : "None"; }

void register_words(StringEnumerator& enumerator, const std::vector<std::string_view>& words,
                    std::vector<WordId>& ids) {
    const std::size_t start = ids.size();
    ids.resize(start + words.size());
    enumerator.str2ids(words, ids.data() + start);
}

std::int32_t as_length(std::size_t n) {
    if (n > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw std::length_error("sentence of " + std::to_string(n) + " words is too long");
    }
    return static_cast<std::int32_t>(n);
}

// Pairs are read until either file ends; lines the other holds beyond that are not used, and
// the user is told, since a shifted or cut file aligns nothing usable.
void warn_unequal_lengths(Host& host, LineReader& src, LineReader& trg,
                          const std::optional<std::string>& src_path,
                          const std::optional<std::string>& trg_path, std::size_t pairs) {
    std::string_view rest;
    while (src.next(rest)) {
    }
    while (trg.next(rest)) {
    }
    if (src.line_number() == trg.line_number()) return;
    host.warning(Channel::align, "the corpus files differ in length (" + text_of(src_path) + ": " +
                                     std::to_string(src.line_number()) + " lines, " +
                                     text_of(trg_path) + ": " + std::to_string(trg.line_number()) +
                                     " lines): only the first " + std::to_string(pairs) +
                                     " pairs are used");
}

// Lines between interrupt checks: small enough that Ctrl-C is felt at once, large enough that
// the check costs nothing measurable.
constexpr std::size_t kLinesPerCheck = 4096;

}  // namespace

void check_utf8(std::string_view line, const std::optional<std::string>& path, std::size_t number) {
    utf8::Invalid bad;
    if (!utf8::validate(line, bad)) {
        throw DecodeError(text_of(path), number, std::string(line), bad.start, bad.end, bad.reason);
    }
}

void split_corpus_line(std::string_view line, bool character_based,
                       std::vector<std::string_view>& words) {
    line = strip_line_ends(line);
    if (character_based) {
        for (std::size_t i = 0; i < line.size();) {
            const std::size_t n = utf8::sequence_length(static_cast<unsigned char>(line[i]));
            words.push_back(line.substr(i, n));
            i += n;
        }
        return;
    }
    for (;;) {
        const std::size_t space = line.find(' ');
        words.push_back(line.substr(0, space));
        if (space == std::string_view::npos) return;
        line.remove_prefix(space + 1);
    }
}

void Vocab::init() {
    src_enum = StringEnumerator();
    trg_enum = StringEnumerator();
}

std::pair<std::string, std::string> Vocab::ids_pair_to_str_pair(std::span<const WordId> src_ids,
                                                                std::span<const WordId> trg_ids,
                                                                bool character_based) const {
    const std::string_view joiner = character_based ? "" : " ";
    const auto join = [&](const StringEnumerator& e, std::span<const WordId> ids) {
        std::string text;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (i > 0) text += joiner;
            text += e.id2str(ids[i]);
        }
        return text;
    };
    return {join(src_enum, src_ids.empty() ? src_ids : src_ids.subspan(1)),
            join(trg_enum, trg_ids)};
}

Corpus Vocab::load_sent_pairs(Host& host, const std::optional<std::string>& src_path,
                              const std::optional<std::string>& trg_path, bool character_based) {
    host.info(Channel::align, "loading files: " + text_of(src_path) + " " + text_of(trg_path));
    const WordId null_id = src_enum.str2id(kNullSymbol);
    auto src_source = host.open_read(src_path, "loading");
    auto trg_source = host.open_read(trg_path, std::nullopt);
    LineReader src_lines(*src_source), trg_lines(*trg_source);

    Corpus corpus;
    std::vector<std::string_view> words;
    std::vector<WordId> src_ids, trg_ids;
    std::string_view src_line, trg_line;
    while (src_lines.next(src_line) && trg_lines.next(trg_line)) {
        check_utf8(src_line, src_path, src_lines.line_number());
        check_utf8(trg_line, trg_path, trg_lines.line_number());

        words.clear();
        split_corpus_line(src_line, character_based, words);
        src_ids.assign(1, null_id);
        register_words(src_enum, words, src_ids);

        words.clear();
        split_corpus_line(trg_line, character_based, words);
        trg_ids.clear();
        register_words(trg_enum, words, trg_ids);

        try {
            corpus.push_back(src_ids, trg_ids);
        } catch (const std::bad_alloc&) {
            // The corpus grows by half again: name what it would have needed.
            allocation_failed(corpus.memory_bytes() * 3 / 2,
                              "the corpus (" + std::to_string(corpus.size()) + " pairs read)");
        }
        max_src_len = std::max(max_src_len, as_length(src_ids.size()));
        max_trg_len = std::max(max_trg_len, as_length(trg_ids.size()));
        if (src_lines.line_number() % kLinesPerCheck == 0) host.check_interrupt();
    }
    corpus.shrink_to_fit();
    warn_unequal_lengths(host, src_lines, trg_lines, src_path, trg_path, corpus.size());
    return corpus;
}

}  // namespace zel::align
