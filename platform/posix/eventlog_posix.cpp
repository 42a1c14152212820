#include "platform/eventlog.h"

#include <fcntl.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/posix/handle_posix.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace {

constexpr char kEventLogKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr char kDefaultEventLog[] = "/var/log/torva/events.log";
constexpr size_t kUnknownCount = static_cast<size_t>(-1);

// What the event viewer shows for an event whose description it cannot find,
// before the event's strings; and the line it adds when the source's message
// table is there but lacks the id.
constexpr char kNoDescription[] =
    "The description for Event ID %u from source %s cannot be found. Either the component that "
    "raises this event is not installed on your local computer or the installation is "
    "corrupted. You can install or repair the component on the local computer.\r\n\r\n"
    "If the event originated on another computer, the display information had to be saved with "
    "the event.\r\n\r\nThe following information was included with the event:\r\n\r\n";
constexpr char kIdNotInTable[] =
    "the message resource is present but the message is not found in the string/message table";

struct EventSourceObject : HandleObject {
  std::string name;
  BOOL Close() override {
    delete this;
    return TRUE;
  }
};

std::mutex g_syslog_mu;

uint32_t Read32(const BYTE* p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

uint16_t Read16(const BYTE* p) {
  uint16_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

// The text of `id` in a message table of `size` bytes. Every offset and
// length is checked against the table, so a damaged module reads as one
// without the message.
bool FindMessage(const BYTE* table, DWORD size, DWORD id, std::string* text) {
  if (size < 4) return false;
  uint32_t blocks = Read32(table);
  if (blocks > (size - 4) / sizeof(MESSAGE_RESOURCE_BLOCK)) return false;
  for (uint32_t b = 0; b < blocks; ++b) {
    const BYTE* blk = table + 4 + b * sizeof(MESSAGE_RESOURCE_BLOCK);
    uint32_t low = Read32(blk), high = Read32(blk + 4), pos = Read32(blk + 8);
    if (id < low || id > high) continue;
    for (uint32_t k = low;; ++k) {
      if (pos > size || size - pos < 4) return false;
      uint16_t len = Read16(table + pos);
      if (len < 4 || len > size - pos) return false;
      if (k == id) {
        uint16_t flags = Read16(table + pos + 2);
        const BYTE* t = table + pos + 4;
        size_t n = len - 4u;
        text->clear();
        if (flags & MESSAGE_RESOURCE_UNICODE) {
          // UTF-16: the system code page takes what ASCII covers.
          for (size_t i = 0; i + 1 < n; i += 2) {
            uint16_t u = Read16(t + i);
            if (u == 0) break;
            *text += u < 0x80 ? static_cast<char>(u) : '?';
          }
        } else {
          text->assign(reinterpret_cast<const char*>(t),
                       strnlen(reinterpret_cast<const char*>(t), n));
        }
        return true;
      }
      pos += len;
    }
  }
  return false;
}

// The message table of a module, or false when it has none.
bool ModuleTable(HMODULE module, const BYTE** table, DWORD* size) {
  HRSRC r = FindResource(module, MAKEINTRESOURCE(1), RT_MESSAGETABLE);
  if (r == nullptr) return false;
  *table = static_cast<const BYTE*>(LockResource(LoadResource(module, r)));
  *size = SizeofResource(module, r);
  return *table != nullptr;
}

bool ConversionOk(const std::string& conv_text) {
  // flags, width, precision, length, conversion: "-08.3lx"
  size_t i = conv_text.find_first_not_of("-+ #0");
  if (i == std::string::npos) return false;
  while (i < conv_text.size() && conv_text[i] >= '0' && conv_text[i] <= '9') ++i;
  if (i < conv_text.size() && conv_text[i] == '.') {
    ++i;
    while (i < conv_text.size() && conv_text[i] >= '0' && conv_text[i] <= '9') ++i;
  }
  std::string rest = conv_text.substr(i);
  static const char* const kForms[] = {"s",   "c",    "d",    "i",    "u",    "x",   "X",   "o",
                                       "ld",  "li",   "lu",   "lx",   "lX",   "lld", "llu", "llx",
                                       "llX", "I64d", "I64u", "I64x", "I64X", "hd",  "hu",  "hx"};
  for (const char* f : kForms)
    if (rest == f) return true;
  return false;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
// One insert, formatted by its conversion (already checked by ConversionOk).
std::string FormatInsert(std::string conv_text, DWORD_PTR value) {
  size_t pos = conv_text.find("I64");
  if (pos != std::string::npos) conv_text.replace(pos, 3, "ll");
  std::string fmt = "%" + conv_text;
  char conv = conv_text.back();
  char buf[128];
  if (conv == 's') {
    const char* s = reinterpret_cast<const char*>(value);
    int n = snprintf(nullptr, 0, fmt.c_str(), s ? s : "(null)");
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    snprintf(out.data(), out.size() + 1, fmt.c_str(), s ? s : "(null)");
    return out;
  }
  // A character always travels as an int, whatever its length modifier.
  bool wide = conv != 'c' && conv_text.find("ll") != std::string::npos;
  bool lng = conv != 'c' && !wide && conv_text.find('l') != std::string::npos;
  bool is_signed = conv == 'd' || conv == 'i';
  if (wide)
    snprintf(buf, sizeof buf, fmt.c_str(), static_cast<unsigned long long>(value));
  else if (lng && is_signed)
    snprintf(buf, sizeof buf, fmt.c_str(), static_cast<long>(static_cast<int32_t>(value)));
  else if (lng)
    snprintf(buf, sizeof buf, fmt.c_str(),
             static_cast<unsigned long>(static_cast<uint32_t>(value)));
  else if (is_signed || conv == 'c')
    snprintf(buf, sizeof buf, fmt.c_str(), static_cast<int>(value));
  else
    snprintf(buf, sizeof buf, fmt.c_str(), static_cast<unsigned>(value));
  return buf;
}
#pragma GCC diagnostic pop

// Expands a message text. `count` is the number of `args` when known; an
// insert beyond it stays in the text as written, as the event viewer shows it.
// `flatten` turns the text's own line breaks into blanks.
DWORD Expand(const std::string& text, const DWORD_PTR* args, size_t count, bool flatten,
             std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size();) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      if (!flatten) {
        *out += c;
        ++i;
        continue;
      }
      *out += ' ';
      i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
      continue;
    }
    if (c != '%' || i + 1 >= text.size()) {
      *out += c;
      ++i;
      continue;
    }
    char n = text[i + 1];
    if (n >= '1' && n <= '9') {
      size_t start = i;
      int index = n - '0';
      i += 2;
      if (i < text.size() && text[i] >= '0' && text[i] <= '9')
        index = index * 10 + (text[i++] - '0');
      std::string conv_text = "s";
      if (i < text.size() && text[i] == '!') {
        size_t close = text.find('!', i + 1);
        if (close == std::string::npos) return ERROR_INVALID_PARAMETER;
        conv_text = text.substr(i + 1, close - i - 1);
        i = close + 1;
        if (!ConversionOk(conv_text)) return ERROR_INVALID_PARAMETER;
      }
      if (count != kUnknownCount && static_cast<size_t>(index) > count) {
        out->append(text, start, i - start);
        continue;
      }
      if (args == nullptr) return ERROR_INVALID_PARAMETER;
      *out += FormatInsert(conv_text, args[index - 1]);
      continue;
    }
    i += 2;
    switch (n) {
      case '0': return ERROR_SUCCESS;
      case 'n': *out += "\r\n"; break;
      case 'r': *out += '\r'; break;
      case 't': *out += '\t'; break;
      default: *out += n; break;  // "%%", "%.", "%!", "% " and the like
    }
  }
  return ERROR_SUCCESS;
}

