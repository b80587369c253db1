// The encoder's circular stream buffer: coded bytes are appended at the head and given back
// at the tail in the order they were appended. A unit that does not fit before the end
// continues at the start, as the stream record's readers expect.
#pragma once

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <vector>

namespace imp_host {

class StreamRing {
 public:
  explicit StreamRing(size_t size) : data_(size) {}

  uint8_t* base() { return data_.data(); }
  size_t size() const { return data_.size(); }
  size_t used() const { return used_; }
  size_t free_bytes() const { return data_.size() - used_; }

  // Copies `length` bytes in at the head; their offset, or -1 when there is no room.
  int64_t append(const uint8_t* bytes, size_t length) {
    if (length > free_bytes()) {
      return -1;
    }
    const size_t offset = head_;
    const size_t first = std::min(length, data_.size() - offset);
    memcpy(data_.data() + offset, bytes, first);
    memcpy(data_.data(), bytes + first, length - first);
    head_ = (head_ + length) % data_.size();
    used_ += length;
    return static_cast<int64_t>(offset);
  }
  // Gives back the oldest `length` bytes.
  void release(size_t length) {
    length = std::min(length, used_);
    tail_ = (tail_ + length) % data_.size();
    used_ -= length;
  }

 private:
  std::vector<uint8_t> data_;
  size_t head_ = 0;
  size_t tail_ = 0;
  size_t used_ = 0;
};

}  // namespace imp_host
