// CTcpBuffer: a queue of length-prefixed blocks that grows to exactly what it needs.
#include <gtest/gtest.h>

#include "support/rawsocket.h"
#include "tcplibrary/tcpbuffer.h"

namespace {

Bytes Block(uint32_t total, uint8_t fill) {
  Bytes b(total, fill);
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(total >> (8 * i));
  return b;
}

TEST(TcpBuffer, AnEmptyBufferHasNoBlock) {
  CTcpBuffer buffer;
  uint8_t out[16];
  uint32_t size = 12345;
  EXPECT_EQ(buffer.GetNextBlockSize(), 0u);
  EXPECT_FALSE(buffer.PopBlock(out, &size));
  EXPECT_EQ(size, 12345u);
  EXPECT_EQ(buffer.BufferSize(), 4096u);
}

TEST(TcpBuffer, AHalfBlockWaitsBehindACompleteOne) {
  CTcpBuffer buffer;
  Bytes first = Block(10, 0x11);
  Bytes second = Block(8, 0x22);
  ASSERT_TRUE(buffer.Append(first.data(), 10));
  ASSERT_TRUE(buffer.Append(second.data(), 4));
  EXPECT_EQ(buffer.GetNextBlockSize(), 10u);
  uint8_t out[16];
  uint32_t size = 0;
  ASSERT_TRUE(buffer.PopBlock(out, &size));
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(Bytes(out, out + 10), first);
  EXPECT_EQ(buffer.HeldBytes(), 4u);
  EXPECT_EQ(buffer.GetNextBlockSize(), 0u);
  EXPECT_FALSE(buffer.PopBlock(out, &size));
  // The block ends exactly where the held bytes end: complete.
  ASSERT_TRUE(buffer.Append(second.data() + 4, 4));
  EXPECT_EQ(buffer.GetNextBlockSize(), 8u);
  ASSERT_TRUE(buffer.PopBlock(out, &size));
  EXPECT_EQ(Bytes(out, out + 8), second);
  EXPECT_EQ(buffer.HeldBytes(), 0u);
}

TEST(TcpBuffer, AnIncompleteSizeFieldIsNotABlock) {
  CTcpBuffer buffer;
  const uint8_t part[] = {2, 0};
  ASSERT_TRUE(buffer.Append(part, 2));
  EXPECT_EQ(buffer.GetNextBlockSize(), 0u);
}

TEST(TcpBuffer, GrowsToExactlyTheSizeNeeded) {
  CTcpBuffer buffer;
  Bytes big = Block(4090, 0x33);
  ASSERT_TRUE(buffer.Append(big.data(), 4090));
  EXPECT_EQ(buffer.BufferSize(), 4096u);
  Bytes more(10, 0x44);
  ASSERT_TRUE(buffer.Append(more.data(), 10));
  EXPECT_EQ(buffer.BufferSize(), 4100u);
  EXPECT_EQ(buffer.HeldBytes(), 4100u);
  std::vector<uint8_t> out(4090);
  uint32_t size = 0;
  ASSERT_TRUE(buffer.PopBlock(out.data(), &size));
  EXPECT_EQ(buffer.BufferSize(), 4100u);  // never shrinks
  EXPECT_EQ(buffer.HeldBytes(), 10u);
  EXPECT_FALSE(buffer.Append(more.data(), 0xFFFFFFFFu));  // would wrap the count
}

TEST(TcpBuffer, AZeroSizeBlockIsNeverReturnedUntilCleared) {
  CTcpBuffer buffer;
  const uint8_t zero[8] = {0};
  ASSERT_TRUE(buffer.Append(zero, 8));
  uint8_t out[8];
  uint32_t size = 0;
  EXPECT_EQ(buffer.GetNextBlockSize(), 0u);
  EXPECT_FALSE(buffer.PopBlock(out, &size));
  buffer.Clear();
  EXPECT_EQ(buffer.HeldBytes(), 0u);
  EXPECT_EQ(buffer.BufferSize(), 4096u);
  Bytes block = Block(6, 0x55);
  ASSERT_TRUE(buffer.Append(block.data(), 6));
  EXPECT_EQ(buffer.GetNextBlockSize(), 6u);
}

}  // namespace
