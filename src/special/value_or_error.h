// Result type of the elliptic integrals: a double, or an error carrying one
// fixed message with static storage duration. Nothing is allocated.
#pragma once

#include "math_constants.h"

namespace caustiqa::special {

class ValueOrError {
public:
    static constexpr ValueOrError value_of(double v) noexcept { return ValueOrError(v, nullptr); }
    static constexpr ValueOrError error_of(const char* message) noexcept {
        return ValueOrError(0.0, message);
    }

    constexpr bool is_error() const noexcept { return message_ != nullptr; }
    // The value; meaningful only when !is_error().
    constexpr double value() const noexcept { return value_; }
    // The error's message; null when this holds a value.
    constexpr const char* error() const noexcept { return message_; }
    // The value, or a quiet NaN in place of an error.
    double value_or_nan() const noexcept;

private:
    constexpr ValueOrError(double v, const char* m) noexcept : value_(v), message_(m) {}
    double value_;
    const char* message_;
};

inline double ValueOrError::value_or_nan() const noexcept {
    return message_ != nullptr ? not_a_number : value_;
}

} // namespace caustiqa::special
