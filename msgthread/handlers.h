// The handlers of the five events Meetpoint sends. Each takes the received payload (type byte
// first) and its length, decodes it without reading past that length, and calls the game's
// callback on the message thread. A payload too short for its fields is dropped with the log
// line "MP -> Malformed message 0xNN".
#pragma once

#include <cstdint>

void OnIncomingMessage(const uint8_t* payload, uint32_t length);
void OnNewGameInstance(const uint8_t* payload, uint32_t length);
void OnNewGameResults(const uint8_t* payload, uint32_t length);
void OnNewGameVote(const uint8_t* payload, uint32_t length);
void OnNewGameJoin(const uint8_t* payload, uint32_t length);
