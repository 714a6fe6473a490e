// Working memory of the module's operations: arrays on the C++ heap.
//
// diff sorts and scans with the interpreter lock released and must be able
// to free what it holds from there, on every path. That includes the one
// where the interpreter, at exit, ends a thread that is inside diff by
// unwinding its stack when it asks for the lock back; the interpreter's own
// allocator may be gone by then, and needs the lock anyway. malloc and free
// need neither. The algorithms use the same arrays, so one kind of memory
// serves every stage.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace core {

// True when `count` items of `item_size` bytes fit in one size_t of bytes:
// on a 32-bit platform (old length + 1) * 4 bytes already may not.
constexpr bool array_size_fits(std::size_t count, std::size_t item_size) {
  return count <= SIZE_MAX / item_size;
}

// The suffix array and the indexes over it are read at random, a few bytes
// at each place. On 4 KiB pages nearly every such read also misses the
// translation cache and walks the page tables; 2 MiB pages keep the whole
// array in it. Linux gives them to memory that asks before it is first
// touched (where it is set to give them only on request, as by default).
// Advice only: when it is not taken, nothing else changes.
constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

inline void advise_huge_pages(void* memory, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes < 4 * kHugePageBytes) return;
  const auto start = reinterpret_cast<std::uintptr_t>(memory);
  const std::uintptr_t begin = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  const std::uintptr_t end = (start + bytes) & ~(kHugePageBytes - 1);
  if (begin < end) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)memory;
  (void)bytes;
#endif
}

// An array of trivially copyable items from malloc, freed by its owner.
template <typename T>
class HeapArray {
  static_assert(std::is_trivially_copyable_v<T>, "items are moved by realloc");

 public:
  HeapArray() = default;
  HeapArray(const HeapArray&) = delete;
  HeapArray& operator=(const HeapArray&) = delete;
  HeapArray(HeapArray&& other) noexcept
      : items_(std::exchange(other.items_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  HeapArray& operator=(HeapArray&& other) noexcept {
    if (this != &other) {
      reset();
      items_ = std::exchange(other.items_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~HeapArray() { reset(); }

  // Replaces the array with `count` items of unspecified value. Returns
  // false, holding nothing, when the size cannot be had; one item more
  // than asked is never taken, so an empty array is a real block too.
  bool allocate(std::size_t count) {
    reset();
    if (!array_size_fits(count == 0 ? 1 : count, sizeof(T))) return false;
    items_ = static_cast<T*>(std::malloc((count == 0 ? 1 : count) * sizeof(T)));
    if (items_ == nullptr) return false;
    advise_huge_pages(items_, count * sizeof(T));
    size_ = count;
    return true;
  }

  // Keeps the first min(size(), count) items. On failure nothing changes.
  bool resize(std::size_t count) {
    if (!array_size_fits(count == 0 ? 1 : count, sizeof(T))) return false;
    void* grown = std::realloc(items_, (count == 0 ? 1 : count) * sizeof(T));
    if (grown == nullptr) return false;
    items_ = static_cast<T*>(grown);
    size_ = count;
    return true;
  }

  void reset() {
    std::free(items_);
    items_ = nullptr;
    size_ = 0;
  }

  T* get() const { return items_; }
  std::size_t size() const { return size_; }
  T& operator[](std::size_t index) const {
    assert(index < size_);
    return items_[index];
  }

 private:
  T* items_ = nullptr;
  std::size_t size_ = 0;
};

// A HeapArray that grows as items are appended, doubling its capacity.
template <typename T>
class GrowableArray {
 public:
  // False, with nothing appended, when memory is short.
  bool push_back(const T& item) {
    if (size_ == items_.size() && !items_.resize(size_ == 0 ? kFirstCapacity : 2 * size_)) {
      return false;
    }
    items_[size_++] = item;
    return true;
  }
  // Appends `count` items from `first` on. False, with nothing appended,
  // when memory is short.
  bool append(const T* first, std::size_t count) {
    if (count > items_.size() - size_) {
      std::size_t capacity = items_.size() == 0 ? kFirstCapacity : items_.size();
      while (capacity - size_ < count) {
        if (capacity > SIZE_MAX / 2) return false;
        capacity *= 2;
      }
      if (!items_.resize(capacity)) return false;
    }
    for (std::size_t i = 0; i < count; ++i) items_[size_ + i] = first[i];
    size_ += count;
    return true;
  }
  void clear() { size_ = 0; }

  const T* data() const { return items_.get(); }
  std::size_t size() const { return size_; }
  const T& operator[](std::size_t index) const {
    assert(index < size_);
    return items_[index];
  }
  const T& back() const { return (*this)[size_ - 1]; }

 private:
  static constexpr std::size_t kFirstCapacity = 64;
  HeapArray<T> items_;
  std::size_t size_ = 0;
};

}  // namespace core
