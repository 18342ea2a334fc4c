// A bounded multi-producer, single-consumer channel between the Python-facing
// methods and the background threads. Any thread may use a Sender (copies
// count as further senders); one thread at a time uses the Receiver. When the
// last Sender is gone the channel is disconnected for the Receiver once it is
// empty; when the Receiver is gone every send fails and queued items are
// dropped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
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
  std::condition_variable not_full;   // signalled on pop and on the receiver leaving
  std::deque<T> items;                // guarded by mutex
  std::size_t senders = 1;            // guarded by mutex
  bool receiver_alive = true;         // guarded by mutex
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

enum class TrySendResult { kSent, kFull, kDisconnected };
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

  // Waits while the channel is full. Fails, dropping the value, once the
  // receiver has gone.
  Status send(T value) const {
    std::unique_lock lock(state_->mutex);
    state_->not_full.wait(lock, [&] {
      return !state_->receiver_alive || state_->items.size() < state_->capacity;
    });
    if (!state_->receiver_alive) return Status::Error(std::string(kDisconnectedText));
    state_->items.push_back(std::move(value));
    state_->not_empty.notify_one();
    return Status::Ok();
  }

  // Never waits. The value is moved from only when it was sent.
  TrySendResult try_send(T& value) const {
    std::lock_guard lock(state_->mutex);
    if (!state_->receiver_alive) return TrySendResult::kDisconnected;
    if (state_->items.size() >= state_->capacity) return TrySendResult::kFull;
    state_->items.push_back(std::move(value));
    state_->not_empty.notify_one();
    return TrySendResult::kSent;
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
