#include "support/error.hpp"

namespace quorvex {

namespace {

// Continuation lines of a multi-line cause are indented under its first line.
void append_indented(std::string& out, const std::string& text, const std::string& first_prefix,
                     size_t indent) {
    out += first_prefix;
    for (char c : text) {
        out += c;
        if (c == '\n') out.append(indent, ' ');
    }
}

}  // namespace

std::string Error::render() const {
    if (messages.empty()) return "unknown error";
    std::string out = messages.back();
    if (messages.size() == 1) return out;
    out += "\n\nCaused by:";
    const size_t causes = messages.size() - 1;
    for (size_t i = 0; i < causes; ++i) {
        const std::string& cause = messages[causes - 1 - i];  // outer to inner
        out += '\n';
        if (causes == 1) {
            append_indented(out, cause, "    ", 4);
        } else {
            append_indented(out, cause, fmt::format("{:>5}: ", i), 7);
        }
    }
    return out;
}

}  // namespace quorvex