// The event's one-line text: closing line breaks dropped, every run of line
// breaks and tabs inside made one blank.
std::string OneLine(const std::string& text) {
  std::string out;
  bool gap = false;
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == '\t') {
      gap = true;
      continue;
    }
    if (gap && !out.empty()) out += ' ';
    gap = false;
    out += c;
  }
  return out;
}

// The description of an event as the event viewer builds it.
std::string EventText(const std::string& source, DWORD id, WORD count, const char** strings) {
  std::vector<DWORD_PTR> args(count);
  for (WORD i = 0; i < count; ++i) args[i] = reinterpret_cast<DWORD_PTR>(strings[i]);
  bool table_seen = false;
  HKEY key = nullptr;
  std::string name = kEventLogKey + source;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, name.c_str(), 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
    char files[4096];
    DWORD size = sizeof files - 1, type = REG_NONE;
    LONG rc = RegQueryValueEx(key, "EventMessageFile", nullptr, &type,
                              reinterpret_cast<BYTE*>(files), &size);
    RegCloseKey(key);
    if (rc == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
      files[size] = '\0';
      std::string list(files);
      size_t start = 0;
      while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos) end = list.size();
        std::string file = list.substr(start, end - start);
        start = end + 1;
        if (file.empty()) continue;
        char path[4096];
        if (ExpandEnvironmentStrings(file.c_str(), path, sizeof path) > sizeof path) continue;
        HMODULE m = LoadLibraryEx(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (m == nullptr) continue;
        const BYTE* table = nullptr;
        DWORD table_size = 0;
        std::string text, out;
        bool found = false;
        if (ModuleTable(m, &table, &table_size)) {
          table_seen = true;
          found = FindMessage(table, table_size, id, &text) &&
                  Expand(text, args.data(), count, false, &out) == ERROR_SUCCESS;
        }
        FreeLibrary(m);
        if (found) return out;
      }
    }
  }
  char head[sizeof kNoDescription + 320];
  snprintf(head, sizeof head, kNoDescription, static_cast<unsigned>(id & 0xFFFF), source.c_str());
  std::string out = head;
  for (WORD i = 0; i < count; ++i) {
    out += strings[i] ? strings[i] : "";
    out += "\r\n";
  }
  if (table_seen) out += std::string("\r\n") + kIdNotInTable + "\r\n";
  return out;
}

