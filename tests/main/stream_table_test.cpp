#include "main/stream_table.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "main/console.hpp"
#include "main/human.hpp"

namespace quorvex {
namespace {

TEST(StreamTable, KeyOfStreamName) {
    struct Case {
        const char* name;
        const char* key;
    };
    const Case cases[] = {
        {"g3.pos.key", "dyn.pos.key"},
        {"g0.rot.delta", "dyn.rot.delta"},
        {"g12.scale.delta", "dyn.scale.delta"},
        {"g3.pos", "dyn.pos.?"},
        {"g3.", "dyn..?"},  // the second piece is present but empty
        {"g.", "dyn..?"},
        {"gx.a.b.c.d", "dyn.a.b"},  // pieces after the third are ignored
        {"g1..key", "dyn..key"},
        {"mask_pos", "static.mask_pos"},
        {"base_scale", "static.base_scale"},
        {"gain", "static.gain"},  // begins with g but has no '.'
        {"g", "static.g"},
        {"pos.key", "static.pos.key"},  // has a '.' but does not begin with g
        {"G3.pos.key", "static.G3.pos.key"},
        {"", "static."},
    };
    for (const Case& c : cases) EXPECT_EQ(table_key(c.name), c.key) << c.name;
}

TEST(StreamTable, SumsPerKeyInAscendingByteOrder) {
    const std::vector<StreamInfo> streams = {
        {"mask_pos", 25, 34, 2.5},
        {"base_pos", 1200, 900, 800.25},
        {"g0.pos.key", 100, 80, 60.5},
        {"g0.pos.delta", 300, 90, 70.0},
        {"g0.scale.delta", 30, 20, 1.0},
        {"g1.pos.key", 50, 40, 30.25},
        {"g12.scale.delta", 12, 22, 0.5},
        {"g12.pos.delta", 7, 8, 0.125},
        {"Z", 1, 2, 3.0},  // upper case sorts before lower case byte-wise
    };
    const std::map<std::string, TableRow> table = stream_table(streams);
    std::vector<std::string> keys;
    for (const auto& [key, row] : table) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"dyn.pos.delta", "dyn.pos.key", "dyn.scale.delta", "static.Z",
                                              "static.base_pos", "static.mask_pos"}));

    const TableRow& pos_key = table.at("dyn.pos.key");
    EXPECT_EQ(pos_key.raw, 150u);
    EXPECT_EQ(pos_key.packed, 120u);
    EXPECT_EQ(pos_key.entropy, 90.75);
    const TableRow& pos_delta = table.at("dyn.pos.delta");
    EXPECT_EQ(pos_delta.raw, 307u);
    EXPECT_EQ(pos_delta.packed, 98u);
    EXPECT_EQ(pos_delta.entropy, 70.125);
    const TableRow& scale_delta = table.at("dyn.scale.delta");
    EXPECT_EQ(scale_delta.raw, 42u);
    EXPECT_EQ(scale_delta.packed, 42u);
    EXPECT_EQ(scale_delta.entropy, 1.5);
    EXPECT_EQ(table.at("static.mask_pos").raw, 25u);
    EXPECT_TRUE(stream_table({}).empty());
}

TEST(StreamTable, EntropyColumnTruncatesAndSaturates) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double value;
        uint64_t bytes;
    };
    const Case cases[] = {
        {0.0, 0},
        {-0.0, 0},
        {-1.5, 0},
        {nan, 0},
        {-inf, 0},
        {0.999, 0},
        {999.999, 999},
        {1000.0, 1000},
        {9007199254740993.0, 9007199254740992},           // rounds to 2^53 on the way in
        {18446744073709549568.0, 18446744073709549568u},  // the largest double below 2^64
        {18446744073709551616.0, UINT64_MAX},             // 2^64
        {1e300, UINT64_MAX},
        {inf, UINT64_MAX},
    };
    for (const Case& c : cases) EXPECT_EQ(saturate_u64(c.value), c.bytes) << c.value;
    // What the table prints for the entropy column at the unit boundaries.
    EXPECT_EQ(human(saturate_u64(999.9)), "999 B");
    EXPECT_EQ(human(saturate_u64(1000.0)), "1.0 KB");
    EXPECT_EQ(human(saturate_u64(999999.99)), "1000.0 KB");
    EXPECT_EQ(human(saturate_u64(1e6)), "1.00 MB");
    EXPECT_EQ(human(saturate_u64(nan)), "0 B");
}

}  // namespace
}  // namespace quorvex
