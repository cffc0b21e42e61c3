#pragma once

// The one result type for operations whose failure is an expected outcome, not an exception:
// a value, or the error that stopped it. Factories that can fail return it instead of a null
// pointer plus an error out-parameter.

#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace lumetta {

/// What failed, in words fit for the page or the log (strerror wording for system calls).
struct Error {
    std::string message;
};

/// An error on its way into an Expected: `return Unexpected(Error{"..."});`.
template <class E>
struct Unexpected {
    // A constructor, not an aggregate: clang before 16 deduces no template arguments from
    // parentheses around an aggregate's members.
    explicit Unexpected(E e) : error(std::move(e)) {}
    E error;
};
template <class E>
Unexpected(E) -> Unexpected<E>;

namespace detail {
template <class U>
struct IsUnexpected : std::false_type {};
template <class E>
struct IsUnexpected<Unexpected<E>> : std::true_type {};
}  // namespace detail

/// Shorthand for the common case: the failure described by `message`.
inline Unexpected<Error> failure(std::string message) {
    return Unexpected<Error>(Error{std::move(message)});
}

/// Thrown when the side an Expected does not hold is read: a programming error.
class BadExpectedAccess : public std::logic_error {
  public:
    using std::logic_error::logic_error;
};

/// Holds either a value of type T or an error of type E. Converts implicitly from a T and from
/// an Unexpected<E>, so a function returns either one as it is. Movable and copyable as T and E
/// are.
template <class T, class E = Error>
class Expected {
    static_assert(!std::is_reference_v<T> && !std::is_void_v<T>, "use Expected<void, E>");

  public:
    /// A value: anything a T is made from (a derived unique_ptr for a base one, for one).
    template <class U = T>
    requires(std::is_constructible_v<T, U&&> && !std::is_same_v<std::remove_cvref_t<U>, Expected> &&
             !detail::IsUnexpected<std::remove_cvref_t<U>>::value) Expected(U&& value)
        : state_(std::in_place_index<0>, std::forward<U>(value)) {}
    /// An error.
    template <class G>
    Expected(Unexpected<G> error) : state_(std::in_place_index<1>, std::move(error.error)) {}

    /// True when a value is held.
    bool hasValue() const { return state_.index() == 0; }
    explicit operator bool() const { return hasValue(); }

    /// The value; throws BadExpectedAccess when an error is held.
    T& value() & { return std::get<0>(checked(true)); }
    const T& value() const& { return std::get<0>(checked(true)); }
    T&& value() && { return std::get<0>(std::move(checked(true))); }
    /// The error; throws BadExpectedAccess when a value is held.
    E& error() & { return std::get<1>(checked(false)); }
    const E& error() const& { return std::get<1>(checked(false)); }
    E&& error() && { return std::get<1>(std::move(checked(false))); }

    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

  private:
    std::variant<T, E>& checked(bool wantValue) {
        if (hasValue() != wantValue) throw BadExpectedAccess(wantValue ? "no value" : "no error");
        return state_;
    }
    const std::variant<T, E>& checked(bool wantValue) const {
        if (hasValue() != wantValue) throw BadExpectedAccess(wantValue ? "no value" : "no error");
        return state_;
    }

    std::variant<T, E> state_;
};

/// Success with nothing to return, or an error of type E.
template <class E>
class Expected<void, E> {
  public:
    Expected() = default;
    template <class G>
    Expected(Unexpected<G> error) : error_(std::move(error.error)), failed_(true) {}

    bool hasValue() const { return !failed_; }
    explicit operator bool() const { return hasValue(); }
    /// Nothing; throws BadExpectedAccess when an error is held.
    void value() const {
        if (failed_) throw BadExpectedAccess("no value");
    }
    /// The error; throws BadExpectedAccess on success.
    const E& error() const& {
        if (!failed_) throw BadExpectedAccess("no error");
        return error_;
    }

  private:
    E error_{};
    bool failed_ = false;
};

}  // namespace lumetta