const char* TypeWord(WORD type) {
  switch (type) {
    case EVENTLOG_SUCCESS:
    case EVENTLOG_INFORMATION_TYPE: return "Information";
    case EVENTLOG_WARNING_TYPE: return "Warning";
    case EVENTLOG_ERROR_TYPE: return "Error";
    default: return nullptr;
  }
}

int SyslogPriority(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return LOG_ERR;
    case EVENTLOG_WARNING_TYPE: return LOG_WARNING;
    default: return LOG_INFO;
  }
}

// Appends one whole line in one write, so lines of several processes never mix.
BOOL AppendLine(const std::string& line) {
  const char* env = getenv("TORVA_EVENTLOG");
  std::string path = (env != nullptr && *env != '\0') ? env : kDefaultEventLog;
  size_t slash = path.rfind('/');
  // A directory that cannot be made shows as the failed open below.
  if (slash != std::string::npos && slash > 0)
    static_cast<void>(CreateDirectoryTree(path.substr(0, slash).c_str()));
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) {
    SetLastError(ErrnoToWin32(errno));
    return FALSE;
  }
  ssize_t n;
  do {
    n = write(fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  int err = errno;
  close(fd);
  if (n != static_cast<ssize_t>(line.size())) {
    SetLastError(n < 0 ? ErrnoToWin32(err) : ERROR_DISK_FULL);
    return FALSE;
  }
  return TRUE;
}

}  // namespace

