// The bytes of one broadcast (its header and its data back to back), copied once from the
// caller's buffer and then shared by every client queue that holds it.
//
// Immutable after construction, so any thread may read it without a lock; it goes away with
// the last queue (or write in flight) that refers to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace sorvo {

class TransferPacket {
 public:
  // Copies `headerSize` bytes of `header` followed by `size` bytes of `data`; a pointer may
  // be null only when its size is 0.
  TransferPacket(const void* header, size_t headerSize, const void* data, size_t size)
      // Default-initialised: every byte is overwritten below, so zeroing first would only
      // double the cost of the copy.
      : m_bytes(new uint8_t[headerSize + size]), m_size(headerSize + size) {
    if (headerSize > 0) std::memcpy(m_bytes.get(), header, headerSize);
    if (size > 0) std::memcpy(m_bytes.get() + headerSize, data, size);
  }

  const uint8_t* data() const { return m_bytes.get(); }
  size_t size() const { return m_size; }

 private:
  const std::unique_ptr<uint8_t[]> m_bytes;
  const size_t m_size;
};

}  // namespace sorvo
