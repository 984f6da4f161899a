#pragma once
// A value or an error, returned instead of thrown across module borders.

#include <utility>
#include <variant>

namespace debrindle {

template <class E>
struct Failure {
    E error;
};

template <class E>
Failure(E) -> Failure<E>;

template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <class F>
    Result(Failure<F> failure) : state_(std::in_place_index<1>, E(std::move(failure.error))) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    E& error() & { return std::get<1>(state_); }
    const E& error() const& { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, E> state_;
};

// For operations that return nothing on success.
struct Done {};

}  // namespace debrindle
