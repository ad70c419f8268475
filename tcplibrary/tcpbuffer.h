// A growable queue of length-prefixed blocks: bytes are appended as they arrive, and whole
// blocks (a little-endian u32 total size, counting itself, then the rest) are taken from the
// front. Part of the TCP library's described interface for TcpReceiveToBuffer; the library
// itself never calls it.
#pragma once

#include <cstdint>

#include "platform/platform.h"

class CTcpBuffer {
 public:
  CTcpBuffer();
  ~CTcpBuffer();
  CTcpBuffer(const CTcpBuffer&) = delete;
  CTcpBuffer& operator=(const CTcpBuffer&) = delete;

  // Drops everything held and zeroes the storage, which keeps its size.
  void Clear();
  // The size of the complete block at the front, 0 when there is none.
  uint32_t GetNextBlockSize();
  // Appends count bytes, growing the storage to exactly what is needed; false when it can't.
  bool Append(const void* source, uint32_t count);
  // Moves the front block to destination (room for GetNextBlockSize() bytes) and stores its
  // size; false, changing nothing, when no complete block is held.
  bool PopBlock(void* destination, uint32_t* blockSize);

  uint32_t BufferSize();  // bytes of storage allocated
  uint32_t HeldBytes();   // bytes held

 private:
  uint32_t NextBlockSize() const;

  PlatLock csBuffer;
  uint32_t uBufferSize;
  uint32_t WritePointer;
  uint8_t* pBuffer;
};

// The buffer of TcpReceiveToBuffer; the second static object of the library.
extern CTcpBuffer ReceiveBuffer;
