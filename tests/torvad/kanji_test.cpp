// File-name conversion between UTF-8 and Shift_JIS, and the separator searches
// that must not take a Shift_JIS second byte for a separator.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "torvad/ConfigTbl.h"
#include "torvad/FtpTbl.h"
#include "torvad/Kanji.h"
#include "tvkanji/tvkanji.h"

namespace {

struct FreeDeleter {
  void operator()(char* p) const { free(p); }
};
using Owned = std::unique_ptr<char, FreeDeleter>;

class KanjiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_config = static_cast<ConfigTbl*>(calloc(1, sizeof(ConfigTbl)));
    g_config->log_level = 4;
  }
  void TearDown() override {
    free(g_config);
    g_config = nullptr;
  }

  // Converts and returns the result ("<null>" on failure) and the log output.
  static std::string Run(char* (*convert)(const char*), const std::string& in, std::string* log) {
    testing::internal::CaptureStdout();
    Owned out(convert(in.c_str()));
    *log = testing::internal::GetCapturedStdout();
    return out ? std::string(out.get()) : std::string("<null>");
  }
  static std::string ToSjis(const std::string& in, std::string* log) {
    return Run(Utf8ToSjis, in, log);
  }
  static std::string ToUtf8(const std::string& in, std::string* log) {
    return Run(SjisToUtf8, in, log);
  }
};

// Strict decoding of one UTF-8 character (the test's own reference).
bool DecodeOne(const std::string& s, uint32_t* cp) {
  const auto* b = reinterpret_cast<const unsigned char*>(s.data());
  if (s.size() == 2 && (b[0] & 0xE0) == 0xC0 && (b[1] & 0xC0) == 0x80) {
    *cp = (b[0] & 0x1Fu) << 6 | (b[1] & 0x3Fu);
    return *cp >= 0x80;
  }
  if (s.size() == 3 && (b[0] & 0xF0) == 0xE0 && (b[1] & 0xC0) == 0x80 && (b[2] & 0xC0) == 0x80) {
    *cp = (b[0] & 0x0Fu) << 12 | (b[1] & 0x3Fu) << 6 | (b[2] & 0x3Fu);
    return *cp >= 0x800;
  }
  return false;
}

TEST_F(KanjiTest, AsciiCopiesUnchangedBothWays) {
  std::string log;
  const std::string text = "Report 2024-01_final.txt ~!@#$%^&()[]{}";
  EXPECT_EQ(ToSjis(text, &log), text);
  EXPECT_EQ(ToUtf8(text, &log), text);
  EXPECT_EQ(ToSjis("", &log), "");
  EXPECT_EQ(log, "");
}

TEST_F(KanjiTest, HiraganaAndSeparatorTrailBytes) {
  std::string log;
  EXPECT_EQ(ToSjis("\xE3\x81\x82", &log), "\x82\xA0");
  EXPECT_EQ(ToUtf8("\x82\xA0", &log), "\xE3\x81\x82");
  // SO (U+30BD) and HYO (U+8868): their second byte is '\'.
  EXPECT_EQ(ToSjis("a\xE3\x82\xBD\\\xE8\xA1\xA8.txt", &log), "a\x83\x5C\\\x95\x5C.txt");
  EXPECT_EQ(ToUtf8("a\x83\x5C\\\x95\x5C.txt", &log), "a\xE3\x82\xBD\\\xE8\xA1\xA8.txt");
}

