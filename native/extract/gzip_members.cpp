#include "extract/gzip_members.hpp"

#include <libdeflate.h>

#include <new>
#include <stdexcept>

namespace zel::extract {

GzipCompressor::GzipCompressor(int level)
    : z_(libdeflate_alloc_compressor(level), &libdeflate_free_compressor) {
    if (!z_) throw std::bad_alloc();
}

void GzipCompressor::member(std::string_view text, std::string& out) {
    // libdeflate writes no name and a time stamp of 0: the same text gives the same bytes.
    out.resize(libdeflate_gzip_compress_bound(z_.get(), text.size()));
    const std::size_t size =
        libdeflate_gzip_compress(z_.get(), text.data(), text.size(), out.data(), out.size());
    if (size == 0) throw std::runtime_error("gzip compression failed");
    out.resize(size);
}

}  // namespace zel::extract
