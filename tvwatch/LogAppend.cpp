#include "tvwatch/LogAppend.h"

#include <cerrno>
#include <cstdio>

#include "common/strutil.h"
#include "common/torva.h"
#include "platform/fs.h"
#include "platform/registry.h"
#include "tvwatch/EventReport.h"

namespace {

// Builds the .log and .old paths from "Path" (read once for each log).
bool BuildPaths(WatchLog* log) {
  char path[MAX_PATH];
  if (!ReadSettings(path, nullptr, nullptr)) return false;
  // A "Path" without room for the suffixes is refused as too long, never cut.
  if (!torva::FormatInto(log->log_path, "%s%c%s%c%s.log", path, torva::kPathSep, torva::kDirLog,
                         torva::kPathSep, log->name) ||
      !torva::FormatInto(log->old_path, "%s%c%s%c%s.old", path, torva::kPathSep, torva::kDirLog,
                         torva::kPathSep, log->name)) {
    ApiError("RegQueryValueEx()", ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  log->built = true;
  return true;
}

}  // namespace

void LogAppend(WatchLog* log, const char* bytes, DWORD length) {
  if (!log->built && !BuildPaths(log)) return;
  FILE* f = OpenRegularFile(log->log_path, "ab");
  if (f == nullptr) {
    ApiError("fopen()", GetLastError());
    return;
  }
  long long size = FileStreamSize(f);
  if (size >= 0 && size + length > kLogLimit) {
    fclose(f);
    remove(log->old_path);
    if (rename(log->log_path, log->old_path) == 0) {
      f = OpenRegularFile(log->log_path, "wb");
    } else {
      // Starting the log anew now would throw its contents away: keep
      // appending and try again with the next chunk.
      ApiError("rename()", ErrnoToWin32(errno));
      f = OpenRegularFile(log->log_path, "ab");
    }
    if (f == nullptr) {
      ApiError("fopen()", GetLastError());
      return;
    }
  }
  fwrite(bytes, 1, length, f);
  fclose(f);
}
