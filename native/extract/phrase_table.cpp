#include "extract/phrase_table.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "align/vocab.hpp"
#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/line_reader.hpp"
#include "common/number_text.hpp"
#include "common/parallel.hpp"
#include "common/string_enumerator.hpp"
#include "common/text_split.hpp"
#include "common/utf8.hpp"
#include "extract/gzip_members.hpp"
#include "extract/key_sorter.hpp"
#include "extract/phrases.hpp"
#include "records/formats.hpp"

namespace zel::extract {

namespace {

constexpr char kSep = '\0';  // between the parts of a sort key: below every byte of a word
constexpr std::size_t kBlock = 4096;
constexpr std::uint32_t kNull = 0xFFFFFFFFU;

// Lexical translation tables from the links: c(f, e) for each link, c(f, NULL) for an unaligned
// source word and c(NULL, e) for an unaligned target word.
class Lexicon {
public:
    void add(std::span<const std::string_view> src, std::span<const std::string_view> trg,
             std::span<const Link> links) {
        ids_.resize(src.size() + trg.size());
        src_words.str2ids(src, ids_.data());
        trg_words.str2ids(trg, ids_.data() + src.size());
        std::vector<bool> src_linked(src.size()), trg_linked(trg.size());
        for (const Link& k : links) {
            count(ids_[k.src], ids_[src.size() + k.trg]);
            src_linked[k.src] = trg_linked[k.trg] = true;
        }
        for (std::size_t i = 0; i < src.size(); ++i)
            if (!src_linked[i]) count(ids_[i], kNull);
        for (std::size_t j = 0; j < trg.size(); ++j)
            if (!trg_linked[j]) count(kNull, ids_[src.size() + j]);
    }

    // w(e | f) and w(f | e), either word kNull for NULL.
    double target_given_source(std::uint32_t f, std::uint32_t e) const {
        return joint(f, e) / static_cast<double>(f == kNull ? null_src_ : src_total_[f]);
    }
    double source_given_target(std::uint32_t f, std::uint32_t e) const {
        return joint(f, e) / static_cast<double>(e == kNull ? null_trg_ : trg_total_[e]);
    }

    StringEnumerator src_words, trg_words;

private:
    static std::uint64_t key(std::uint32_t f, std::uint32_t e) {
        return std::uint64_t{f} << 32 | e;
    }
    void count(std::uint32_t f, std::uint32_t e) {
        ++joint_[key(f, e)];
        if (f == kNull) {
            ++null_src_;
        } else {
            if (f >= src_total_.size()) src_total_.resize(f + 1, 0);
            ++src_total_[f];
        }
        if (e == kNull) {
            ++null_trg_;
        } else {
            if (e >= trg_total_.size()) trg_total_.resize(e + 1, 0);
            ++trg_total_[e];
        }
    }
    double joint(std::uint32_t f, std::uint32_t e) const {
        const auto found = joint_.find(key(f, e));
        return found == joint_.end() ? 0.0 : static_cast<double>(found->second);
    }

    std::unordered_map<std::uint64_t, std::uint64_t> joint_;
    std::vector<std::uint64_t> src_total_, trg_total_;
    std::uint64_t null_src_ = 0, null_trg_ = 0;
    std::vector<StringEnumerator::Id> ids_;
};

std::string joined(std::span<const std::string_view> words, std::size_t begin, std::size_t end) {
    std::string out;
    for (std::size_t k = begin; k < end; ++k) {
        if (k > begin) out += ' ';
        out += words[k];
    }
    return out;
}

// A side a record reads back as it is: no white space at its ends (the reader strips it), no
// field separator inside.
bool writable(std::string_view side) {
    return !side.empty() && utf8::strip_space(side) == side &&
           side.find("|||") == std::string_view::npos;
}

std::vector<std::string_view> parts(std::string_view key, std::size_t n) {
    std::vector<std::string_view> out;
    for (std::size_t k = 0; k + 1 < n; ++k) {
        const auto at = key.find(kSep);
        if (at == std::string_view::npos) throw std::runtime_error("a sort key is damaged");
        out.push_back(key.substr(0, at));
        key.remove_prefix(at + 1);
    }
    out.push_back(key);
    return out;
}

// Calls row(parts, count) for every key of `sorter` (cut into `n` parts), in order, and
// end(first part) after the last key of each run of keys that share their first part.
template <class Row, class End>
void by_first_part(KeySorter& sorter, std::size_t n, Row&& row, End&& end) {
    std::string first;
    bool any = false;
    std::string_view key;
    std::uint64_t count = 0;
    while (sorter.next(key, count)) {
        const auto p = parts(key, n);
        if (!any || p[0] != first) {
            if (any) end(first);
            first.assign(p[0]);
            any = true;
        }
        row(p, count);
    }
    if (any) end(first);
}

void append_score(std::string& out, double x) {
    // As the records print a number: an integral value as an int, else the float's repr.
    if (std::nearbyint(x) == x && std::fabs(x) < 0x1p53) {
        out += std::to_string(static_cast<long long>(x));
    } else {
        fmt::append_float_repr(out, x);
    }
}

// One pair's lines, read from the three files in lock step.
struct PairText {
    std::string src, trg, links;
};

class CorpusReader {
public:
    CorpusReader(Host& host, const std::string& src, const std::string& trg,
                 const std::string& links)
        : paths_{src, trg, links} {
        sources_[0] = host.open_read(src, std::nullopt);
        sources_[1] = host.open_read(trg, std::nullopt);
        sources_[2] = host.open_read(links, std::nullopt);
        for (int k = 0; k < 3; ++k) readers_[k] = std::make_unique<LineReader>(*sources_[k]);
    }

