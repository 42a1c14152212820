#include "tvwatch/EventReport.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/strutil.h"
#include "common/torva.h"
#include "platform/eventlog.h"
#include "tvevents/tvevents.h"

namespace {

constexpr size_t kInsertSize = 32;

}  // namespace

int EventReport(WORD type, DWORD id, const char* letters, ...) {
  size_t count = letters != nullptr ? strlen(letters) : 0;
  if (count > 0xFFFF) return -1;
  // One pointer per insert, and a 32-byte buffer for each insert that is not
  // a string; all of them freed below.
  auto** strings = static_cast<const char**>(calloc(count + 1, sizeof(char*)));
  auto** owned = static_cast<char**>(calloc(count + 1, sizeof(char*)));
  bool ok = strings != nullptr && owned != nullptr;
  va_list ap;
  va_start(ap, letters);
  for (size_t i = 0; ok && i < count; ++i) {
    if (letters[i] == 's') {
      strings[i] = va_arg(ap, const char*);
      continue;
    }
    char* buf = static_cast<char*>(malloc(kInsertSize));
    if (buf == nullptr) {
      ok = false;
      break;
    }
    owned[i] = buf;
    strings[i] = buf;
    switch (letters[i]) {
      case 'c': snprintf(buf, kInsertSize, "%c", va_arg(ap, int)); break;
      case 'd': snprintf(buf, kInsertSize, "%d", va_arg(ap, int)); break;
      case 'l': snprintf(buf, kInsertSize, "%ld", va_arg(ap, long)); break;
      case 'p': snprintf(buf, kInsertSize, "%p", va_arg(ap, void*)); break;
      case 'x': snprintf(buf, kInsertSize, "%x", va_arg(ap, unsigned)); break;
      default: torva::CopyTruncated(buf, kInsertSize, "?????"); break;
    }
  }
  va_end(ap);
  int result = -1;
  if (ok) {
    HANDLE source = RegisterEventSource(nullptr, torva::kEventSource);
    if (source != nullptr) {
      if (ReportEvent(source, type, 0, id, nullptr, static_cast<WORD>(count), 0, strings, nullptr))
        result = 0;
      DeregisterEventSource(source);
    }
  }
  if (owned != nullptr)
    for (size_t i = 0; i < count; ++i) free(owned[i]);
  free(owned);
  free(strings);
  return result;
}

void ApiError(const char* call, DWORD error) {
  EventReport(EVENTLOG_WARNING_TYPE, EVMSG_API_ERROR, "sd", call, static_cast<int>(error));
}

void AbnormalEnd() { EventReport(EVENTLOG_ERROR_TYPE, EVMSG_ABNORMAL_END, nullptr); }
