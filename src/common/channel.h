// A bounded multi-producer, single-consumer channel between the Python-facing
// methods and the background threads. Any thread may use a Sender (copies
// count as further senders); one thread at a time uses the Receiver. When the
// last Sender is gone the channel is disconnected for the Receiver once it is
// empty; when the Receiver is gone every send fails and queued items are
// dropped. A last item sent with send_last closes the channel to every later
// send, so that nothing can be queued behind it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/status.h"

namespace quillmere {

// The error text of a send after the receiving side has gone.
inline constexpr std::string_view kDisconnectedText = "sending on a disconnected channel";

namespace channel_detail {

template <typename T>
struct State {
  explicit State(std::size_t capacity) : capacity(capacity) {}

  const std::size_t capacity;

  std::mutex mutex;
  std::condition_variable not_empty;  // signalled on push and on the last sender leaving
  std::condition_variable not_full;   // signalled on pop, on send_last and on the receiver leaving
  std::deque<T> items;                // guarded by mutex
  std::size_t senders = 1;            // guarded by mutex
  bool receiver_alive = true;         // guarded by mutex
  std::optional<std::string> refusal;  // guarded by mutex; set by send_last

  // Why a send fails now, if it does: the receiver has gone, or a last item
  // was sent.
  std::optional<std::string> closed_text_locked() const {
    if (!receiver_alive) return std::string(kDisconnectedText);
    return refusal;
  }
};

}  // namespace channel_detail

template <typename T>
class Sender;
template <typename T>
class Receiver;
template <typename T>
class LengthProbe;
template <typename T>
std::pair<Sender<T>, Receiver<T>> make_channel(std::size_t capacity);

enum class TrySendResult { kSent, kFull, kClosed };
enum class RecvResult { kValue, kTimeout, kDisconnected };

template <typename T>
class Sender {
 public:
  Sender(const Sender& other) : state_(other.state_) {
    if (state_) {
      std::lock_guard lock(state_->mutex);
      ++state_->senders;
    }
  }
  Sender(Sender&& other) noexcept = default;
  Sender& operator=(Sender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~Sender() {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    if (--state_->senders == 0) state_->not_empty.notify_all();
  }

  // Waits while the channel is full. Fails with the closed text, dropping
  // the value, once the receiver has gone or a last item was sent.
  Status send(T value) const { return send_waiting(std::move(value), std::nullopt); }

  // Sends `value` as the last item: later sends fail with `refusal` (or the
  // disconnected text once the receiver has gone). Waits and fails as send().
  Status send_last(T value, std::string refusal) const {
    return send_waiting(std::move(value), std::move(refusal));
  }

  // Never waits. The value is moved from only when it was sent.
  TrySendResult try_send(T& value) const {
    std::unique_lock lock(state_->mutex);
    return send_within(lock, value, std::chrono::nanoseconds::zero());
  }

  // Waits up to `timeout` for room. The value is moved from only when it was
  // sent.
  template <typename Rep, typename Period>
  TrySendResult send_for(T& value, std::chrono::duration<Rep, Period> timeout) const {
    std::unique_lock lock(state_->mutex);
    return send_within(lock, value, std::chrono::duration_cast<std::chrono::nanoseconds>(timeout));
  }

  // The text of a send that fails now: kDisconnectedText, or the refusal
  // given to send_last. Empty while sends can succeed.
  std::string closed_text() const {
    std::lock_guard lock(state_->mutex);
    return state_->closed_text_locked().value_or(std::string());
  }

  std::size_t len() const {
    std::lock_guard lock(state_->mutex);
    return state_->items.size();
  }

  // Whether the receiver has gone, so that every send fails.
  bool disconnected() const {
    std::lock_guard lock(state_->mutex);
    return !state_->receiver_alive;
  }

  // Measures the channel without counting as a sender, so holding it does
  // not keep the channel connected.
  LengthProbe<T> probe() const { return LengthProbe<T>(state_); }

 private:
  friend std::pair<Sender<T>, Receiver<T>> make_channel<T>(std::size_t capacity);
  explicit Sender(std::shared_ptr<channel_detail::State<T>> state) : state_(std::move(state)) {}

  Status send_waiting(T value, std::optional<std::string> refusal) const {
    std::unique_lock lock(state_->mutex);
    if (std::optional<std::string> closed = wait_for_room(lock, std::nullopt)) {
      return Status::Error(std::move(*closed));
    }
    push_locked(std::move(value));
    if (refusal) {
      state_->refusal = std::move(refusal);
      state_->not_full.notify_all();  // senders waiting for room fail now
    }
    return Status::Ok();
  }

  // Waits until the channel has room or is closed (at most `timeout` when
  // given); the closed text once it is closed, nothing otherwise.
  std::optional<std::string> wait_for_room(std::unique_lock<std::mutex>& lock,
                                           std::optional<std::chrono::nanoseconds> timeout) const {
    auto ready = [&] {
      return state_->closed_text_locked().has_value() || state_->items.size() < state_->capacity;
    };
    if (!timeout) {
      state_->not_full.wait(lock, ready);
    } else if (*timeout > std::chrono::nanoseconds::zero()) {
      state_->not_full.wait_for(lock, *timeout, ready);
    }
    return state_->closed_text_locked();
  }

  TrySendResult send_within(std::unique_lock<std::mutex>& lock, T& value,
                            std::chrono::nanoseconds timeout) const {
    if (wait_for_room(lock, timeout)) return TrySendResult::kClosed;
    if (state_->items.size() >= state_->capacity) return TrySendResult::kFull;
    push_locked(std::move(value));
    return TrySendResult::kSent;
  }

  void push_locked(T value) const {
    state_->items.push_back(std::move(value));
    state_->not_empty.notify_one();
  }

  std::shared_ptr<channel_detail::State<T>> state_;
};

template <typename T>
class Receiver {
 public:
  Receiver(Receiver&& other) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept = default;
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() {
    if (!state_) return;
    std::deque<T> dropped;
    {
      std::lock_guard lock(state_->mutex);
      state_->receiver_alive = false;
      dropped.swap(state_->items);
      state_->not_full.notify_all();
    }
  }