    bool next(PairText& pair) {
        std::string* texts[3] = {&pair.src, &pair.trg, &pair.links};
        for (int k = 0; k < 3; ++k) {
            std::string_view line;
            if (!readers_[k]->next(line)) return false;
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
                line.remove_suffix(1);
            check(line, k);
            texts[k]->assign(line);
        }
        ++line_;
        return true;
    }

    [[noreturn]] void fail(int file, const std::string& what) const {
        throw ValueError(paths_[file] + ", line " + std::to_string(line_) + ": " + what);
    }
    std::size_t line() const { return line_; }

private:
    void check(std::string_view line, int k) const {
        utf8::Invalid bad;
        if (!utf8::validate(line, bad)) {
            throw DecodeError(paths_[k], line_ + 1, std::string(line), bad.start, bad.end,
                              bad.reason);
        }
        if (line.find('\0') != std::string_view::npos) {
            throw ValueError(paths_[k] + ", line " + std::to_string(line_ + 1) +
                             ": a NUL character");
        }
    }

    std::string paths_[3];
    std::unique_ptr<ByteSource> sources_[3];
    std::unique_ptr<LineReader> readers_[3];
    std::size_t line_ = 0;
};

// The words of a pair's two lines, as the aligner split them (views into the lines).
struct PairWords {
    std::vector<std::string_view> src, trg;
};

// The phrase pairs of one sentence pair as sort keys "f\0e\0points", each ended by '\n'.
void pair_keys(const PairWords& words, std::size_t max_length, std::vector<Link>& links,
               std::string& out) {
    const auto& [src, trg] = words;
    std::vector<PhraseSpan> spans;
    consistent_phrases(src.size(), trg.size(), links, max_length, spans);
    for (const PhraseSpan& s : spans) {
        const std::string f = joined(src, s.src_begin, s.src_end);
        const std::string e = joined(trg, s.trg_begin, s.trg_end);
        if (!writable(f) || !writable(e)) continue;
        out += f;
        out += kSep;
        out += e;
        out += kSep;
        out += inner_points(s, links);
        out += '\n';
    }
}

// Writes whole blocks to a sink that is put in place only when closed; a name ending in .gz is
// compressed here, on the threads.
class Output {
public:
    Output(Host& host, const std::string& path) {
        if (path.ends_with(".gz")) {
            gzip_.emplace(host.open_write_encoded(path));
        } else {
            sink_ = host.open_write(path);
        }
    }
    void line(const std::string& text) {
        buffer_ += text;
        buffer_ += '\n';
        if (buffer_.size() >= (std::size_t{1} << 20)) flush();
    }
    void close() {
        flush();
        if (gzip_) {
            gzip_->close();
        } else {
            sink_->close();
        }
    }

private:
    void flush() {
        if (gzip_) {
            gzip_->write(buffer_);
        } else {
            sink_->write(buffer_);
        }
        buffer_.clear();
    }
    std::optional<GzipMembers> gzip_;
    std::unique_ptr<ByteSink> sink_;
    std::string buffer_;
};

// A temporary file of lines, written then read once.
class Spool {
public:
    explicit Spool(std::string path) : path_(std::move(path)) {
        file_ = std::fopen(path_.c_str(), "wb");
        if (!file_) failed();
    }
    ~Spool() {
        if (file_) std::fclose(file_);
        std::remove(path_.c_str());
    }
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    void write(const std::string& line) {
        if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() ||
            std::fputc('\n', file_) == EOF)
            failed();
    }
    void rewind() {
        if (std::fclose(file_) != 0) failed();
        file_ = nullptr;
        source_ = open_file_source(path_);
        reader_ = std::make_unique<LineReader>(*source_);
    }
    bool next(std::string_view& line) {
        if (!reader_->next(line)) return false;
        if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
        return true;
    }

private:
    [[noreturn]] void failed() {
        throw std::runtime_error("cannot write the temporary file " + path_ + ": " +
                                 std::strerror(errno));
    }
    std::string path_;
    std::FILE* file_ = nullptr;
    std::unique_ptr<ByteSource> source_;
    std::unique_ptr<LineReader> reader_;
};

std::uint64_t count_of(std::string_view text) {
    long long n = 0;
    if (!parse_plain_int(text, n)) throw std::runtime_error("a temporary count is damaged");
    return static_cast<std::uint64_t>(n);
}

// lex(e | f, a): over the target words, the mean of w(e_j | f_i) over the source words linked
// to each (NULL for none), multiplied.
double lexical_weight(const Lexicon& lex, std::span<const std::uint32_t> f_ids,
                      std::span<const std::uint32_t> e_ids, std::span<const Link> points,
                      bool target_given_source) {
    const auto& outer = target_given_source ? e_ids : f_ids;
    double weight = 1.0;
    for (std::uint32_t k = 0; k < outer.size(); ++k) {
        double sum = 0.0;
        std::size_t n = 0;
        for (const Link& p : points) {
            if ((target_given_source ? p.trg : p.src) != k) continue;
            sum += target_given_source ? lex.target_given_source(f_ids[p.src], e_ids[k])
                                       : lex.source_given_target(f_ids[k], e_ids[p.trg]);
            ++n;
        }
        if (n == 0) {
            sum = target_given_source ? lex.target_given_source(kNull, e_ids[k])
                                      : lex.source_given_target(f_ids[k], kNull);
            n = 1;
        }
        weight *= sum / static_cast<double>(n);
    }
    return weight;
}

std::vector<std::uint32_t> word_ids(const StringEnumerator& words, std::string_view side) {
    std::vector<std::uint32_t> ids;
    for (const std::string_view w : zel::text::split_blank(side)) {
        const std::int64_t id = words.find(w);
        if (id < 0) throw std::runtime_error("a phrase word is missing from the lexicon");
        ids.push_back(static_cast<std::uint32_t>(id));
    }
    return ids;
}

// The table's line of one (f, e): `line` holds f, e, its points, c(f, e) and c(f).
std::string score_line(const Lexicon& lexicon, std::string_view line, std::uint64_t e_count) {
    const auto p = parts(line, 5);  // f, e, points, c(f, e), c(f)
    const double fe = static_cast<double>(count_of(p[3]));
    const double f_count = static_cast<double>(count_of(p[4]));
    const double e = static_cast<double>(e_count);
    const auto f_ids = word_ids(lexicon.src_words, p[0]);
    const auto e_ids = word_ids(lexicon.trg_words, p[1]);
    std::vector<Link> points;
    for (const std::string_view point : zel::text::split_runs(p[2])) {
        const auto dash = point.find('-');
        long long i = 0, j = 0;
        parse_plain_int(point.substr(0, dash), i);
        parse_plain_int(point.substr(dash + 1), j);
        points.push_back({static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j)});
    }
    std::string scores;
    append_score(scores, fe / e);
    scores += ' ';
    append_score(scores, lexical_weight(lexicon, f_ids, e_ids, points, false));
    scores += ' ';
    append_score(scores, fe / f_count);
    scores += ' ';
    append_score(scores, lexical_weight(lexicon, f_ids, e_ids, points, true));
    const std::string counts =
        records::counts_text(records::Format::moses, static_cast<float>(f_count),
                             static_cast<float>(e), static_cast<float>(fe));
    const std::string_view fields[] = {p[0], p[1], scores, p[2], counts};
    return records::join_line(" ||| ", fields);
}

}  // namespace

