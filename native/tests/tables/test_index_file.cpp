#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "tables/index_file.hpp"

namespace {

using zel::tables::IndexFile;
using zel::tables::TextTrie;

const std::string kDir = ::testing::TempDir();

TextTrie built(std::initializer_list<const char*> keys) {
    zel::tables::TrieBuilder b;
    for (const char* k : keys) b.add(k);
    return b.build();
}

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_all(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Every key of every trie of an opened file, or the ValueError's text.
std::string contents(const std::string& path) {
    try {
        auto file = IndexFile::open(path);
        std::string out(file->header());
        for (std::size_t k = 0; k < file->sections(); ++k) {
            const TextTrie t = file->trie(k);
            for (std::uint32_t id = 0; id < t.size(); ++id) out += "|" + t.key(id);
        }
        return out;
    } catch (const zel::ValueError& e) {
        return std::string("refused: ") + e.what();
    }
}

TEST(IndexFile, SavedTriesComeBackAndDamageIsRefusedNeverRead) {
    const TextTrie a = built({"das Haus", "das", "Haus"}), b = built({"the house"});
    const std::vector<const TextTrie*> tries = {&a, &b};
    const std::string path = kDir + "/index";
    std::vector<std::size_t> steps;
    zel::tables::save_index(path, "settings", tries,
                            [&](std::size_t done, std::size_t) { steps.push_back(done); });
    EXPECT_EQ(steps, (std::vector<std::size_t>{0, 1, 2}));
    const std::string want = contents(path);
    EXPECT_EQ(want, "settings|Haus|das|das Haus|the house");

    // Under the sanitizers: every single-bit change and every cut is either harmless (padding)
    // or refused, and nothing is read outside the file.
    const std::string good = read_all(path);
    const std::string bad = kDir + "/bad";
    std::size_t refused = 0, trials = 0;
    for (std::size_t pos = 0; pos < good.size(); pos += 3) {
        std::string damaged = good;
        damaged[pos] = static_cast<char>(damaged[pos] ^ (1 << (pos % 8)));
        write_all(bad, damaged);
        const std::string got = contents(bad);
        ++trials;
        if (got != want) {
            EXPECT_EQ(got.rfind("refused: " + bad + ": ", 0), 0U) << pos << " " << got;
            ++refused;
        }
    }
    for (std::size_t n = 0; n < good.size(); n += 5) {
        write_all(bad, good.substr(0, n));
        EXPECT_EQ(contents(bad).rfind("refused: ", 0), 0U) << n;
    }
    EXPECT_GT(refused * 100, trials * 95);
    std::remove(bad.c_str());
}

TEST(IndexFile, AFailedSaveLeavesNoFileBehind) {
    const TextTrie a = built({"x"});
    const std::vector<const TextTrie*> tries = {&a, &a};
    const std::string path = kDir + "/kept";
    write_all(path, "old");
    EXPECT_THROW(zel::tables::save_index(path, "h", tries,
                                         [](std::size_t done, std::size_t) {
                                             if (done == 1) throw std::runtime_error("stop");
                                         }),
                 std::runtime_error);
    EXPECT_EQ(read_all(path), "old");
    std::FILE* leftover = std::fopen((path + ".tmp" + std::to_string(::getpid())).c_str(), "r");
    EXPECT_EQ(leftover, nullptr);
    EXPECT_THROW(IndexFile::open(kDir + "/no such file"), std::system_error);
}

}  // namespace
