#include "common/errors.hpp"

#include <utility>

namespace zel {

DecodeError::DecodeError(std::string path_, std::size_t line_, std::string bytes_,
                         std::size_t start_, std::size_t end_, const char* reason_)
    : std::runtime_error("invalid UTF-8 in " + path_ + ", line " + std::to_string(line_) + ": " +
                         reason_),
      path(std::move(path_)),
      line(line_),
      bytes(std::move(bytes_)),
      start(start_),
      end(end_),
      reason(reason_) {}

IndexError::IndexError(std::int64_t index, std::size_t axis, std::size_t size)
    : std::out_of_range("index " + std::to_string(index) + " is out of bounds for axis " +
                        std::to_string(axis) + " with size " + std::to_string(size)) {}

Missing::Missing(const char* table_, Use use_, const char* attribute_)
    : std::runtime_error(std::string(table_) + " does not exist yet"),
      table(table_),
      use(use_),
      attribute(attribute_) {}

EmptyCorpus::EmptyCorpus(const std::string& src_path, const std::string& trg_path)
    : std::runtime_error("the parallel corpus is empty: no sentence pairs in " + src_path +
                         " and " + trg_path) {}

}  // namespace zel
