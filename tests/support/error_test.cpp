#include "support/error.hpp"

#include <gtest/gtest.h>

namespace quorvex {
namespace {

Result<int> inner(bool fail) {
    if (fail) return Error::msg("inner");
    return 7;
}

Result<int> outer(bool fail) {
    QX_TRY_CTX(v, inner(fail), "outer {}", 1);
    return v + 1;
}

TEST(Error, TryPassesValuesAndWrapsErrors) {
    auto ok = outer(false);
    ASSERT_TRUE(ok);
    EXPECT_EQ(*ok, 8);
    auto bad = outer(true);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message(), "outer 1");
    EXPECT_EQ(bad.error().root_cause(), "inner");
}

TEST(Error, RenderFormats) {
    EXPECT_EQ(Error::msg("only").render(), "only");
    Error one = Error::msg("zstd level 30 out of range").context("reading frames/0001.splat");
    EXPECT_EQ(one.render(), "reading frames/0001.splat\n\nCaused by:\n    zstd level 30 out of range");
    Error two = Error::msg("inner").context("middle").context("outer");
    EXPECT_EQ(two.render(), "outer\n\nCaused by:\n    0: middle\n    1: inner");
    Error multi = Error::msg("line one\nline two").context("top");
    EXPECT_EQ(multi.render(), "top\n\nCaused by:\n    line one\n    line two");
}

}  // namespace
}  // namespace quorvex
