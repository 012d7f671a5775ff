#pragma once
// The five splat attributes, their codes and component counts. Wherever attributes are
// listed per splat (stream attr bytes, dynamic patterns, GOP streams) they go in code order
// pos, rot, rgb, alpha, scale.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvex {

enum Attr : uint8_t { kAttrPos = 0, kAttrRot = 1, kAttrRgb = 2, kAttrAlpha = 3, kAttrScale = 4 };
inline constexpr size_t kAttrCount = 5;
inline constexpr std::array<std::string_view, kAttrCount> kAttrNames = {"pos", "rot", "rgb", "alpha",
                                                                         "scale"};
inline constexpr std::array<size_t, kAttrCount> kAttrComponents = {3, 4, 3, 1, 3};

// Stream kinds carried in every stream record.
enum StreamKind : uint8_t { kKindKey = 0, kKindDelta = 1, kKindStatic = 2 };

}  // namespace quorvex
