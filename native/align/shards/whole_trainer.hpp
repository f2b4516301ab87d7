// The model of the whole corpus that a cluster's client keeps.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "align/ibm/model2.hpp"

namespace zel::align {

// The model of the whole corpus, in the process that writes the files: its vocabulary, made
// from the shards' words, and the alignment table its alignment rows give it at the end (the
// row ranges write their own lines of the translation file).
class WholeTrainer {
public:
    explicit WholeTrainer(Host& host);

    // Registers the words of a shard (its first appearances, in order) and gives their ids.
    std::vector<WordId> add_words(bool source, std::span<const std::string> words);
    // A shard's longest sentences (NULL word included on the source side).
    void add_lengths(std::size_t src_len, std::size_t trg_len);
    TableShape shape() const { return trainer_.table_shape(); }

    // The words of ids [first, first + count) of one side.
    std::vector<std::string> words(bool source, std::size_t first, std::size_t count) const;

    // Makes the alignment table from its blocks; its values are then set through align(), and
    // the counts of the last M-step, which the file shows beside them, through align_counts()
    // (zero until set).
    void make_align(std::span<const BlockKey> blocks);
    AlignTable& align();
    const AlignTable& align() const;
    std::span<double> align_counts();

    void save_align(Host& host, const std::string& path, const Threshold& threshold) const;

private:
    Model2Trainer trainer_;
};

}  // namespace zel::align
