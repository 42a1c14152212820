// The pieces of file transfer that need no network: text-form reading and
// writing, the working buffer size, and the PORT argument and its checks.
#include "torvad/Transfer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "stream_contents.h"
#include "torvad/ConfigTbl.h"
#include "torvad/DataConn.h"

namespace {

// A temporary file holding `content`, positioned at its start.
FILE* FileWith(const std::string& content) {
  FILE* f = tmpfile();
  if (f == nullptr) return nullptr;
  fwrite(content.data(), 1, content.size(), f);
  rewind(f);
  return f;
}

// Every line TextReadLine gives for `content` with lines of at most `max`.
std::vector<std::string> Lines(const std::string& content, size_t max) {
  FILE* f = FileWith(content);
  std::vector<std::string> out;
  if (f == nullptr) return out;
  std::vector<char> buf(max + 1);
  bool ended = false;
  for (int guard = 0; !ended && guard < 10000; ++guard) {
    size_t n = TextReadLine(f, buf.data(), max, &ended);
    if (n > 0 || !ended) out.emplace_back(buf.data(), n);
  }
  fclose(f);
  return out;
}

using V = std::vector<std::string>;

TEST(TextRead, CrLfBecomesLfAndLinesEndAfterTheirLf) {
  EXPECT_EQ(Lines("one\r\ntwo\r\n", 100), (V{"one\n", "two\n"}));
  EXPECT_EQ(Lines("one\ntwo", 100), (V{"one\n", "two"}));
  EXPECT_EQ(Lines("\r\n\r\n", 100), (V{"\n", "\n"}));
  EXPECT_EQ(Lines("", 100), V{});
}

TEST(TextRead, LoneCarriageReturnsStay) {
  EXPECT_EQ(Lines("a\rb\r\rc\r\n", 100), (V{"a\rb\r\rc\n"}));
  // A CR as the last byte of the file stays too.
  EXPECT_EQ(Lines("end\r", 100), (V{"end\r"}));
  // CR CR LF: only the pair is turned into LF.
  EXPECT_EQ(Lines("x\r\r\ny", 100), (V{"x\r\n", "y"}));
}

TEST(TextRead, ControlZEndsTheFile) {
  EXPECT_EQ(Lines("abc\x1A"
                  "def\r\nmore\r\n",
                  100),
            (V{"abc"}));
  EXPECT_EQ(Lines("line\r\n\x1A"
                  "after\r\n",
                  100),
            (V{"line\n"}));
  EXPECT_EQ(Lines("\x1A", 100), V{});
  // CR right before the end marker is a lone CR.
  EXPECT_EQ(Lines("a\r\x1A\n", 100), (V{"a\r"}));
}

TEST(TextRead, ZeroBytesAreKeptForTheCaller) {
  std::vector<std::string> got = Lines(std::string("ab\0cd\r\nx", 8), 100);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], std::string("ab\0cd\n", 6));
  EXPECT_EQ(got[1], "x");
}

TEST(TextRead, LongLinesComeInPiecesOfTheLimit) {
  EXPECT_EQ(Lines("abcdefgh\r\nij", 3), (V{"abc", "def", "gh\n", "ij"}));
  // A CR LF pair across the limit still becomes one LF.
  EXPECT_EQ(Lines("abc\r\nd", 4), (V{"abc\n", "d"}));
  EXPECT_EQ(Lines("abcd\r\ne", 4), (V{"abcd", "\n", "e"}));
}

TEST(TextRead, EndedIsSetAtTheEndOnly) {
  FILE* f = FileWith("a\nb\n");
  ASSERT_NE(f, nullptr);
  char buf[16];
  bool ended = false;
  EXPECT_EQ(TextReadLine(f, buf, sizeof buf - 1, &ended), 2u);
  EXPECT_FALSE(ended);
  EXPECT_EQ(TextReadLine(f, buf, sizeof buf - 1, &ended), 2u);
  EXPECT_FALSE(ended);
  EXPECT_EQ(TextReadLine(f, buf, sizeof buf - 1, &ended), 0u);
  EXPECT_TRUE(ended);
  fclose(f);
}

std::string Dropped(std::string s) {
  size_t n = DropCarriageReturns(s.data(), s.size());
  return s.substr(0, n);
}

TEST(TextReceive, EveryCarriageReturnIsDropped) {
  EXPECT_EQ(Dropped("a\r\nb\r\n"), "a\nb\n");
  EXPECT_EQ(Dropped("\r\r\rx\r"), "x");
  EXPECT_EQ(Dropped("no returns"), "no returns");
  EXPECT_EQ(Dropped(""), "");
  EXPECT_EQ(Dropped(std::string("\0\r\0", 3)), std::string("\0\0", 2));
}

