// File names between UTF-8 and Shift_JIS, both ways, and the separator
// searches that must never take a second byte for a separator.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "torvad/FtpTbl.h"
#include "torvad/Kanji.h"

namespace {

// True for UTF-8 in its shortest form, as a client sends it.
bool ShortestUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : c >= 0xC2 && c < 0xE0 ? 2 : c >= 0xE0 && c < 0xF0 ? 3 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    if (n == 3 && c == 0xE0 && static_cast<unsigned char>(s[i + 1]) < 0xA0) return false;
    i += n;
  }
  return true;
}

// The searches agree with a plain scan that steps over double-byte characters.
void CheckSearches(const FtpTbl& ftp, const char* text) {
  for (int c : {0x5C, 0x2F, 0x0D, 0x0A, 0x2E}) {  // \\ / CR LF .
    const char* first = SjisStrchr(&ftp, text, c);
    const char* last = SjisStrrchr(&ftp, text, c);
    if ((first == nullptr) != (last == nullptr)) abort();
    if (first != nullptr && (*first != c || last < first || *last != c)) abort();
    if (ftp.lang == 1 && (first != strchr(text, c) || last != strrchr(text, c))) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietServer();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  text.resize(strlen(text.c_str()));  // names are strings: they end at their first NUL
  FtpTbl ftp{};
  for (int lang : {0, 1}) {
    ftp.lang = lang;
    CheckSearches(ftp, text.c_str());
  }
  if (char* sjis = Utf8ToSjis(text.c_str())) {
    ftp.lang = 0;
    CheckSearches(ftp, sjis);
    char* back = SjisToUtf8(sjis);
    // A name that came in as shortest-form UTF-8 goes out as it came.
    if (back == nullptr || (ShortestUtf8(text) && text != back)) abort();
    free(back);
    free(sjis);
  }
  if (char* utf8 = SjisToUtf8(text.c_str())) {
    char* again = Utf8ToSjis(utf8);
    // Every Shift_JIS name that can be shown can be named again.
    if (again == nullptr || text != again) abort();
    free(again);
    free(utf8);
  }
  return 0;
}
