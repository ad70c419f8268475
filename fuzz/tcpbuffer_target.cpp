// CTcpBuffer under sequences of appends, pops and clears. Each step is decoded from the input;
// a plain byte vector models what the buffer must hold, and the storage size follows its own
// rule: it grows to exactly what an append needs and never shrinks.
#include <algorithm>
#include <vector>

#include "fuzz_targets.h"
#include "tcplibrary/tcpbuffer.h"

namespace {

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ == size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint32_t U16() { return Byte() | static_cast<uint32_t>(Byte()) << 8; }
  // Up to n bytes of the input itself.
  std::vector<uint8_t> Take(size_t n) {
    if (n > size_ - at_) n = size_ - at_;
    std::vector<uint8_t> bytes(data_ + at_, data_ + at_ + n);
    at_ += n;
    return bytes;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// The size of the complete block at the front of what the model holds, 0 when there is none.
// A size is read only once all four of its bytes are there.
uint32_t ModelNextBlock(const std::vector<uint8_t>& held) {
  if (held.size() < 4) return 0;
  uint32_t size = held[0] | held[1] << 8 | held[2] << 16 | static_cast<uint32_t>(held[3]) << 24;
  return held.size() >= size ? size : 0;
}

}  // namespace

int FuzzTcpBuffer(const uint8_t* data, size_t size) {
  Reader in(data, size);
  CTcpBuffer buffer;
  std::vector<uint8_t> held;
  uint32_t storage = 4096;
  while (!in.Empty()) {
    std::vector<uint8_t> bytes;
    bool append = true;
    switch (in.Byte() % 4) {
      case 0:  // raw bytes from the input
        bytes = in.Take(in.U16() % 5000);
        break;
      case 1: {  // a whole block: its size field, then filler
        uint32_t total = in.U16() % 5000;
        bytes.assign(total < 4 ? 4 : total, in.Byte());
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(total >> (8 * i));
        break;
      }
      case 2: {
        append = false;
        uint32_t next = buffer.GetNextBlockSize();
        if (next != ModelNextBlock(held)) FuzzFail("GetNextBlockSize disagrees with the model");
        std::vector<uint8_t> out(next + 1, 0xEE);
        uint32_t popped = 0xDEADBEEF;
        bool ok = buffer.PopBlock(out.data(), &popped);
        if (ok != (next != 0)) FuzzFail("PopBlock disagrees with GetNextBlockSize");
        if (!ok) {
          if (popped != 0xDEADBEEF) FuzzFail("a failed PopBlock wrote its size");
          break;
        }
        if (popped != next || out[next] != 0xEE) FuzzFail("PopBlock removed the wrong size");
        if (!std::equal(out.begin(), out.begin() + next, held.begin()))
          FuzzFail("wrong block bytes");
        held.erase(held.begin(), held.begin() + next);
        break;
      }
      default:
        append = false;
        buffer.Clear();
        held.clear();
        break;
    }
    // Beyond 64 KB each pop only moves more bytes: nothing new happens, it just gets slow.
    if (append && held.size() + bytes.size() <= 65536) {
      if (!buffer.Append(bytes.data(), static_cast<uint32_t>(bytes.size())))
        FuzzFail("append failed");
      if (bytes.size() > storage - held.size())
        storage = static_cast<uint32_t>(held.size() + bytes.size());
      held.insert(held.end(), bytes.begin(), bytes.end());
    }
    if (buffer.HeldBytes() != held.size()) FuzzFail("holds the wrong number of bytes");
    if (buffer.BufferSize() != storage) FuzzFail("storage is not the size it must have");
  }
  // A count that would wrap the held size is refused and changes nothing (with nothing held it
  // would be a plain 4 GB append).
  if (!held.empty() && (buffer.Append(data, 0xFFFFFFFFu) || buffer.HeldBytes() != held.size()))
    FuzzFail("an append past 4 GB was taken");
  return 0;
}
