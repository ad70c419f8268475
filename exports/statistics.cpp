// Statistics and server description: the game keeps 16 statistic texts and two description
// blocks in the session object and sends each set to Meetpoint when it chooses.
#include <cstring>

#include "exports/send.h"
#include "tcplibrary/wire.h"
#include "log/log.h"
#include "rallylink.h"
#include "session/floattext.h"
#include "session/sessiondata.h"

static const char* BlockName(int32_t block) { return block == 1 ? "Extra" : "Non"; }

extern "C" uint32_t RLCALL RLAddIntegerStat(uint32_t Index, int32_t Value) {
  Log.Printf("RLAddIntegerStat( Index:%u , Value:%d )", Index, Value);
  if (pSessionData != nullptr) pSessionData->SetIntegerStat(Index, Value);
  return 1;
}

extern "C" uint32_t RLCALL RLAddFloatStat(uint32_t Index, double Value) {
  char text[32];
  FormatFloatG(Value, text, sizeof text);
  Log.Printf("RLAddFloatStat( Index:%u , Value:%s )", Index, text);
  if (pSessionData != nullptr) pSessionData->SetFloatStat(Index, Value);
  return 1;
}

extern "C" uint32_t RLCALL RLResetStats(void) {
  Log.Write("RLResetStats()");
  if (pSessionData != nullptr) pSessionData->ResetStats();
  return 1;
}

extern "C" uint32_t RLCALL RLSendStats(void) {
  Log.Write("RLSendStats()");
  if (pSessionData == nullptr) return 1;
  uint8_t frame[kFrameHeaderSize + 1 + kStatSlots * kStatSlotSize] = {};
  frame[kFrameHeaderSize] = 0x0B;
  char* text = reinterpret_cast<char*>(frame + kFrameHeaderSize + 1);
  pSessionData->GetStatsText(text);
  return SendRequest(frame, static_cast<uint32_t>(1 + strlen(text) + 1), nullptr);
}

extern "C" uint32_t RLCALL RLSetGameSpecificData(int32_t Block, const void* Data, uint32_t Size) {
  Log.Printf("RLSetGameSpecificData( Block:'%s', Size:%u )", BlockName(Block), Size);
  if (pSessionData != nullptr && (Data != nullptr || Size == 0)) {
    pSessionData->SetBlock(Block, Data, Size);
  }
  return 0;
}

extern "C" uint32_t RLCALL RLUpdateGameSpecificData(int32_t Block, uint32_t BitPos,
                                                    uint32_t BitSize, const void* Data) {
  Log.Printf("RLUpdateGameSpecificData( Block:'%s', BitPos:%u BitSize:%u )", BlockName(Block),
             BitPos, BitSize);
  if (pSessionData != nullptr && Data != nullptr) {
    pSessionData->UpdateBlockBits(Block, BitPos, BitSize, Data);
  }
  return 0;
}

extern "C" uint32_t RLCALL RLFlushServerDescriptionChanges(void) {
  Log.Write("RLFlushServerDescriptionChanges()");
  if (pSessionData == nullptr) return 1;
  // Each block's size and bytes are read together, so no change comes between them.
  uint8_t frame[kFrameHeaderSize + 1024] = {};
  uint8_t* message = frame + kFrameHeaderSize;
  message[0] = 0x03;
  uint32_t e = pSessionData->CopyBlock(1, message + 3, kBlockSize);
  PutU16(message + 1, e);
  uint32_t m = pSessionData->CopyBlock(2, message + 5 + e, kBlockSize);
  PutU16(message + 3 + e, m);
  return SendRequest(frame, 5 + e + m, "FAILED: RLFlushServerDescriptionChanges()");
}
