// A single-producer, single-consumer ring of floats: lock-free, wait-free and allocation-free
// once made, so the audio thread can hand samples to a helper thread and back.
#pragma once

#include <atomic>
#include <cstddef>
#include <vector>

class spsc_ring {
 public:
  explicit spsc_ring(size_t capacity) : data_(capacity + 1) {}

  size_t available() const {
    const size_t w = write_.load(std::memory_order_acquire);
    const size_t r = read_.load(std::memory_order_relaxed);
    return w >= r ? w - r : w + data_.size() - r;
  }
  size_t space() const { return data_.size() - 1 - available_for_writer(); }

  // Producer: stores up to n samples; returns how many fitted.
  size_t push(const float *in, size_t n) {
    const size_t w = write_.load(std::memory_order_relaxed);
    const size_t room = data_.size() - 1 - used(w, read_.load(std::memory_order_acquire));
    const size_t count = n < room ? n : room;
    for (size_t i = 0; i < count; ++i) data_[(w + i) % data_.size()] = in[i];
    write_.store((w + count) % data_.size(), std::memory_order_release);
    return count;
  }
  size_t push_zeros(size_t n) {
    const size_t w = write_.load(std::memory_order_relaxed);
    const size_t room = data_.size() - 1 - used(w, read_.load(std::memory_order_acquire));
    const size_t count = n < room ? n : room;
    for (size_t i = 0; i < count; ++i) data_[(w + i) % data_.size()] = 0.0f;
    write_.store((w + count) % data_.size(), std::memory_order_release);
    return count;
  }

  // Consumer: takes up to n samples (into `out` when it is non-null); returns how many.
  size_t pop(float *out, size_t n) {
    const size_t r = read_.load(std::memory_order_relaxed);
    const size_t have = used(write_.load(std::memory_order_acquire), r);
    const size_t count = n < have ? n : have;
    if (out)
      for (size_t i = 0; i < count; ++i) out[i] = data_[(r + i) % data_.size()];
    read_.store((r + count) % data_.size(), std::memory_order_release);
    return count;
  }

 private:
  size_t used(size_t w, size_t r) const { return w >= r ? w - r : w + data_.size() - r; }
  size_t available_for_writer() const {
    return used(write_.load(std::memory_order_relaxed), read_.load(std::memory_order_acquire));
  }
  std::vector<float> data_;
  std::atomic<size_t> write_{0};
  std::atomic<size_t> read_{0};
};