ExtractReport build_phrase_table(Host& host, const std::string& src_path,
                                 const std::string& trg_path, const std::string& links_path,
                                 const std::string& out_path, const ExtractSettings& settings) {
    if (settings.max_length == 0) throw ValueError("the maximum phrase length must be at least 1");
    ExtractReport report;
    Lexicon lexicon;
    const std::size_t budget = settings.memory_bytes;
    KeySorter by_pair(settings.temp_folder, "pairs", budget);
    {
        host.info(Channel::extract, "extracting phrase pairs of at most " +
                                        std::to_string(settings.max_length) + " words");
        CorpusReader corpus(host, src_path, trg_path, links_path);
        auto progress = host.progress("extracting", settings.pairs_hint);
        const std::size_t threads = thread_count();
        std::vector<PairText> block(kBlock);
        std::vector<std::vector<Link>> links(kBlock);
        std::vector<PairWords> words(kBlock);
        std::vector<std::string> keys(kBlock);
        for (;;) {
            std::size_t n = 0;
            for (; n < kBlock && corpus.next(block[n]); ++n) {
                auto& [src, trg] = words[n];
                src.clear();
                trg.clear();
                align::split_corpus_line(block[n].src, false, src);
                align::split_corpus_line(block[n].trg, false, trg);
                try {
                    links[n] = parse_links(block[n].links, src.size(), trg.size());
                } catch (const ValueError& e) {
                    corpus.fail(2, e.what());
                }
                lexicon.add(src, trg, links[n]);
            }
            if (n == 0) break;
            parallel_for(n, threads, [&](std::size_t p, std::size_t) {
                keys[p].clear();
                pair_keys(words[p], settings.max_length, links[p], keys[p]);
            });
            for (std::size_t p = 0; p < n; ++p) {
                std::string_view rest = keys[p];
                while (!rest.empty()) {
                    const auto end = rest.find('\n');
                    by_pair.add(rest.substr(0, end));
                    rest.remove_prefix(end + 1);
                    ++report.instances;
                }
            }
            report.pairs += n;
            progress->advance(n);
            host.check_interrupt();
            if (n < kBlock) break;
        }
    }
    host.info(Channel::extract, "sorting " +
                                    fmt::with_commas(static_cast<std::int64_t>(report.instances)) +
                                    " phrase pairs");
    by_pair.finish();

    // Each (f, e) once, with its count, its most frequent points and c(f); (e, f) to count c(e).
    Spool direct(settings.temp_folder + "/direct");
    std::size_t distinct = 0;
    KeySorter by_target(settings.temp_folder, "targets", budget);
    {
        struct Target {
            std::string e, points;
            std::uint64_t count = 0, best = 0;
        };
        std::vector<Target> targets;
        std::uint64_t f_count = 0, shown = 0, keys = 0;
        auto progress = host.progress("counting", report.instances);
        by_first_part(
            by_pair, 3,
            [&](const std::vector<std::string_view>& p, std::uint64_t count) {
                shown += count;
                if (++keys % 65536 == 0) {  // the display and Ctrl-C, now and then
                    progress->advance(shown);
                    shown = 0;
                    host.check_interrupt();
                }
                if (targets.empty() || targets.back().e != p[1])
                    targets.push_back({std::string(p[1]), "", 0, 0});
                Target& t = targets.back();
                t.count += count;
                f_count += count;
                if (count > t.best) {  // keys come in byte order: the first of the most frequent
                    t.best = count;
                    t.points.assign(p[2]);
                }
            },
            [&](const std::string& f) {
                for (const Target& t : targets) {
                    std::string line = f + kSep + t.e + kSep + t.points + kSep;
                    fmt::append_integer(line, t.count);
                    line += kSep;
                    fmt::append_integer(line, f_count);
                    direct.write(line);
                    by_target.add(t.e + kSep + f, t.count);
                    ++distinct;
                }
                targets.clear();
                f_count = 0;
            });
        progress->advance(shown);
    }
    by_target.finish();
    // c(e) for each (f, e), in (f, e) order.
    KeySorter target_counts(settings.temp_folder, "target-counts", budget);
    {
        std::vector<std::string> sources;
        std::uint64_t e_count = 0;
        by_first_part(
            by_target, 2,
            [&](const std::vector<std::string_view>& p, std::uint64_t count) {
                sources.emplace_back(p[1]);
                e_count += count;
            },
            [&](const std::string& e) {
                for (const std::string& f : sources) target_counts.add(f + kSep + e, e_count);
                sources.clear();
                e_count = 0;
            });
    }
    target_counts.finish();

    host.info(Channel::extract, "scoring phrase pairs into file: " + out_path);
    direct.rewind();
    Output out(host, out_path);
    // Blocks of lines scored on the threads, written in order.
    constexpr std::size_t kScoreBlock = 1 << 16;
    std::vector<std::string> lines(kScoreBlock), scored(kScoreBlock);
    std::vector<std::uint64_t> e_counts(kScoreBlock);
    const std::size_t threads = thread_count();
    auto progress = host.progress("scoring", distinct);
    for (;;) {
        std::size_t n = 0;
        std::string_view line, key;
        for (; n < kScoreBlock && direct.next(line); ++n) {
            lines[n].assign(line);
            const auto p = parts(line, 5);
            if (!target_counts.next(key, e_counts[n]) || parts(key, 2)[0] != p[0] ||
                parts(key, 2)[1] != p[1])
                throw std::runtime_error("the temporary counts do not match");
        }
        if (n == 0) break;
        parallel_for(n, threads, [&](std::size_t k, std::size_t) {
            scored[k] = score_line(lexicon, lines[k], e_counts[k]);
        });
        for (std::size_t k = 0; k < n; ++k) out.line(scored[k]);
        report.phrase_pairs += n;
        progress->advance(n);
        host.check_interrupt();
    }
    out.close();
    report.runs = by_pair.runs() + by_target.runs() + target_counts.runs();
    return report;
}

}  // namespace zel::extract
