#include "extract/phrase_table.hpp"

#include <cmath>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "align/corpus/vocab.hpp"
#include "common/errors.hpp"
#include "common/format.hpp"
#include "common/line_reader.hpp"
#include "common/parallel.hpp"
#include "common/string_enumerator.hpp"
#include "common/text_split.hpp"
#include "common/utf8.hpp"
#include "extract/gzip_members.hpp"
#include "extract/instance_counts.hpp"
#include "extract/lexicon.hpp"
#include "extract/phrase_order.hpp"
#include "extract/phrases.hpp"
#include "records/formats.hpp"

namespace zel::extract {

namespace {

constexpr std::size_t kBlock = 4096;  // sentence pairs extracted at once
constexpr std::size_t kChunk = 8192;  // lines formatted (and compressed) at once
constexpr std::size_t kScoreBlock = 16 * kChunk;
// Compression is most of the cost of a large table: at 100,000 generated pairs libdeflate's level
// 2 wrote a file 7% larger than its level 5 (2% larger than zlib's default) in two thirds of the
// whole run's time.
constexpr int kGzipLevel = 2;
constexpr std::uint32_t kMissing = 0xFFFFFFFFU;     // a phrase not seen before
constexpr std::uint32_t kUnwritable = 0xFFFFFFFEU;  // a side a record would not read back

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

