#pragma once
// The 32-byte little-endian .splat record: position 3×f32, scale 3×f32, colour 3×u8,
// opacity u8, rotation 4×u8 with 128 meaning 0.

#include <cstddef>

namespace quorvex {

inline constexpr size_t kSplatBytes = 32;
inline constexpr size_t kSplatPosOffset = 0;
inline constexpr size_t kSplatScaleOffset = 12;
inline constexpr size_t kSplatRgbOffset = 24;
inline constexpr size_t kSplatAlphaOffset = 27;
inline constexpr size_t kSplatRotOffset = 28;

// Scales at or below this (and NaN) are stored as ln(kMinScale).
inline constexpr float kMinScale = 1e-9f;

}  // namespace quorvex
