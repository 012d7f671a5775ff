#include "main/human.hpp"

#include <fmt/format.h>

namespace quorvex {

std::string human(uint64_t bytes) {
    // fmt's "{:.2}" would mean two significant digits; the decimals need the "f" form.
    if (bytes >= 1'000'000) return fmt::format("{:.2f} MB", static_cast<double>(bytes) / 1e6);
    if (bytes >= 1'000) return fmt::format("{:.1f} KB", static_cast<double>(bytes) / 1e3);
    return fmt::format("{} B", bytes);
}

}  // namespace quorvex
