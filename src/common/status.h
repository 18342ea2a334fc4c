// Status and Result: how engine code reports failure without exceptions.
// A failure carries the text that eventually reaches the caller; the binding
// layer turns it into a Python exception in one place. Plain values, no
// thread affinity.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace quillmere {

// Success, or a failure with its message.
class Status {
 public:
  static Status Ok() { return Status(); }
  static Status Error(std::string message) { return Status(std::move(message)); }

  bool ok() const { return !message_.has_value(); }
  // The failure's text; empty for success.
  const std::string& message() const {
    // Never destroyed: threads still report while the process exits.
    static const std::string& kNone = *new std::string();
    return message_ ? *message_ : kNone;
  }

 private:
  Status() = default;
  explicit Status(std::string message) : message_(std::move(message)) {}

  std::optional<std::string> message_;
};

// A value of type T, or a failure with its message.
template <typename T>
class Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Status failure) : state_(std::in_place_index<1>, failure.message()) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const T& value() const& { return std::get<0>(state_); }
  const std::string& error() const { return std::get<1>(state_); }
  Status status() const { return ok() ? Status::Ok() : Status::Error(error()); }

 private:
  std::variant<T, std::string> state_;
};

}  // namespace quillmere
