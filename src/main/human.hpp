#pragma once
// Byte counts for the console, in decimal units.

#include <cstdint>
#include <string>

namespace quorvex {

// "{:.2f} MB" of bytes / 1e6 from 1,000,000 up, "{:.1f} KB" of bytes / 1e3 from 1,000 up,
// otherwise "{} B": 999 → "999 B", 1000 → "1.0 KB", 999999 → "1000.0 KB", 1000000 → "1.00 MB".
std::string human(uint64_t bytes);

}  // namespace quorvex
