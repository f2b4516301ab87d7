#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "common/errors.hpp"
#include "common/memory.hpp"

namespace {

TEST(Memory, ImpossibleAllocationFailsAtOnceNamingWhatAndHowBig) {
    const std::size_t huge = std::numeric_limits<std::size_t>::max() / 2;
    try {
        zel::check_allocation(huge, "word translation distribution");
        FAIL() << "no error";
    } catch (const zel::MemoryError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("word translation distribution"), std::string::npos) << what;
        EXPECT_NE(what.find(std::to_string(huge) + " bytes"), std::string::npos) << what;
    }
    EXPECT_NO_THROW(zel::check_allocation(1024, "small"));
}

TEST(Memory, AnAllocationTheSystemRefusesIsNamedToo) {
    for (const auto refuse : {+[] { throw std::bad_alloc(); },
                              +[] { throw std::length_error("vector::_M_default_append"); }}) {
        try {
            zel::allocate_checked(4096, "expected counts", refuse);
            FAIL() << "no error";
        } catch (const zel::MemoryError& e) {
            EXPECT_EQ(
                std::string(e.what()),
                "cannot allocate expected counts: 4096 bytes (0.00 GiB) refused by the system");
        }
    }
}

}  // namespace
