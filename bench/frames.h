// The frames that the benchmarks send and check. Events are encoded by meetpoint's codec, the
// stand-in Meetpoint's own encoder, ahead of the timed part; the hand-written floor frames its
// requests itself with FrameInto, without allocating, as the library must.
#pragma once

#include <cstdint>
#include <string>

#include "message.h"

// Writes the frame of a payload into frame (room for length + 4); returns the frame's size.
uint32_t FrameInto(const uint8_t* payload, uint32_t length, uint8_t* frame);

// A MsgNewGameVote event for giid from the voter "Voter".
mp::Bytes VoteEventFrame(uint32_t giid);
// A MsgNewGameResults event for giid with two players.
mp::Bytes ResultsEventFrame(uint32_t giid);

// The requests that a stream of bytes from the game holds, one readable line each (such as
// "Vote GiID=7 Vote=1"), or what is wrong with them.
std::string DescribeRequests(const mp::Bytes& stream);