TEST_F(KanjiTest, MalformedUtf8FailsWithItsMessage) {
  std::string log;
  EXPECT_EQ(ToSjis("a\x85z", &log), "<null>");
  EXPECT_NE(log.find("UTF8-SJIS code conversion was failed. (unknown sequence/0x85)"),
            std::string::npos)
      << log;
  EXPECT_EQ(ToSjis("ab\xE3\x81", &log), "<null>");
  EXPECT_NE(log.find("(invalid sequence/3byte)"), std::string::npos) << log;
  EXPECT_EQ(ToSjis("\xC3", &log), "<null>");
  EXPECT_NE(log.find("(invalid sequence/2byte)"), std::string::npos) << log;
  EXPECT_EQ(ToSjis("\xF8\x88\x80\x80", &log), "<null>");
  EXPECT_NE(log.find("(invalid sequence/5byte)"), std::string::npos) << log;
  // A character cut off before the line end does not swallow the CR LF.
  EXPECT_EQ(ToSjis("x\xE3\x81\r\n", &log), "<null>");
  EXPECT_NE(log.find("(invalid sequence/3byte)"), std::string::npos) << log;
  EXPECT_EQ(ToSjis("\xF0\x9F\x98\x80", &log), "<null>");
  EXPECT_NE(log.find("UTF8-SJIS code conversion was failed. (unknown UCS2/0x1F600)"),
            std::string::npos)
      << log;
  // Latin-1 letters are not in the repertoire.
  EXPECT_EQ(ToSjis("\xC3\xA9", &log), "<null>");
  EXPECT_NE(log.find("(unknown UCS2/0xE9)"), std::string::npos) << log;
}

TEST_F(KanjiTest, BadShiftJisFailsWithItsMessage) {
  std::string log;
  EXPECT_EQ(ToUtf8("ab\x83", &log), "<null>");
  EXPECT_NE(log.find("SJIS-UTF8 code conversion was failed. (invalid sequence)"), std::string::npos)
      << log;
  EXPECT_EQ(ToUtf8("\x85\x40", &log), "<null>");
  EXPECT_NE(log.find("SJIS-UTF8 code conversion was failed. (unknown sjis/8540)"),
            std::string::npos)
      << log;
}

TEST_F(KanjiTest, FullWidthBackslashComesBack) {
  // 0x815F maps to U+005C and is written in the two-byte form, which the
  // decoder must take back to the same code.
  std::string log;
  EXPECT_EQ(ToUtf8("a\x81\x5F", &log), "a\xC1\x9C");
  EXPECT_EQ(ToSjis("a\xC1\x9C", &log), "a\x81\x5F") << log;
  // No ASCII character can be smuggled in a longer form.
  EXPECT_EQ(ToSjis("\xC0\xAF", &log), "<null>");
  EXPECT_EQ(ToSjis("\xC0\xAE\xC0\xAE", &log), "<null>");
  EXPECT_EQ(ToSjis("\xE0\x80\x8D", &log), "<null>");
}

TEST_F(KanjiTest, HalfWidthKatakanaKeepsTheNameWhole) {
  std::string log;
  EXPECT_EQ(ToSjis("\xEF\xBD\xB1z\xEF\xBE\x9F", &log), "\xB1z\xDF");
  EXPECT_EQ(ToUtf8("\xB1z\xDF", &log), "\xEF\xBD\xB1z\xEF\xBE\x9F");
}

// Sends every double-byte code that `to_ucs2` maps through SjisToUtf8 and
// back; returns how many there are. 0x815F of JIS X 0208 (U+005C) comes out in
// a longer form than strict UTF-8 and is only checked for its way back.
int RoundTripEveryCode(uint32_t (*to_ucs2)(uint32_t)) {
  int pairs = 0;
  for (uint32_t code = 0x8140; code <= 0xFCFC; ++code) {
    uint32_t u = to_ucs2(code);
    if (u == 0) continue;
    ++pairs;
    const char sjis[3] = {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF), 0};
    Owned utf8(SjisToUtf8(sjis));
    EXPECT_TRUE(utf8) << std::hex << code;
    if (!utf8) continue;
    uint32_t decoded = 0;
    if (u != 0x5C) {
      EXPECT_TRUE(DecodeOne(utf8.get(), &decoded)) << std::hex << code;
      EXPECT_EQ(decoded, u) << std::hex << code;
    }
    Owned back(Utf8ToSjis(utf8.get()));
    EXPECT_TRUE(back) << std::hex << code;
    if (back) {
      EXPECT_STREQ(back.get(), sjis) << std::hex << code;
    }
  }
  return pairs;
}

