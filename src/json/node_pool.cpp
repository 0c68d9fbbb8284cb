#include "json/node_pool.h"

#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define EST_JSON_POOL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define EST_JSON_POOL 0
#endif
#endif
#ifndef EST_JSON_POOL
#define EST_JSON_POOL 1
#endif

namespace est::detail {

#if EST_JSON_POOL
namespace {

constexpr std::size_t kGrain = 16;
constexpr std::size_t kClasses = 32;  // blocks up to 512 bytes are cached
// Enough for the blocks of a few megabytes of parsed text; what one huge document frees beyond
// it goes back to the heap.
constexpr std::size_t kMaxCachedBytes = std::size_t(16) << 20;

struct FreeBlock {
  FreeBlock* next;
};

// Plain data so that it stays usable (as "closed") after the thread's destructors ran.
// Each class is a queue, not a stack: a tree is released in the order it was built, so the next
// tree gets its blocks back in that order and is laid out as compactly as the first one was.
struct Cache {
  FreeBlock* heads[kClasses];
  FreeBlock* tails[kClasses];
  std::size_t cachedBytes;
  bool registered;
  bool closed;
};
thread_local Cache tCache;

void drain(Cache& cache) noexcept {
  for (std::size_t c = 0; c < kClasses; ++c) {
    for (FreeBlock* b = cache.heads[c]; b;) {
      FreeBlock* next = b->next;
      ::operator delete(b);
      b = next;
    }
    cache.heads[c] = nullptr;
    cache.tails[c] = nullptr;
  }
  cache.cachedBytes = 0;
}

// Gives the cached blocks back when the thread ends; values released after that (by later
// thread-local or static destructors) go straight to the heap.
struct Closer {
  ~Closer() {
    drain(tCache);
    tCache.closed = true;
  }
  void arm() noexcept {}
};

inline std::size_t classOf(std::size_t bytes) noexcept {
  return bytes == 0 ? 0 : (bytes - 1) / kGrain;
}

}  // namespace

void* poolAllocate(std::size_t bytes) {
  const std::size_t c = classOf(bytes);
  if (c < kClasses) {
    Cache& cache = tCache;
    if (FreeBlock* b = cache.heads[c]) {
      cache.heads[c] = b->next;
      cache.cachedBytes -= (c + 1) * kGrain;
      return b;
    }
    return ::operator new((c + 1) * kGrain);
  }
  return ::operator new(bytes);
}

void poolRelease(void* block, std::size_t bytes) noexcept {
  const std::size_t c = classOf(bytes);
  if (c < kClasses) {
    Cache& cache = tCache;
    const std::size_t size = (c + 1) * kGrain;
    if (!cache.closed && cache.cachedBytes + size <= kMaxCachedBytes) {
      if (!cache.registered) [[unlikely]] {
        cache.registered = true;
        static thread_local Closer closer;
        closer.arm();
      }
      auto* b = static_cast<FreeBlock*>(block);
      b->next = nullptr;
      if (cache.heads[c])
        cache.tails[c]->next = b;
      else
        cache.heads[c] = b;
      cache.tails[c] = b;
      cache.cachedBytes += size;
      return;
    }
  }
  ::operator delete(block);
}

#else  // under AddressSanitizer every block goes to the heap, so misuse is still caught

void* poolAllocate(std::size_t bytes) {
  return ::operator new(bytes);
}

void poolRelease(void* block, std::size_t) noexcept {
  ::operator delete(block);
}

#endif

}  // namespace est::detail
