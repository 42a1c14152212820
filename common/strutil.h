// Bounded copies and checked formatting into fixed arrays.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace torva {

// Copies at most size-1 bytes of src into dst and terminates it. Returns the
// number of bytes copied.
inline size_t CopyTruncated(char* dst, size_t size, const char* src) {
  if (size == 0) return 0;
  size_t n = strnlen(src, size - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
  return n;
}

template <size_t N>
inline size_t CopyTruncated(char (&dst)[N], const char* src) {
  return CopyTruncated(dst, N, src);
}

// Formats into dst; returns true when the whole text fit. A text that does not
// fit is cut at size-1 and false is returned, so callers that build paths can
// refuse instead of using a shortened name.
__attribute__((format(printf, 3, 0))) inline bool FormatV(char* dst, size_t size, const char* fmt,
                                                          va_list ap) {
  if (size == 0) return false;
  int n = vsnprintf(dst, size, fmt, ap);
  return n >= 0 && static_cast<size_t>(n) < size;
}

__attribute__((format(printf, 3, 4))) inline bool Format(char* dst, size_t size, const char* fmt,
                                                         ...) {
  va_list ap;
  va_start(ap, fmt);
  bool ok = FormatV(dst, size, fmt, ap);
  va_end(ap);
  return ok;
}

template <size_t N>
__attribute__((format(printf, 2, 3))) inline bool FormatInto(char (&dst)[N], const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  bool ok = FormatV(dst, N, fmt, ap);
  va_end(ap);
  return ok;
}

// ASCII upper case of one character; other bytes stay.
inline char ToUpperAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Equal texts when ASCII letters are compared without case.
inline bool EqualsIgnoringCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b)
    if (ToUpperAscii(*a) != ToUpperAscii(*b)) return false;
  return *a == *b;
}

// atoi as the C runtime converts: leading blanks, an optional sign, digits up
// to the first other character; no digits give 0. Overflow wraps instead of
// being undefined.
inline int AtoiLike(const char* s) {
  while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r' || *s == '\v' || *s == '\f') ++s;
  bool neg = false;
  if (*s == '+' || *s == '-') neg = (*s++ == '-');
  unsigned int v = 0;
  while (*s >= '0' && *s <= '9') v = v * 10u + static_cast<unsigned>(*s++ - '0');
  return static_cast<int>(neg ? 0u - v : v);
}

// AtoiLike's reading with the true value kept: false when that value lies
// outside [lo, hi] (a long run of digits never wraps into the range).
inline bool AtoiInRange(const char* s, long long lo, long long hi, int* out) {
  while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r' || *s == '\v' || *s == '\f') ++s;
  bool neg = false;
  if (*s == '+' || *s == '-') neg = (*s++ == '-');
  long long v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    v = v * 10 + (*s - '0');
    if (v > (1LL << 40)) v = 1LL << 40;  // far outside every range asked for
  }
  if (neg) v = -v;
  if (v < lo || v > hi) return false;
  *out = static_cast<int>(v);
  return true;
}

}  // namespace torva
