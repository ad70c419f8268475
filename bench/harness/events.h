// The payloads of the events that Meetpoint sends, from meetpoint's own encoder (which the
// protocol document's examples check), for the programs that play Meetpoint's part.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "message.h"

mp::Bytes NewGameInstance(uint32_t giid, uint32_t flags);
mp::Bytes NewGameJoin(uint32_t giid, uint32_t result);
mp::Bytes NewGameVote(uint32_t giid, uint8_t vote, const std::string& voter);
mp::Bytes IncomingMessage(const std::string& from, const std::string& text);
mp::Bytes NewGameResults(uint32_t giid, uint8_t vote,
                         const std::vector<std::pair<std::string, uint32_t>>& players);