TEST_F(KanjiTest, EveryMappedCharacterRoundTrips) {
  EXPECT_EQ(RoundTripEveryCode(tvkanji_SJIS_to_UCS2), 6879);
}

TEST_F(KanjiTest, CodePage932TableConvertsWindowsNames) {
  std::string log;
  // Circled one, parenthesized stock, tall high, fullwidth tilde, parallel to.
  const std::string names = "\xE2\x91\xA0\xE3\x88\xB1\xE9\xAB\x99\xEF\xBD\x9E\xE2\x88\xA5";
  const std::string cp932 = "\x87\x40\x87\x8A\xFB\xFC\x81\x60\x81\x61";
  EXPECT_EQ(ToSjis(names, &log), "<null>");
  EXPECT_NE(log.find("(unknown UCS2/0x2460)"), std::string::npos) << log;
  g_config->sjis_table = SJIS_TABLE_CP932;
  EXPECT_EQ(ToSjis(names, &log), cp932);
  EXPECT_EQ(ToUtf8(cp932, &log), names);

  EXPECT_EQ(RoundTripEveryCode(tvkanji_CP932_to_UCS2), 9206);
}

TEST(SjisSearchTest, SecondBytesAreNoSeparatorsInJapanese) {
  FtpTbl ja{};
  ja.lang = LANG_JA;
  FtpTbl en{};
  en.lang = LANG_EN;
  const char so_txt[] = "\x83\x5C.txt";
  EXPECT_EQ(SjisStrchr(&ja, so_txt, '\\'), nullptr);
  EXPECT_EQ(SjisStrchr(&en, so_txt, '\\'), so_txt + 1);
  EXPECT_EQ(SjisStrchr(&ja, so_txt, '.'), so_txt + 2);

  const char path[] = "\x83\x5C\\\x95\x5C\\";
  EXPECT_EQ(SjisStrchr(&ja, path, '\\'), path + 2);
  EXPECT_EQ(SjisStrrchr(&ja, path, '\\'), path + 5);
  const char one[] = "\x83\x5C\\\x95\x5C";
  EXPECT_EQ(SjisStrrchr(&ja, one, '\\'), one + 2);
  EXPECT_EQ(SjisStrrchr(&en, one, '\\'), one + 4);
  EXPECT_EQ(SjisStrrchr(&ja, "\x83\x5C", '\\'), nullptr);
  EXPECT_EQ(SjisStrrchr(&ja, "", '\\'), nullptr);

  // A separator right after a kanji whose second byte has its high bit set
  // ("shiryou" = 8E 91 97 BF) is still found from the end.
  const char docs[] = "\x8E\x91\x97\xBF\\2024";
  EXPECT_EQ(SjisStrrchr(&ja, docs, '\\'), docs + 4);
  // Half-width katakana are characters of one byte: the separator after one counts.
  const char kana[] = "\xB1\\b\xB2";
  EXPECT_EQ(SjisStrchr(&ja, kana, '\\'), kana + 1);
  EXPECT_EQ(SjisStrrchr(&ja, kana, '\\'), kana + 1);

  // A lead byte at the end ends the forward search.
  const char cut[] = "ab\x83";
  EXPECT_EQ(SjisStrchr(&ja, cut, 'x'), nullptr);
  EXPECT_EQ(SjisStrchr(&ja, cut, 'b'), cut + 1);
  // A lead byte takes the CR after it; the LF is found.
  const char line[] = "x\x81\r\n";
  EXPECT_EQ(SjisStrchr(&ja, line, '\r'), nullptr);
  EXPECT_EQ(SjisStrchr(&ja, line, '\n'), line + 3);
  EXPECT_EQ(SjisStrchr(&en, line, '\r'), line + 2);
}

}  // namespace
