#include "main/human.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace quorvex {
namespace {

TEST(Human, UnitBoundariesAndDecimals) {
    struct Case {
        uint64_t bytes;
        const char* text;
    };
    const Case cases[] = {
        {0, "0 B"},
        {999, "999 B"},
        {1000, "1.0 KB"},
        {1049, "1.0 KB"},
        {1050, "1.1 KB"},  // 1.05 is just above the halfway point in binary
        {123456, "123.5 KB"},
        {999949, "999.9 KB"},
        {999999, "1000.0 KB"},
        {1000000, "1.00 MB"},
        {1600000, "1.60 MB"},
        {1234567890, "1234.57 MB"},
        {std::numeric_limits<uint64_t>::max(), "18446744073709.55 MB"},
    };
    for (const Case& c : cases) EXPECT_EQ(human(c.bytes), c.text) << c.bytes;
}

}  // namespace
}  // namespace quorvex
