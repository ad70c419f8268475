#include "tcplibrary/tcpbuffer.h"

#include <cstdlib>
#include <cstring>

#include "tcplibrary/wire.h"

CTcpBuffer::CTcpBuffer() : uBufferSize(4096), WritePointer(0) {
  PlatLockInit(&csBuffer);
  pBuffer = static_cast<uint8_t*>(malloc(uBufferSize));
}

CTcpBuffer::~CTcpBuffer() {
  free(pBuffer);
  PlatLockDelete(&csBuffer);
}

void CTcpBuffer::Clear() {
  PlatLockGuard guard(&csBuffer);
  if (pBuffer != nullptr) memset(pBuffer, 0, uBufferSize);
  WritePointer = 0;
}

// A size is only read once all 4 of its bytes are held.
uint32_t CTcpBuffer::NextBlockSize() const {
  if (pBuffer == nullptr || WritePointer < 4) return 0;
  uint32_t size = GetU32(pBuffer);
  return WritePointer >= size ? size : 0;
}

uint32_t CTcpBuffer::GetNextBlockSize() {
  PlatLockGuard guard(&csBuffer);
  return NextBlockSize();
}

bool CTcpBuffer::Append(const void* source, uint32_t count) {
  PlatLockGuard guard(&csBuffer);
  if (count > UINT32_MAX - WritePointer) return false;
  if (count > uBufferSize - WritePointer || pBuffer == nullptr) {
    uint32_t needed = WritePointer + count;
    if (pBuffer == nullptr && needed <= uBufferSize) return false;  // no storage to fill
    void* grown = realloc(pBuffer, needed);
    if (grown == nullptr) return false;
    pBuffer = static_cast<uint8_t*>(grown);
    uBufferSize = needed;
  }
  if (count > 0) memcpy(pBuffer + WritePointer, source, count);
  WritePointer += count;
  return true;
}

bool CTcpBuffer::PopBlock(void* destination, uint32_t* blockSize) {
  PlatLockGuard guard(&csBuffer);
  uint32_t size = NextBlockSize();
  if (size == 0) return false;
  memcpy(destination, pBuffer, size);
  memmove(pBuffer, pBuffer + size, uBufferSize - size);
  WritePointer -= size;
  *blockSize = size;
  return true;
}

uint32_t CTcpBuffer::BufferSize() {
  PlatLockGuard guard(&csBuffer);
  return uBufferSize;
}

uint32_t CTcpBuffer::HeldBytes() {
  PlatLockGuard guard(&csBuffer);
  return WritePointer;
}