  // Waits up to `timeout` for a value. Reports a disconnection only once the
  // channel is empty and every sender has gone.
  template <typename Rep, typename Period>
  RecvResult recv_timeout(std::chrono::duration<Rep, Period> timeout, T& out) {
    std::unique_lock lock(state_->mutex);
    const bool ready = state_->not_empty.wait_for(
        lock, timeout, [&] { return !state_->items.empty() || state_->senders == 0; });
    if (!ready) return RecvResult::kTimeout;
    if (state_->items.empty()) return RecvResult::kDisconnected;
    out = pop_locked();
    return RecvResult::kValue;
  }

  // Waits for a value; nothing once the channel is empty and disconnected.
  std::optional<T> recv() {
    std::unique_lock lock(state_->mutex);
    state_->not_empty.wait(lock,
                           [&] { return !state_->items.empty() || state_->senders == 0; });
    if (state_->items.empty()) return std::nullopt;
    return pop_locked();
  }

  // Never waits; an empty and a disconnected channel look alike.
  std::optional<T> try_recv() {
    std::lock_guard lock(state_->mutex);
    if (state_->items.empty()) return std::nullopt;
    return pop_locked();
  }

 private:
  friend std::pair<Sender<T>, Receiver<T>> make_channel<T>(std::size_t capacity);
  explicit Receiver(std::shared_ptr<channel_detail::State<T>> state) : state_(std::move(state)) {}

  T pop_locked() {
    T value = std::move(state_->items.front());
    state_->items.pop_front();
    state_->not_full.notify_one();
    return value;
  }

  std::shared_ptr<channel_detail::State<T>> state_;
};

template <typename T>
class LengthProbe {
 public:
  std::size_t len() const {
    std::lock_guard lock(state_->mutex);
    return state_->items.size();
  }

 private:
  friend class Sender<T>;
  explicit LengthProbe(std::shared_ptr<channel_detail::State<T>> state) : state_(std::move(state)) {}

  std::shared_ptr<channel_detail::State<T>> state_;
};

template <typename T>
std::pair<Sender<T>, Receiver<T>> make_channel(std::size_t capacity) {
  auto state = std::make_shared<channel_detail::State<T>>(capacity);
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace quillmere
