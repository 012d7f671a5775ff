#pragma once
// The container preamble: magic "QRVX", version u16, flags u16 (bit 0: colours denoised),
// header length u32, all little-endian, followed by the compact JSON header.

#include <array>
#include <cstddef>
#include <cstdint>

namespace quorvex {

inline constexpr std::array<uint8_t, 4> kMagic = {'Q', 'R', 'V', 'X'};
inline constexpr uint16_t kFormatVersion = 1;
inline constexpr size_t kPreambleBytes = 12;
// A GOP section starts with its stream count as u16.
inline constexpr size_t kGopCountBytes = 2;

}  // namespace quorvex
