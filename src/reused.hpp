// Work buffers that outlive a call on the same thread.
//
// The layer calls the cores once per block, with blocks of one size, and a
// fresh buffer of a few MiB is handed out by the allocator as pages the
// system must fault in and zero one by one on every call (a quarter of a
// call's time, more when both cores do it). So each thread keeps the
// buffers its last call used and hands them to the next one. A buffer above
// kKeepBytes is given back at the end of its use, so a single huge call does
// not pin its memory to the thread; what a thread keeps is at most the
// buffers one call holds at once.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace qp {

inline constexpr std::size_t kKeepBytes = std::size_t{16} << 20;

template <typename T>
class Reused {
 public:
  Reused() = default;
  // n elements, left as the last user wrote them: every user writes each
  // element before it reads it, so filling them first would only stream a
  // few MiB through memory for nothing.
  explicit Reused(std::size_t n) { resize(n); }
  ~Reused() { give_back(); }
  Reused(const Reused&) = delete;
  Reused& operator=(const Reused&) = delete;

  void resize(std::size_t n) {
    if (!held_) take(n);
    store_.resize(n);
  }
  T* data() { return store_.data(); }
  const T* data() const { return store_.data(); }
  T& operator[](std::size_t i) { return store_[i]; }
  const T& operator[](std::size_t i) const { return store_[i]; }
  std::size_t size() const { return store_.size(); }

 private:
  static std::vector<std::vector<T>>& pool() {
    thread_local std::vector<std::vector<T>> kept;
    return kept;
  }

  // The kept buffer that fits n best: the smallest that holds n, else the
  // largest (so buffers of different sizes each find their own again).
  void take(std::size_t n) {
    held_ = true;
    auto& kept = pool();
    std::size_t pick = kept.size();
    for (std::size_t i = 0; i < kept.size(); ++i) {
      const std::size_t c = kept[i].capacity();
      if (pick == kept.size()) {
        pick = i;
        continue;
      }
      const std::size_t best = kept[pick].capacity();
      if (c >= n ? (best < n || c < best) : (best < n && c > best)) pick = i;
    }
    if (pick == kept.size()) return;
    store_.swap(kept[pick]);
    if (pick + 1 != kept.size()) kept[pick] = std::move(kept.back());
    kept.pop_back();
  }

  void give_back() {
    if (!held_ || store_.capacity() * sizeof(T) > kKeepBytes) return;
    pool().push_back(std::move(store_));
  }

  std::vector<T> store_;
  bool held_ = false;
};

}  // namespace qp