std::string Written(const std::string& data, size_t* count) {
  FILE* f = tmpfile();
  if (f == nullptr) return "<no file>";
  *count = TextWrite(f, data.data(), data.size());
  std::string out = StreamContents(f);
  fclose(f);
  return out;
}

TEST(TextReceive, EveryLfIsStoredAsCrLf) {
  size_t count = 0;
  EXPECT_EQ(Written("a\nb\n", &count), "a\r\nb\r\n");
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(Written("\n\n", &count), "\r\n\r\n");
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(Written("no end", &count), "no end");
  EXPECT_EQ(count, 6u);
  EXPECT_EQ(Written(std::string("z\0\n", 3), &count), std::string("z\0\r\n", 4));
  EXPECT_EQ(count, 3u);
}

TEST(TextReceive, AFailedWriteReportsFewerBytes) {
  // A stream opened for reading only refuses every write.
  FILE* f = FileWith("");
  ASSERT_NE(f, nullptr);
  FILE* ro = freopen(nullptr, "rb", f);
  ASSERT_NE(ro, nullptr);
  setvbuf(ro, nullptr, _IONBF, 0);
  EXPECT_LT(TextWrite(ro, "abc\ndef\n", 8), 8u);
  fclose(ro);
}

class BufferSize : public ::testing::Test {
 protected:
  void SetUp() override { g_config = static_cast<ConfigTbl*>(calloc(1, sizeof(ConfigTbl))); }
  void TearDown() override {
    free(g_config);
    g_config = nullptr;
  }
};

TEST_F(BufferSize, MissingKeyUsesTheSmallestSize) {
  g_config->buffer_size = 0;
  EXPECT_EQ(TransferBufferSize(), 4096);
  g_config->buffer_size = 100;
  EXPECT_EQ(TransferBufferSize(), 4096);
  g_config->buffer_size = 262144;
  EXPECT_EQ(TransferBufferSize(), 262144);
}

struct PortCase {
  const char* text;
  bool ok;
  uint8_t addr[4];
  uint16_t port;
};

TEST(PortArgument, SixDecimalFields) {
  const PortCase cases[] = {
      {"10,0,0,5,195,80", true, {10, 0, 0, 5}, 50000},
      {"127,0,0,1,4,0", true, {127, 0, 0, 1}, 1024},
      // Fields after the sixth are ignored; text that is no number reads 0.
      {"127,0,0,1,4,1,99,x", true, {127, 0, 0, 1}, 1025},
      {"a,b,c,d,e,f", true, {0, 0, 0, 0}, 0},
      {"127,,0,1,0,21", true, {127, 0, 0, 1}, 21},
      // Every field is one byte: one outside 0..255 is refused, not cut to
      // 8 bits (383 would have been 127).
      {"383,0,0,1,4,1", false, {}, 0},
      {"127,0,0,1,256,1", false, {}, 0},
      {"127,0,0,-1,4,1", false, {}, 0},
      {"127,0,0,1,4,4294967297", false, {}, 0},
      {"1,2,3,4,255,255", true, {1, 2, 3, 4}, 65535},
      // Fewer than six fields.
      {"10,0,0,5,195", false, {}, 0},
      {"", false, {}, 0},
      {"1", false, {}, 0},
  };
  for (const PortCase& c : cases) {
    SCOPED_TRACE(c.text);
    uint8_t addr[4] = {9, 9, 9, 9};
    uint16_t port = 7;
    ASSERT_EQ(ParsePortFields(c.text, addr, &port), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(std::vector<int>(addr, addr + 4), std::vector<int>(c.addr, c.addr + 4));
    EXPECT_EQ(port, c.port);
  }
}

TEST(PortArgument, OnlyTheClientItselfOnUnprivilegedPorts) {
  const uint8_t peer[4] = {127, 0, 0, 1};
  const uint8_t same[4] = {127, 0, 0, 1};
  const uint8_t other[4] = {127, 0, 0, 2};
  const uint8_t distant[4] = {10, 0, 0, 5};
  EXPECT_TRUE(PortTargetAllowed(same, 1024, peer));
  EXPECT_TRUE(PortTargetAllowed(same, 65535, peer));
  EXPECT_FALSE(PortTargetAllowed(same, 1023, peer));
  EXPECT_FALSE(PortTargetAllowed(same, 21, peer));
  EXPECT_FALSE(PortTargetAllowed(same, 0, peer));
  EXPECT_FALSE(PortTargetAllowed(other, 40000, peer));
  EXPECT_FALSE(PortTargetAllowed(distant, 50000, peer));
}

}  // namespace
