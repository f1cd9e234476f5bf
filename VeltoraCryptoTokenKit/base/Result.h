#pragma once

#include "Error.h"

#include <cassert>
#include <utility>
#include <variant>

namespace veltora {

// A value or the error that prevented it.
template <class T> class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & {
        assert(ok());
        return std::get<0>(state_);
    }
    const T& value() const& {
        assert(ok());
        return std::get<0>(state_);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(state_));
    }
    const Error& error() const {
        assert(!ok());
        return std::get<1>(state_);
    }

private:
    std::variant<T, Error> state_;
};

// Success without a value, or an error.
template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)), failed_(true) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const Error& error() const {
        assert(failed_);
        return error_;
    }

private:
    Error error_;
    bool failed_ = false;
};

} // namespace veltora

// Propagation: a failed Result leaves the calling function with its error.
#define VELTORA_JOIN_INNER(a, b) a##b
#define VELTORA_JOIN(a, b) VELTORA_JOIN_INNER(a, b)

// Returns the error of `expression` (any Result) from the enclosing function.
#define VELTORA_RETURN_IF_ERROR(expression)                                                                  \
    do {                                                                                                     \
        if (auto&& veltoraChecked_ = (expression); !veltoraChecked_) {                                       \
            return veltoraChecked_.error();                                                                  \
        }                                                                                                    \
    } while (false)

// Declares or assigns `target` from the value of `expression`, or returns its error.
#define VELTORA_ASSIGN_OR_RETURN(target, expression)                                                         \
    VELTORA_ASSIGN_OR_RETURN_WITH(VELTORA_JOIN(veltoraResult_, __LINE__), target, expression)
#define VELTORA_ASSIGN_OR_RETURN_WITH(result, target, expression)                                            \
    auto result = (expression);                                                                              \
    if (!result) {                                                                                           \
        return result.error();                                                                               \
    }                                                                                                        \
    target = std::move(result).value()
