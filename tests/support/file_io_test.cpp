#include "support/file_io.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/synth.hpp"

namespace quorvex {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
}

TEST(WriteFile, ReplacesWholeAndLeavesNothingElse) {
    test::TempDir dir("write");
    const fs::path out = dir / "out.bin";
    ASSERT_TRUE(write_file(out, std::string_view("first, longer content")));
    ASSERT_TRUE(write_file(out, std::string_view("second")));
    auto back = read_text(out);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, "second");
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"out.bin"});
    EXPECT_EQ(fs::status(out).permissions() & fs::perms::owner_write, fs::perms::owner_write);
}

TEST(WriteFile, FailuresLeaveThePreviousStateAndNoTemporary) {
    test::TempDir dir("write-fail");
    auto missing = write_file(dir / "no" / "out.bin", std::string_view("x"));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().render(), "No such file or directory");

    fs::create_directory(dir / "taken");
    auto onto_dir = write_file(dir / "taken", std::string_view("x"));
    ASSERT_FALSE(onto_dir);
    EXPECT_EQ(onto_dir.error().render(), "Is a directory");
    EXPECT_TRUE(fs::is_directory(dir / "taken"));
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"taken"});
}

TEST(WriteFile, DevicesAreWrittenInPlace) {
    ASSERT_TRUE(write_file("/dev/null", std::string_view("discarded")));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

}  // namespace
}  // namespace quorvex
