#include "torvad/Log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/fs.h"
#include "platform/system.h"
#include "torvad/ConfigTbl.h"
#include "torvad/SharedState.h"

namespace {

// Shared state: see torvad/SharedState.h for what the lock guards and its order.
std::mutex g_log_mutex;

const char* Tag(int level) {
  switch (level) {
    case 1: return "[E]";
    case 2: return "[W]";
    case 3: return "[I]";
    case 4: return "[D]";
    case 5: return "[T]";
    default: return "";
  }
}

int CurrentLevel() { return g_config != nullptr ? g_config->log_level : 4; }
bool TimeFlag() { return g_config != nullptr && g_config->time_flag != 0; }

// Writes one finished line with the optional time prefix; caller holds the lock.
void WriteLine(FILE* out, const char* tag, const char* message) {
  if (TimeFlag()) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    fprintf(out, "%02d/%02d/%02d %02d:%02d:%02d %08X ", t.wYear - 2000, t.wMonth, t.wDay, t.wHour,
            t.wMinute, t.wSecond, static_cast<unsigned>(GetCurrentThreadId()));
  }
  if (tag != nullptr)
    fprintf(out, "%s %s\n", tag, message);
  else
    fprintf(out, "%s\n", message);
  fflush(out);
}

}  // namespace

ScopedLogLock::ScopedLogLock() { g_log_mutex.lock(); }
ScopedLogLock::~ScopedLogLock() { g_log_mutex.unlock(); }

void LogWrite(int level, const char* format, ...) {
  if (level > CurrentLevel()) return;
  char message[256];
  va_list ap;
  va_start(ap, format);
  vsnprintf(message, sizeof message, format, ap);
  va_end(ap);
  std::lock_guard<std::mutex> lock(g_log_mutex);
  WriteLine(stdout, level == -1 ? nullptr : Tag(level), message);
}

void AccessLogWrite(const char* format, ...) {
  char message[256];
  va_list ap;
  va_start(ap, format);
  vsnprintf(message, sizeof message, format, ap);
  va_end(ap);
  std::lock_guard<std::mutex> lock(g_log_mutex);
  WriteLine(stderr, nullptr, message);
}

void LogQuote(char* out, size_t size, const char* text) {
  if (size < 3) {
    if (size > 0) out[0] = '\0';
    return;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  size_t n = 0;
  out[n++] = '"';
  // Room is kept for the closing quote and the terminator; an escape that
  // would not fit whole is left out.
  for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    char piece[4];
    size_t len = 0;
    if (*p == '"' || *p == '\\') {
      piece[len++] = '\\';
      piece[len++] = static_cast<char>(*p);
    } else if (*p >= 0x20 && *p <= 0x7E) {
      piece[len++] = static_cast<char>(*p);
    } else {
      piece[len++] = '\\';
      piece[len++] = 'x';
      piece[len++] = kHex[*p >> 4];
      piece[len++] = kHex[*p & 0xF];
    }
    if (n + len + 2 > size) break;
    memcpy(out + n, piece, len);
    n += len;
  }
  out[n++] = '"';
  out[n] = '\0';
}

void LogFailed(int level, const char* call, DWORD code, const char* prefix) {
  LogWrite(level, "%sFailed %s() errno=%d", prefix, call, static_cast<int>(code));
}

void LogLogicError(const char* file, int line) {
  LogWrite(-1, "Logic Error!!");
  const char* base = strrchr(file, '/');
  LogWrite(4, "Logic error detected at %s:%d", base != nullptr ? base + 1 : file, line);
}

void DumpWrite(const char* title, const void* data, size_t size) {
  if (g_config == nullptr || g_config->dump_log == 0) return;
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::lock_guard<std::mutex> lock(g_log_mutex);
  printf("\n*** DUMP(%s / size=%d) ***\n", title, static_cast<int>(size));
  printf("OFST : +0 +1 +2 +3 +4 +5 +6 +7 - +8 +9 +A +B +C +D +E +F : ASCII\n");
  for (size_t off = 0; off < size; off += 16) {
    char line[128];
    int n = snprintf(line, sizeof line, "%04X :", static_cast<unsigned>(off));
    for (size_t i = 0; i < 16; ++i) {
      if (off + i < size)
        n += snprintf(line + n, sizeof line - n, " %02X", bytes[off + i]);
      else
        n += snprintf(line + n, sizeof line - n, "   ");
      if (i == 7) n += snprintf(line + n, sizeof line - n, " -");
    }
    n += snprintf(line + n, sizeof line - n, " : ");
    for (size_t i = 0; i < 16 && off + i < size; ++i) {
      unsigned char c = bytes[off + i];
      line[n++] = (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : '.';
    }
    line[n] = '\0';
    printf("%s\n", line);
  }
  printf("\n");
  fflush(stdout);
}