HANDLE RegisterEventSource(const char* server_name, const char* source_name) {
  if ((server_name != nullptr && *server_name != '\0') || source_name == nullptr ||
      *source_name == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto* s = new EventSourceObject;
  s->name = source_name;
  return s;
}

BOOL DeregisterEventSource(HANDLE event_log) {
  auto* s =
      event_log ? dynamic_cast<EventSourceObject*>(static_cast<HandleObject*>(event_log)) : nullptr;
  if (s == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return s->Close();
}

BOOL ReportEvent(HANDLE event_log, WORD type, WORD, DWORD event_id, void*, WORD num_strings, DWORD,
                 const char** strings, void*) {
  auto* s =
      event_log ? dynamic_cast<EventSourceObject*>(static_cast<HandleObject*>(event_log)) : nullptr;
  if (s == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const char* word = TypeWord(type);
  if (word == nullptr || (num_strings > 0 && strings == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string text = OneLine(EventText(s->name, event_id, num_strings, strings));

  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  char head[64];
  snprintf(head, sizeof head, "\t%s\t", word);
  char id[16];
  snprintf(id, sizeof id, "\t%u\t", static_cast<unsigned>(event_id & 0xFFFF));
  BOOL ok = AppendLine(stamp + std::string(head) + OneLine(s->name) + id + text + "\n");

  {
    std::lock_guard<std::mutex> lock(g_syslog_mu);
    openlog(s->name.c_str(), LOG_PID, LOG_DAEMON);
    syslog(SyslogPriority(type), "%s", text.c_str());
    closelog();
  }
  return ok;
}

namespace {

struct SystemMessage {
  DWORD code;
  const char* text;
};

// The English texts of the error numbers this layer reports, as the system
// words them (two keep the system's inserts).
constexpr SystemMessage kSystemMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_NOT_SAME_DEVICE, "The system cannot move the file to a different disk drive."},
    {ERROR_NO_MORE_FILES, "There are no more files."},
    {ERROR_WRITE_PROTECT, "The media is write protected."},
    {ERROR_BAD_LENGTH, "The program issued a command but the command length is incorrect."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_BAD_EXE_FORMAT, "%1 is not a valid Win32 application."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_NO_DATA, "The pipe is being closed."},
    {ERROR_MORE_DATA, "More data is available."},
    {WAIT_TIMEOUT, "The wait operation timed out."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_DIRECTORY, "The directory name is invalid."},
    {ERROR_MR_MID_NOT_FOUND,
     "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {ERROR_CANTOPEN, "The configuration registry key could not be opened."},
    {ERROR_CANTREAD, "The configuration registry key could not be read."},
    {ERROR_CANTWRITE, "The configuration registry key could not be written."},
    {ERROR_INVALID_SERVICE_CONTROL, "The requested control is not valid for this service."},
    {ERROR_SERVICE_REQUEST_TIMEOUT,
     "The service did not respond to the start or control request in a timely fashion."},
    {ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running."},
    {ERROR_SERVICE_DISABLED,
     "The service cannot be started, either because it is disabled or because it has no enabled "
     "devices associated with it."},
    {ERROR_SERVICE_DOES_NOT_EXIST, "The specified service does not exist as an installed service."},
    {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, "The service cannot accept control messages at this time."},
    {ERROR_SERVICE_NOT_ACTIVE, "The service has not been started."},
    {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT,
     "The service process could not connect to the service controller."},
    {ERROR_PROCESS_ABORTED, "The process terminated unexpectedly."},
    {ERROR_SERVICE_MARKED_FOR_DELETE, "The specified service has been marked for deletion."},
    {ERROR_SERVICE_EXISTS, "The specified service already exists."},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error."},
    {RPC_S_SERVER_UNAVAILABLE, "The RPC server is unavailable."},
    {ERROR_RESOURCE_DATA_NOT_FOUND, "The specified image file did not contain a resource section."},
    {ERROR_RESOURCE_TYPE_NOT_FOUND,
     "The specified resource type cannot be found in the image file."},
    {ERROR_NOT_A_REPARSE_POINT, "The file or directory is not a reparse point."},
};

// The system's text of an error number, or null.
const char* SystemMessageText(DWORD code) {
  for (const SystemMessage& m : kSystemMessages)
    if (m.code == code) return m.text;
  return nullptr;
}

}  // namespace

DWORD FormatMessage(DWORD flags, const void* source, DWORD message_id, DWORD, char* buffer,
                    DWORD size, va_list* arguments) {
  std::string text;
  if (flags & FORMAT_MESSAGE_FROM_STRING) {
    if (source == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    text = static_cast<const char*>(source);
  } else if (flags & FORMAT_MESSAGE_FROM_HMODULE) {
    const BYTE* table = nullptr;
    DWORD table_size = 0;
    auto module = static_cast<HMODULE>(const_cast<void*>(source));
    if (module == nullptr || !ModuleTable(module, &table, &table_size)) {
      SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
      return 0;
    }
    if (!FindMessage(table, table_size, message_id, &text)) {
      SetLastError(ERROR_MR_MID_NOT_FOUND);
      return 0;
    }
  } else if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
    const char* system_text = SystemMessageText(message_id);
    if (system_text == nullptr) {
      SetLastError(ERROR_MR_MID_NOT_FOUND);
      return 0;
    }
    text = std::string(system_text) + "\r\n";
  } else {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  bool flatten = (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == FORMAT_MESSAGE_MAX_WIDTH_MASK;
  std::string out;
  if (flags & FORMAT_MESSAGE_IGNORE_INSERTS) {
    out = text;
  } else {
    if (arguments != nullptr && !(flags & FORMAT_MESSAGE_ARGUMENT_ARRAY)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    const auto* args = reinterpret_cast<const DWORD_PTR*>(arguments);
    DWORD rc = Expand(text, args, kUnknownCount, flatten, &out);
    if (rc != ERROR_SUCCESS) {
      SetLastError(rc);
      return 0;
    }
  }
  if (buffer == nullptr || out.size() + 1 > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  memcpy(buffer, out.c_str(), out.size() + 1);
  return static_cast<DWORD>(out.size());
}
