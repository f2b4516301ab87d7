#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "align/corpus/vocab.hpp"
#include "common/errors.hpp"
#include "test_helpers.hpp"

namespace {

using zel::align::Corpus;
using zel::align::Vocab;
using zel::align::WordId;
using Ids = std::vector<WordId>;

Ids ids(std::span<const WordId> s) { return {s.begin(), s.end()}; }

std::vector<std::string> words(const zel::StringEnumerator& e, std::span<const WordId> s) {
    std::vector<std::string> out;
    for (WordId id : s) out.emplace_back(e.id2str(id));
    return out;
}

struct Loaded {
    Vocab vocab;
    Corpus corpus;
    zel::testing::MemoryHost host;
};

void load(Loaded& l, const std::string& src, const std::string& trg, bool character = false) {
    l.host.files["src.txt"] = src;
    l.host.files["trg.txt"] = trg;
    l.corpus = l.vocab.load_sent_pairs(l.host, "src.txt", "trg.txt", character);
}

TEST(LoadSentPairs, OneLineCorpusIdsAndMaxima) {
    Loaded l;
    load(l, "a b\n", "x\n");
    ASSERT_EQ(l.corpus.size(), 1u);
    EXPECT_EQ(ids(l.corpus.src(0)), (Ids{0, 1, 2}));
    EXPECT_EQ(ids(l.corpus.trg(0)), (Ids{0}));
    EXPECT_EQ(l.vocab.src_enum.id2str(0), "__NULL__");
    EXPECT_EQ(l.vocab.max_src_len, 3);
    EXPECT_EQ(l.vocab.max_trg_len, 1);
    EXPECT_EQ(l.host.messages, std::vector<std::string>{"loading files: src.txt trg.txt"});
    EXPECT_EQ(l.host.opened, (std::vector<std::string>{"loading:src.txt", ":trg.txt"}));

    EXPECT_EQ(l.vocab.ids_pair_to_str_pair(l.corpus.src(0), l.corpus.trg(0), false),
              (std::pair<std::string, std::string>{"a b", "x"}));
    EXPECT_EQ(l.vocab.ids_pair_to_str_pair(l.corpus.src(0), l.corpus.trg(0), true),
              (std::pair<std::string, std::string>{"ab", "x"}));
}

struct SplitCase {
    const char* line;
    bool character;
    std::vector<std::string> words;  // source words after the NULL word
};

void PrintTo(const SplitCase& c, std::ostream* os) {
    *os << zel::testing::escaped(c.line) << (c.character ? " characters" : " words");
}

class WordSplitting : public ::testing::TestWithParam<SplitCase> {};

TEST_P(WordSplitting, SourceWords) {
    const SplitCase& c = GetParam();
    Loaded l;
    load(l, c.line, "t\n", c.character);
    std::vector<std::string> expected = {"__NULL__"};
    expected.insert(expected.end(), c.words.begin(), c.words.end());
    EXPECT_EQ(words(l.vocab.src_enum, l.corpus.src(0)), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, WordSplitting,
    ::testing::Values(
        SplitCase{"a  b\n", false, {"a", "", "b"}}, SplitCase{"a b\r\n", false, {"a", "b"}},
        SplitCase{" a \n", false, {"", "a", ""}}, SplitCase{"\n", false, {""}},
        SplitCase{"\r\ra\tb\r\r\n", false, {"a\tb"}}, SplitCase{"a\rb c\n", false, {"a\rb", "c"}},
        SplitCase{"ab c\n", true, {"a", "b", " ", "c"}},
        SplitCase{"\xE6\x97\xA5\xE6\x9C\xAC\r\n", true, {"\xE6\x97\xA5", "\xE6\x9C\xAC"}},
        SplitCase{"\n", true, {}}),
    [](const ::testing::TestParamInfo<SplitCase>& info) {
        return zel::testing::case_name(
            info.index, std::string(info.param.character ? "chars " : "words ") + info.param.line);
    });

TEST(LoadSentPairs, EmptyTargetLineIsOneEmptyWord) {
    Loaded l;
    load(l, "a\n", "\n");
    ASSERT_EQ(l.corpus.size(), 1u);
    EXPECT_EQ(words(l.vocab.trg_enum, l.corpus.trg(0)), std::vector<std::string>{""});
}

TEST(LoadSentPairs, StopsAtTheShorterFile) {
    Loaded l;
    load(l, "a\nb\nc\n", "1\n2\n3\n4\n5\n");
    EXPECT_EQ(l.corpus.size(), 3u);
    Loaded r;
    load(r, "a\nb\nc\nd\ne\n", "1\n2\n3\n");
    EXPECT_EQ(r.corpus.size(), 3u);
    EXPECT_EQ(r.vocab.src_enum.find("d"), -1);
}

TEST(LoadSentPairs, SecondLoadKeepsIdsAndAppendsNullOnce) {
    Loaded l;
    load(l, "a b\n", "x\n");
    load(l, "b c d\n", "y x\n");
    EXPECT_EQ(ids(l.corpus.src(0)), (Ids{0, 2, 3, 4}));
    EXPECT_EQ(ids(l.corpus.trg(0)), (Ids{1, 0}));
    EXPECT_EQ(l.vocab.max_src_len, 4);
    EXPECT_EQ(l.vocab.max_trg_len, 2);
}

TEST(LoadSentPairs, InvalidUtf8NamesFileAndLineAndKeepsEarlierWork) {
    Loaded l;
    l.host.files["src.txt"] = "a\nb c d e\n";
    l.host.files["trg.txt"] = "x\ny\xFFz\n";
    try {
        l.vocab.load_sent_pairs(l.host, "src.txt", "trg.txt", false);
        FAIL() << "no error";
    } catch (const zel::DecodeError& e) {
        EXPECT_EQ(e.path, "trg.txt");
        EXPECT_EQ(e.line, 2u);
        EXPECT_EQ(e.start, 1u);
        EXPECT_EQ(e.bytes, "y\xFFz\n");
    }
    // The first pair's words and lengths stay; nothing of the failing pair was registered.
    EXPECT_EQ(l.vocab.src_enum.size(), 2u);
    EXPECT_EQ(l.vocab.trg_enum.size(), 1u);
    EXPECT_EQ(l.vocab.max_src_len, 2);
}

TEST(LoadSentPairs, MissingFileFailsAfterNullWordIsRegistered) {
    Loaded l;
    EXPECT_THROW(l.vocab.load_sent_pairs(l.host, std::nullopt, std::nullopt, false),
                 std::runtime_error);
    EXPECT_EQ(l.host.messages, std::vector<std::string>{"loading files: None None"});
    EXPECT_EQ(l.vocab.src_enum.size(), 1u);
}

TEST(LoadSentPairs, CorpusStorageIsCompact) {
    Loaded l;
    std::string src, trg;
    for (int i = 0; i < 1000; ++i) {
        src += "w" + std::to_string(i % 50) + " v w\n";
        trg += "x y\n";
    }
    load(l, src, trg);
    EXPECT_EQ(l.corpus.src_tokens(), 4000u);
    EXPECT_EQ(l.corpus.trg_tokens(), 2000u);
    // 4 bytes a token and 8 bytes a sentence start on each side, nothing spare.
    EXPECT_EQ(l.corpus.memory_bytes(), 6000u * 4 + 2 * 1001 * 8);
}

}  // namespace
