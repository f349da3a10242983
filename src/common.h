// Constants and small ownership helpers that every part of the engine shares. Internal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

// The separator between the models directory and a file name in it. A macro, so that paths are
// still formatted from one literal.
#if defined(_WIN32)
#define QV_PATH_SEPARATOR "\\"
#else
#define QV_PATH_SEPARATOR "/"
#endif

namespace qv {

constexpr int kEmbeddingSize = 256;
constexpr int kModelRate = 22050;       // every neural step runs at this rate
constexpr int kStreamRate = 16000;      // the real-time stream's rate
constexpr int kMinModelSamples = 1024;  // one spectrogram frame's worth at the model rate
constexpr size_t kPathSize = 1024;

// Storage for an object that is built at load and never destroyed, so that a worker thread or a
// host thread still running at process exit never meets a destroyed lock.
template <typename T>
class never_destroyed {
 public:
  never_destroyed() { new (storage_) T(); }
  T &get() { return *reinterpret_cast<T *>(storage_); }
  T *operator->() { return &get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

struct free_deleter {
  void operator()(void *p) const { std::free(p); }
};
// A buffer from malloc, released with free: the engine's working buffers cross internal
// functions that release them with free, so they are malloc'ed, not new'ed.
template <typename T>
using malloc_ptr = std::unique_ptr<T, free_deleter>;

template <typename T>
malloc_ptr<T> malloc_array(size_t count) {
  return malloc_ptr<T>(static_cast<T *>(std::malloc((count ? count : 1) * sizeof(T))));
}

// Case-insensitive comparison of ASCII letters; other bytes must match exactly. No locale, so a
// voice name compares the same in every host.
inline bool ascii_iequals(const char *a, const char *b) {
  for (;; ++a, ++b) {
    unsigned char ca = static_cast<unsigned char>(*a);
    unsigned char cb = static_cast<unsigned char>(*b);
    if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca - 'A' + 'a');
    if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb - 'A' + 'a');
    if (ca != cb) return false;
    if (ca == '\0') return true;
  }
}

}  // namespace qv
