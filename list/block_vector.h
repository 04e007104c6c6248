// A sequence that grows in fixed blocks instead of one array it doubles.
//
// A folder list of 200,000 rows of about 150 bytes is 30 MB. Grown as one
// array it would briefly hold both the old array and the one twice its size
// (60 MB at the last doubling); grown in blocks, it never holds more than its
// rows and one partly filled block, and nothing is ever copied.
//
// Only what the list needs: append, index, size, clear. Elements never move
// while the sequence grows.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

namespace tallyroot {

template <typename T, std::size_t kBlock = 1024>
class BlockVector {
 public:
  BlockVector() = default;
  ~BlockVector() { clear(); }
  BlockVector(const BlockVector&) = delete;
  BlockVector& operator=(const BlockVector&) = delete;

  std::size_t size() const { return size_; }

  T& operator[](std::size_t at) { return *Slot(at); }
  const T& operator[](std::size_t at) const { return *Slot(at); }

  T& emplace_back() {
    if (size_ == blocks_.size() * kBlock) blocks_.emplace_back(new Storage[kBlock]);
    T* element = new (Slot(size_)) T();
    ++size_;
    return *element;
  }

  // Destroys every element and frees every block.
  void clear() {
    for (std::size_t at = size_; at > 0; --at) Slot(at - 1)->~T();
    size_ = 0;
    blocks_.clear();
  }

 private:
  struct alignas(T) Storage {
    std::byte bytes[sizeof(T)];
  };

  T* Slot(std::size_t at) const {
    return std::launder(reinterpret_cast<T*>(blocks_[at / kBlock][at % kBlock].bytes));
  }

  std::vector<std::unique_ptr<Storage[]>> blocks_;
  std::size_t size_ = 0;
};

}  // namespace tallyroot
