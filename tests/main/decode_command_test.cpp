// The decode command: the frame file it writes, its line, and how it fails.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "main/command_runner.hpp"
#include "model/splat.hpp"

namespace quorvex {
namespace {

namespace fs = std::filesystem;
using DecodeCommand = test::ContainerTest;
using test::run_quorvex;

TEST_F(DecodeCommand, WritesOneFrameOfRecords) {
    make_container(5, 30);
    const fs::path out = dir_ / "x.splat";
    // Without --frame the first frame is written.
    const test::RunResult r = run_quorvex({"decode", container().string(), "-o", out.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, fmt::format("wrote {} (120 splats) for frame 0\n", out.string()));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(fs::file_size(out), 120 * kSplatBytes);

    // An existing file is replaced whole, not written into.
    test::write_bytes(out, std::vector<uint8_t>(10000, 0xAB));
    const test::RunResult last =
        run_quorvex({"decode", container().string(), "--frame", "4", "-o", out.string()});
    EXPECT_EQ(last.status, 0) << last.err;
    EXPECT_EQ(last.out, fmt::format("wrote {} (120 splats) for frame 4\n", out.string()));
    EXPECT_EQ(fs::file_size(out), 120 * kSplatBytes);
}

TEST_F(DecodeCommand, FrameOutOfRangeWritesNothing) {
    make_container(5, 2);
    const fs::path absent = dir_ / "absent.splat";
    const fs::path existing = dir_ / "existing.splat";
    const std::vector<uint8_t> old(64, 7);
    test::write_bytes(existing, old);
    struct Case {
        std::string frame;
        std::string message;
    };
    const Case cases[] = {
        {"5", "Error: frame 5 out of range 0..5\n"},
        {"18446744073709551615", "Error: frame 18446744073709551615 out of range 0..5\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frame);
        for (const fs::path& out : {absent, existing}) {
            const test::RunResult r =
                run_quorvex({"decode", container().string(), "--frame", c.frame, "-o", out.string()});
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, c.message);
        }
        EXPECT_FALSE(fs::exists(absent));
        EXPECT_EQ(test::read_bytes(existing), old);
    }
}

TEST_F(DecodeCommand, MissingContainerFails) {
    const fs::path out = dir_ / "x.splat";
    const test::RunResult r = run_quorvex({"decode", (dir_ / "none.quorvex").string(), "-o", out.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("Error: ")) << r.err;
    EXPECT_FALSE(fs::exists(out));
}

}  // namespace
}  // namespace quorvex
