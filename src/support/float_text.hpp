#pragma once
// Console text of floats: the shortest decimal that reads back to the same value of the
// float's own width, never in exponent form ("2" for 2.0, "0.0000001" for 1e-7).

#include <fmt/format.h>

#include <string>

namespace quorvex {

std::string plain_text(float v);
std::string plain_text(double v);

template <class F>
struct Plain {
    F value;
};
inline Plain<float> plain(float v) { return {v}; }
inline Plain<double> plain(double v) { return {v}; }

}  // namespace quorvex

template <class F>
struct fmt::formatter<quorvex::Plain<F>> : fmt::formatter<std::string_view> {
    template <class Ctx>
    auto format(const quorvex::Plain<F>& p, Ctx& ctx) const {
        std::string s = quorvex::plain_text(p.value);
        return fmt::formatter<std::string_view>::format(s, ctx);
    }
};