    // The next pair's three lines; false at the end of all three files. A file that ends
    // before the others is a ValueError: the pairs would be cut or shifted.
    bool next(PairText& pair) {
        std::string* texts[3] = {&pair.src, &pair.trg, &pair.links};
        std::string_view lines[3];
        bool read[3];
        for (int k = 0; k < 3; ++k) read[k] = readers_[k]->next(lines[k]);
        if (!read[0] && !read[1] && !read[2]) return false;
        for (int k = 0; k < 3; ++k) {
            if (read[k]) continue;
            const int longer = read[0] ? 0 : read[1] ? 1 : 2;
            throw ValueError(paths_[k] + " has " +
                             fmt::with_commas(static_cast<std::int64_t>(line_)) +
                             " lines, fewer than " + paths_[longer] +
                             ": the corpus and its links must have a line a sentence pair");
        }
        for (int k = 0; k < 3; ++k) {
            std::string_view line = lines[k];
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

private:
    void check(std::string_view line, int k) const {
        align::check_utf8(line, paths_[k], line_ + 1);
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

// The table's file, put in place only when closed. Lines come in chunks of a fixed number of
// lines; a name ending in .gz makes each chunk a gzip member of its own, compressed on the
// thread that formatted it, so the bytes depend on the lines alone.
class Output {
public:
    Output(Host& host, const std::string& path, std::size_t threads)
        : sink_(path.ends_with(".gz") ? host.open_write_encoded(path) : host.open_write(path)) {
        if (path.ends_with(".gz"))
            for (std::size_t k = 0; k < threads; ++k) compressors_.emplace_back(kGzipLevel);
    }
    // Called on thread `worker`: `out` becomes the chunk as it goes to the file.
    void finish_chunk(std::string& text, std::string& out, std::size_t worker) {
        if (compressors_.empty()) {
            out.swap(text);
        } else {
            compressors_[worker].member(text, out);
        }
    }
    void write(std::string_view chunk) {
        sink_->write(chunk);
        written_ = true;
    }
    void close() {
        if (!compressors_.empty() && !written_) {  // an empty table is still a gzip file
            std::string member;
            compressors_[0].member("", member);
            sink_->write(member);
        }
        sink_->close();
    }

private:
    std::unique_ptr<ByteSink> sink_;
    std::vector<GzipCompressor> compressors_;
    bool written_ = false;
};

// Why a word cannot begin, end or be inside a phrase side: a record strips white space at the
// ends of a side and splits a line at "|||".
enum WordFlag : std::uint8_t { kBadStart = 1, kBadEnd = 2, kBadInside = 4 };

std::uint8_t word_flags(std::string_view word) {
    std::uint8_t flags = 0;
    const std::string_view kept = utf8::strip_space(word);
    if (kept.empty() || kept.data() != word.data()) flags |= kBadStart;
    if (kept.empty() || kept.data() + kept.size() != word.data() + word.size()) flags |= kBadEnd;
    if (word.find("|||") != std::string_view::npos) flags |= kBadInside;
    return flags;
}

// A side's words, their ids and what they allow.
struct Side {
    StringEnumerator words;
    std::vector<std::uint8_t> flags;
    StringEnumerator phrases;           // keys as phrase_key makes them
    std::vector<std::uint64_t> counts;  // instances of each phrase

    void ids(std::span<const std::string_view> text, std::vector<std::uint32_t>& out) {
        out.resize(text.size());
        words.str2ids(text, out.data());
        while (flags.size() < words.size())
            flags.push_back(word_flags(words.id2str(static_cast<std::uint32_t>(flags.size()))));
    }
    bool writable(std::span<const std::uint32_t> phrase) const {
        if (flags[phrase.front()] & kBadStart || flags[phrase.back()] & kBadEnd) return false;
        for (const std::uint32_t w : phrase)
            if (flags[w] & kBadInside) return false;
        return true;
    }
};

struct Pair {
    std::vector<std::uint32_t> src, trg;
    std::vector<Link> links;
};

// One pair's phrase pairs, found on a thread against the phrases known before its block: the
// spans and point sets it uses once each, with their ids (kMissing for a new one), and its
// instances as indices into those.
struct PairPhrases {
    struct Span {
        std::uint32_t begin, end, id;
    };
    std::vector<Span> src, trg;
    std::vector<std::vector<std::uint32_t>> new_points;  // point keys not known yet
    std::vector<Instance> local;  // src and trg index the spans; points is an id, or the
                                  // index into new_points with the top bit set
};

constexpr std::uint32_t kNewPoints = 0x80000000U;

// The key of a set of points: (i, j) pairs relative to the phrase's corner, in link order.
void points_key(const PhraseSpan& s, std::span<const Link> links, std::vector<std::uint32_t>& key) {
    key.clear();
    for (const Link& k : links) {
        if (k.src < s.src_begin || k.src >= s.src_end || k.trg < s.trg_begin || k.trg >= s.trg_end)
            continue;
        key.push_back(k.src - s.src_begin);
        key.push_back(k.trg - s.trg_begin);
    }
}

// Per thread: the spans of the pair being read, by (begin, length).
struct SpanSlots {
    std::vector<std::uint32_t> src, trg;
    std::vector<PhraseSpan> spans;
    std::vector<std::uint32_t> key;
};

void find_phrases(const Pair& pair, const Side& src_side, const Side& trg_side,
                  const StringEnumerator& points, std::size_t max_length, SpanSlots& scratch,
                  PairPhrases& out) {
    out.src.clear();
    out.trg.clear();
    out.new_points.clear();
    out.local.clear();
    scratch.spans.clear();
    consistent_phrases(pair.src.size(), pair.trg.size(), pair.links, max_length, scratch.spans);
    // A span by (begin, length); no span is longer than its sentence, whatever the limit.
    const std::size_t src_width = std::min(max_length, pair.src.size()),
                      trg_width = std::min(max_length, pair.trg.size());
    scratch.src.assign(pair.src.size() * src_width, kMissing);
    scratch.trg.assign(pair.trg.size() * trg_width, kMissing);
    // The local index of a span, found in the table of its side the first time it is met.
    const auto local = [&](std::uint32_t begin, std::uint32_t end, const Side& side,
                           const std::vector<std::uint32_t>& words,
                           std::vector<std::uint32_t>& slots, std::size_t width,
                           std::vector<PairPhrases::Span>& spans) -> std::uint32_t {
        std::uint32_t& slot = slots[begin * width + (end - begin - 1)];
        if (slot != kMissing) return slot;
        const std::span<const std::uint32_t> phrase(words.data() + begin, end - begin);
        const std::uint32_t id = side.writable(phrase)
                                     ? static_cast<std::uint32_t>(side.phrases.find(
                                           phrase_key(phrase)))  // -1 becomes kMissing
                                     : kUnwritable;
        slot = static_cast<std::uint32_t>(spans.size());
        spans.push_back({begin, end, id});
        return slot;
    };
    for (const PhraseSpan& s : scratch.spans) {
        const std::uint32_t f =
            local(s.src_begin, s.src_end, src_side, pair.src, scratch.src, src_width, out.src);
        const std::uint32_t e =
            local(s.trg_begin, s.trg_end, trg_side, pair.trg, scratch.trg, trg_width, out.trg);
        if (out.src[f].id == kUnwritable || out.trg[e].id == kUnwritable) continue;
        points_key(s, pair.links, scratch.key);
        const std::int64_t known = points.find(phrase_key(scratch.key));
        std::uint32_t p = 0;
        if (known >= 0) {
            p = static_cast<std::uint32_t>(known);
        } else {
            std::size_t k = 0;
            while (k < out.new_points.size() && out.new_points[k] != scratch.key) ++k;
            if (k == out.new_points.size()) out.new_points.push_back(scratch.key);
            p = kNewPoints | static_cast<std::uint32_t>(k);
        }
        out.local.push_back({f, e, p});
    }
}

// The text of a set of points, sorted as the records sort them, and its links in that order.
std::pair<std::string, std::vector<Link>> points_text(std::string_view key) {
    std::vector<std::uint32_t> ij;
    phrase_words(key, ij);
    std::vector<std::string> texts;
    for (std::size_t k = 0; k < ij.size(); k += 2)
        texts.push_back(std::to_string(ij[k]) + "-" + std::to_string(ij[k + 1]));
    const std::string text =
        records::sorted_points(std::vector<std::string_view>(texts.begin(), texts.end()));
    std::vector<Link> links;
    for (const std::string_view point : zel::text::split_runs(text)) {
        const auto dash = point.find('-');
        links.push_back(
            {static_cast<std::uint32_t>(std::stoul(std::string(point.substr(0, dash)))),
             static_cast<std::uint32_t>(std::stoul(std::string(point.substr(dash + 1))))});
    }
    return {text, links};
}

// One line of the table: a distinct (f, e), its count and its most frequent points.
struct Line {
    std::uint32_t src, trg, points;  // ids
    std::uint64_t count;
};

struct Scorer {
    const Side& src;
    const Side& trg;
    const Lexicon& lexicon;
    const std::vector<std::string>& point_texts;
    const std::vector<std::vector<Link>>& point_links;

    void append(const Line& line, std::string& out, std::vector<std::uint32_t>& f,
                std::vector<std::uint32_t>& e, std::vector<double>& scratch) const {
        phrase_words(src.phrases.id2str(line.src), f);
        phrase_words(trg.phrases.id2str(line.trg), e);
        const auto joined = [&](const Side& side, const std::vector<std::uint32_t>& words) {
            for (std::size_t k = 0; k < words.size(); ++k) {
                if (k) out += ' ';
                out += side.words.id2str(words[k]);
            }
        };
        const auto fe = static_cast<double>(line.count);
        const auto f_count = static_cast<double>(src.counts[line.src]);
        const auto e_count = static_cast<double>(trg.counts[line.trg]);
        const std::vector<Link>& points = point_links[line.points];
        joined(src, f);
        out += " ||| ";
        joined(trg, e);
        out += " ||| ";
        const std::array<double, 2> lex = lexicon.phrase_weights(f, e, points, scratch);
        append_score(out, fe / e_count);
        out += ' ';
        append_score(out, lex[0]);
        out += ' ';
        append_score(out, fe / f_count);
        out += ' ';
        append_score(out, lex[1]);
        out += " ||| ";
        out += point_texts[line.points];
        out += " ||| ";
        out += records::counts_text(records::Format::moses, static_cast<float>(f_count),
                                    static_cast<float>(e_count), static_cast<float>(fe));
        out += '\n';
    }
};

}  // namespace

ExtractReport build_phrase_table(Host& host, const std::string& src_path,
                                 const std::string& trg_path, const std::string& links_path,
                                 const std::string& out_path, const ExtractSettings& settings) {
    if (settings.max_length == 0) throw ValueError("the maximum phrase length must be at least 1");
    const std::size_t max_length = settings.max_length;
    ExtractReport report;
    Lexicon lexicon;
    Side src, trg;
    StringEnumerator points;
    InstanceCounts instances(settings.temp_folder, settings.memory_bytes);
    const std::size_t threads = thread_count();
    {
        host.info(Channel::extract,
                  "extracting phrase pairs of at most " + std::to_string(max_length) + " words");
        CorpusReader corpus(host, src_path, trg_path, links_path);
        auto progress = host.progress("extracting", settings.pairs_hint);
        PairText text;
        std::vector<std::string_view> words;
        std::vector<Pair> block(kBlock);
        std::vector<PairPhrases> found(kBlock);
        std::vector<SpanSlots> scratch(threads);
        std::vector<std::uint32_t> ids;
        for (;;) {
            std::size_t n = 0;
            for (; n < kBlock && corpus.next(text); ++n) {
                Pair& pair = block[n];
                words.clear();
                align::split_corpus_line(text.src, false, words);
                src.ids(words, pair.src);
                words.clear();
                align::split_corpus_line(text.trg, false, words);
                trg.ids(words, pair.trg);
                try {
                    pair.links = parse_links(text.links, pair.src.size(), pair.trg.size());
                } catch (const ValueError& e) {
                    corpus.fail(2, e.what());
                }
                lexicon.add(pair.src, pair.trg, pair.links);
            }
            if (n == 0) break;
            parallel_for(n, threads, [&](std::size_t p, std::size_t worker) {
                find_phrases(block[p], src, trg, points, max_length, scratch[worker], found[p]);
            });
            // New phrases and point sets get their ids in pair order.
            for (std::size_t p = 0; p < n; ++p) {
                PairPhrases& f = found[p];
                for (auto& s : f.src)
                    if (s.id == kMissing)
                        s.id = src.phrases.str2id(
                            phrase_key(std::span(block[p].src).subspan(s.begin, s.end - s.begin)));
                for (auto& s : f.trg)
                    if (s.id == kMissing)
                        s.id = trg.phrases.str2id(
                            phrase_key(std::span(block[p].trg).subspan(s.begin, s.end - s.begin)));
                ids.clear();
                for (const auto& key : f.new_points) ids.push_back(points.str2id(phrase_key(key)));
                src.counts.resize(src.phrases.size(), 0);
                trg.counts.resize(trg.phrases.size(), 0);
                for (const Instance& x : f.local) {
                    const Instance global{
                        f.src[x.src].id, f.trg[x.trg].id,
                        x.points & kNewPoints ? ids[x.points & ~kNewPoints] : x.points};
                    instances.add(global);
                    ++src.counts[global.src];
                    ++trg.counts[global.trg];
                }
            }
            report.pairs += n;
            progress->advance(n);
            host.check_interrupt();
            if (n < kBlock) break;
        }
    }
    report.instances = instances.size();
    lexicon.freeze();

    // Every id's place in the output: phrases in text order, point sets as the records sort
    // their texts.
    host.info(Channel::extract, "sorting " +
                                    fmt::with_commas(static_cast<std::int64_t>(report.instances)) +
                                    " phrase pairs");
    std::vector<std::string> point_texts(points.size());
    std::vector<std::vector<Link>> point_links(points.size());
    for (std::uint32_t p = 0; p < points.size(); ++p)
        std::tie(point_texts[p], point_links[p]) = points_text(points.id2str(p));
    const std::vector<std::uint32_t> src_rank = phrase_ranks(src.phrases, TokenRanks(src.words));
    const std::vector<std::uint32_t> trg_rank = phrase_ranks(trg.phrases, TokenRanks(trg.words));
    const std::vector<std::uint32_t> points_rank = text_ranks(point_texts);
    const auto by_rank = [](const std::vector<std::uint32_t>& rank) {
        std::vector<std::uint32_t> id(rank.size());
        for (std::uint32_t k = 0; k < rank.size(); ++k) id[rank[k]] = k;
        return id;
    };
    const auto src_id = by_rank(src_rank), trg_id = by_rank(trg_rank),
               points_id = by_rank(points_rank);
    {
        auto progress = host.progress("sorting", report.instances);
        instances.finish({src_rank, trg_rank, points_rank}, [&](std::size_t n) {
            progress->advance(n);
            host.check_interrupt();
        });
    }

    host.info(Channel::extract, "scoring phrase pairs into file: " + out_path);
    Output out(host, out_path, threads);
    const Scorer scorer{src, trg, lexicon, point_texts, point_links};
    std::vector<Line> lines;
    lines.reserve(kScoreBlock);
    // Per thread its text buffer; per chunk what goes to the file.
    std::vector<std::string> texts(threads), chunks(kScoreBlock / kChunk);
    auto progress = host.progress("scoring", report.instances);
    std::uint64_t read = 0;
    const auto score = [&] {
        const std::size_t n = (lines.size() + kChunk - 1) / kChunk;
        parallel_for(n, threads, [&](std::size_t chunk, std::size_t worker) {
            std::vector<std::uint32_t> f, e;
            std::vector<double> scratch;
            std::string& text = texts[worker];
            text.clear();
            for (std::size_t k = chunk * kChunk; k < std::min(lines.size(), (chunk + 1) * kChunk);
                 ++k)
                scorer.append(lines[k], text, f, e, scratch);
            out.finish_chunk(text, chunks[chunk], worker);
        });
        for (std::size_t chunk = 0; chunk < n; ++chunk) out.write(chunks[chunk]);
        report.phrase_pairs += lines.size();
        lines.clear();
        progress->advance(read);
        read = 0;
        host.check_interrupt();
    };
    Instance x{}, best{};
    std::uint64_t count = 0, best_count = 0, total = 0;
    bool any = false;
    // Instances come by (f, e, points): each (f, e) once, with its total and the first of its
    // most frequent points.
    const auto close = [&] {
        lines.push_back({src_id[best.src], trg_id[best.trg], points_id[best.points], total});
        if (lines.size() == kScoreBlock) score();
    };
    while (instances.next(x, count)) {
        read += count;
        if (!any || x.src != best.src || x.trg != best.trg) {
            if (any) close();
            best = x;
            best_count = count;
            total = 0;
            any = true;
        } else if (count > best_count) {
            best = x;
            best_count = count;
        }
        total += count;
    }
    if (any) close();
    score();
    out.close();
    report.runs = instances.runs();
    return report;
}

}  // namespace zel::extract
