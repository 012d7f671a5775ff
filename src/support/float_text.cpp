#include "support/float_text.hpp"

#include <charconv>
#include <cmath>

namespace quorvex {

namespace {

template <class F>
std::string plain_impl(F v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buf[512];
    // Fixed notation without a precision is the shortest text that round-trips.
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    return std::string(buf, r.ptr);
}

}  // namespace

std::string plain_text(float v) { return plain_impl(v); }
std::string plain_text(double v) { return plain_impl(v); }

}  // namespace quorvex
