// Work buffers that outlive a call.
//
// The layer calls the cores once per block, with blocks of one size, and a
// fresh buffer of a few MiB is handed out by the allocator as pages the
// system must fault in and zero one by one on every call (a quarter of a
// call's time, more when both cores do it). So the buffers a call used are
// kept for the next one, on any thread: a pool per process, not per thread,
// since a thread that ends would take its buffers with it and a new one
// (each call of a short-lived thread, or a pool's worker that was replaced)
// would fault them in again, and two threads faulting at once wait on each
// other in the system. A buffer above kKeepBytes is given back at the end of
// its use, so a single huge call does not pin its memory, and the pool keeps
// at most kPoolBytes of each element type.
#pragma once

#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

namespace qp {

inline constexpr std::size_t kKeepBytes = std::size_t{16} << 20;
inline constexpr std::size_t kPoolBytes = std::size_t{96} << 20;

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
  struct Pool {
    std::mutex lock;
    std::vector<std::vector<T>> kept;
    std::size_t bytes = 0;
  };
  static Pool& pool() {
    static Pool* shared = new Pool;  // never destroyed: a thread may still give back at exit
    return *shared;
  }

  // The kept buffer that fits n best: the smallest that holds n, else the
  // largest (so buffers of different sizes each find their own again).
  void take(std::size_t n) {
    held_ = true;
    Pool& p = pool();
    std::lock_guard<std::mutex> guard(p.lock);
    auto& kept = p.kept;
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
    p.bytes -= kept[pick].capacity() * sizeof(T);
    store_.swap(kept[pick]);
    if (pick + 1 != kept.size()) kept[pick] = std::move(kept.back());
    kept.pop_back();
  }

  void give_back() {
    const std::size_t bytes = store_.capacity() * sizeof(T);
    if (!held_ || bytes > kKeepBytes) return;
    Pool& p = pool();
    std::lock_guard<std::mutex> guard(p.lock);
    if (p.bytes + bytes > kPoolBytes) return;  // freed with store_
    p.bytes += bytes;
    p.kept.push_back(std::move(store_));
  }

  std::vector<T> store_;
  bool held_ = false;
};

}  // namespace qp
