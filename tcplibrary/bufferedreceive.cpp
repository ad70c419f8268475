// Receiving whole frames into the block queue ReceiveBuffer.
#include "platform/attributes.h"
#include "tcplibrary/tcpbuffer.h"
#include "tcplibrary/tcplibrary.h"

// Built right after Log and destroyed right before it.
CTcpBuffer ReceiveBuffer RL_STATIC_ORDER(2);

int TcpReceiveToBuffer(uint32_t limit, uint32_t* count) {
  uint8_t area[kMaxFrameSize];
  int first = 0;
  int have = TcpReceiveFrame(area, limit, &first);
  *count = first > 0 ? static_cast<uint32_t>(first) : 0;
  if (have < 0) return 0;
  // The frame and whatever came with it are kept: the queue splits them into blocks later.
  ReceiveBuffer.Append(area, static_cast<uint32_t>(have));
  return static_cast<int>(static_cast<int8_t>(area[kFrameHeaderSize]));
}
