#include "torvad/Kanji.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/wintypes.h"
#include "torvad/ConfigTbl.h"
#include "torvad/Log.h"
#include "tvkanji/tvkanji.h"

namespace {

int SequenceLength(unsigned char lead) {
  if (lead >= 0xFC) return 6;
  if (lead >= 0xF8) return 5;
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 0;
}

bool IsHalfWidthKatakana(unsigned char c) { return c >= 0xA1 && c <= 0xDF; }

// The conversion table of sjis-table: JIS X 0208 unless code page 932 is chosen.
bool UseCp932() { return g_config != nullptr && g_config->sjis_table == SJIS_TABLE_CP932; }

uint32_t ToUcs2(uint32_t sjis) {
  return UseCp932() ? tvkanji_CP932_to_UCS2(sjis) : tvkanji_SJIS_to_UCS2(sjis);
}

uint32_t ToSjis(uint32_t ucs2) {
  return UseCp932() ? tvkanji_UCS2_to_CP932(ucs2) : tvkanji_UCS2_to_SJIS(ucs2);
}

}  // namespace

char* Utf8ToSjis(const char* text) {
  size_t len = strlen(text);
  auto* out = static_cast<unsigned char*>(calloc(len + 1, 1));
  if (out == nullptr) {
    LogWrite(1, "UTF8-SJIS code conversion was failed. (malloc/%d)",
             static_cast<int>(ERROR_NOT_ENOUGH_MEMORY));
    return nullptr;
  }
  const auto* in = reinterpret_cast<const unsigned char*>(text);
  size_t o = 0;
  for (size_t i = 0; i < len;) {
    unsigned char c = in[i];
    if (c < 0x80) {
      out[o++] = c;
      ++i;
      continue;
    }
    int n = SequenceLength(c);
    if (n == 0) {
      LogWrite(1, "UTF8-SJIS code conversion was failed. (unknown sequence/0x%X)", c);
      goto fail;
    }
    {
      // Every byte after the lead must be a continuation byte: a lead byte cut
      // off before the line end must not swallow the CR LF into some other
      // character. A form longer than needed is taken as it comes, though:
      // SjisToUtf8 writes 0x815F (mapped to U+005C) as C1 9C, and the name
      // must come back. Of the ASCII values only U+005C maps in tvkanji, and to
      // a two-byte code, so such a form never turns into a separator or a dot.
      bool malformed = len - i < static_cast<size_t>(n);
      uint32_t cp = c & (0x7Fu >> n);
      for (int k = 1; k < n && !malformed; ++k) {
        unsigned char t = in[i + k];
        if ((t & 0xC0) != 0x80) malformed = true;
        cp = (cp << 6) | (t & 0x3F);
      }
      if (malformed) {
        LogWrite(1, "UTF8-SJIS code conversion was failed. (invalid sequence/%dbyte)", n);
        goto fail;
      }
      uint32_t sjis = ToSjis(cp);
      if (sjis == 0) {
        LogWrite(1, "UTF8-SJIS code conversion was failed. (unknown UCS2/0x%X)", cp);
        goto fail;
      }
      // A half-width katakana is one byte in Shift_JIS; writing a zero high
      // byte would cut the name short.
      if (sjis >= 0x100) out[o++] = static_cast<unsigned char>(sjis >> 8);
      out[o++] = static_cast<unsigned char>(sjis & 0xFF);
      i += static_cast<size_t>(n);
    }
  }
  return reinterpret_cast<char*>(out);
fail:
  DumpWrite("UTF8 dump", text, len + 1);
  free(out);
  return nullptr;
}

char* SjisToUtf8(const char* text) {
  size_t len = strlen(text);
  auto* out = static_cast<unsigned char*>(calloc(len * 3 + 3, 1));
  if (out == nullptr) {
    LogWrite(1, "SJIS-UTF8 code conversion was failed. (malloc/%d)",
             static_cast<int>(ERROR_NOT_ENOUGH_MEMORY));
    return nullptr;
  }
  const auto* in = reinterpret_cast<const unsigned char*>(text);
  size_t o = 0;
  for (size_t i = 0; i < len;) {
    unsigned char c = in[i];
    if (c < 0x80) {
      out[o++] = c;
      ++i;
      continue;
    }
    uint32_t code;
    if (IsHalfWidthKatakana(c)) {
      // Names stored from UTF-8 keep half-width katakana as single bytes, so
      // they must come back the same way.
      code = c;
      i += 1;
    } else {
      if (in[i + 1] == 0) {
        LogWrite(1, "SJIS-UTF8 code conversion was failed. (invalid sequence)");
        DumpWrite("SJIS dump", text, len + 1);
        free(out);
        return nullptr;
      }
      code = static_cast<uint32_t>(c) << 8 | in[i + 1];
      i += 2;
    }
    uint32_t u = ToUcs2(code);
    if (u == 0) {
      LogWrite(1, "SJIS-UTF8 code conversion was failed. (unknown sjis/%X)", code);
      DumpWrite("SJIS dump", text, len + 1);
      free(out);
      return nullptr;
    }
    if (u & 0xF000) {
      out[o++] = static_cast<unsigned char>(0xE0 | (u >> 12));
      out[o++] = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
      out[o++] = static_cast<unsigned char>(0x80 | (u & 0x3F));
    } else {
      out[o++] = static_cast<unsigned char>(0xC0 | ((u >> 6) & 0x1F));
      out[o++] = static_cast<unsigned char>(0x80 | (u & 0x3F));
    }
  }
  return reinterpret_cast<char*>(out);
}

namespace {

// Forward scan over Shift_JIS text: the position of the first (or last)
// occurrence of `c` that is a character of its own. A lead byte takes the byte
// after it; half-width katakana (A1-DF) are characters of one byte, as names
// converted from UTF-8 store them.
const char* SjisScan(const char* text, int c, bool last) {
  const char* found = nullptr;
  for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if (*p >= 0x80 && !IsHalfWidthKatakana(*p)) {
      if (p[1] == 0) break;
      ++p;
      continue;
    }
    if (*p == static_cast<unsigned char>(c)) {
      found = reinterpret_cast<const char*>(p);
      if (!last) break;
    }
  }
  return found;
}

}  // namespace

char* SjisStrchr(const FtpTbl* ftp, const char* text, int c) {
  if (ftp->lang == 1) return const_cast<char*>(strchr(text, c));
  return const_cast<char*>(SjisScan(text, c, false));
}

// Scanned from the front: looking backwards cannot tell a second byte from a
// character of its own, and would skip separators after many kanji.
char* SjisStrrchr(const FtpTbl* ftp, const char* text, int c) {
  if (ftp->lang == 1) return const_cast<char*>(strrchr(text, c));
  return const_cast<char*>(SjisScan(text, c, true));
}
