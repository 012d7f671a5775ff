#pragma once
// The error value every fallible function returns: a message with a chain of
// context messages, and Result<T> holding either a value or an Error.

#include <fmt/core.h>

#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace quorvex {

struct Error {
    // messages[0] is the innermost cause, messages.back() the outermost context.
    std::vector<std::string> messages;

    template <class... A>
    static Error make(fmt::format_string<A...> f, A&&... a) {
        return Error{{fmt::format(f, std::forward<A>(a)...)}};
    }
    static Error msg(std::string text) { return Error{{std::move(text)}}; }

    // Wraps this error in an outer context message.
    Error context(std::string outer) && {
        messages.push_back(std::move(outer));
        return std::move(*this);
    }
    const std::string& message() const { return messages.back(); }
    const std::string& root_cause() const { return messages.front(); }

    // Outermost message; with causes, an empty line, "Caused by:" and the causes from outer
    // to inner: indented four spaces when there is one, numbered "{:>5}: " when several.
    std::string render() const;
};

struct Ok {};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool has_value() const { return v_.index() == 0; }
    explicit operator bool() const { return has_value(); }

    T& operator*() & { return std::get<0>(v_); }
    const T& operator*() const& { return std::get<0>(v_); }
    T&& operator*() && { return std::get<0>(std::move(v_)); }
    T* operator->() { return &std::get<0>(v_); }
    const T* operator->() const { return &std::get<0>(v_); }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }

    Error& error() & { return std::get<1>(v_); }
    const Error& error() const& { return std::get<1>(v_); }
    Error&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, Error> v_;
};

using Status = Result<Ok>;

}  // namespace quorvex

#define QX_CONCAT_INNER(a, b) a##b
#define QX_CONCAT(a, b) QX_CONCAT_INNER(a, b)

// QX_TRY(var, expr): evaluates a Result, returns its error from the enclosing function,
// otherwise binds the value to `var`.
#define QX_TRY(var, expr)                                      \
    auto QX_CONCAT(var, _result_) = (expr);                    \
    if (!QX_CONCAT(var, _result_))                             \
        return std::move(QX_CONCAT(var, _result_)).error();    \
    auto var = std::move(*std::move(QX_CONCAT(var, _result_)))

// QX_TRY_CTX(var, expr, fmt, args...): the same, wrapping an error in a context message.
#define QX_TRY_CTX(var, expr, ...)                                                         \
    auto QX_CONCAT(var, _result_) = (expr);                                                \
    if (!QX_CONCAT(var, _result_))                                                         \
        return std::move(QX_CONCAT(var, _result_)).error().context(fmt::format(__VA_ARGS__)); \
    auto var = std::move(*std::move(QX_CONCAT(var, _result_)))

// QX_CHECK(status_expr): returns the error of a Status-like result, if any.
#define QX_CHECK(expr)                                                   \
    do {                                                                 \
        auto qx_check_result_ = (expr);                                  \
        if (!qx_check_result_) return std::move(qx_check_result_).error(); \
    } while (0)
