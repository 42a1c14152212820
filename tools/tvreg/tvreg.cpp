// tvreg: the registry store from the command line, with the syntax and messages
// of the familiar `reg` command.
//   tvreg query  KEY [/v NAME | /ve]
//   tvreg add    KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]
//   tvreg delete KEY [/v NAME | /ve | /va] [/f]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/program_info.h"
#include "platform/registry.h"
#include "platform/unique_handle.h"

namespace {

constexpr const char kNotFound[] =
    "ERROR: The system was unable to find the specified registry key or value.\n";
constexpr const char kDone[] = "The operation completed successfully.\n";

struct Args {
  std::string op;
  std::string key;    // below HKLM, '\' separated
  std::string shown;  // KEY as it is shown: HKEY_LOCAL_MACHINE\...
  bool has_value = false;
  std::string value;
  bool all_values = false;
  std::string type = "REG_SZ";
  bool has_data = false;
  std::string data;
  bool force = false;
};

bool IEq(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

int Usage(const std::string& op) {
  std::string up;
  for (char c : op) up += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  if (up.empty()) up = "QUERY";
  fprintf(stderr, "ERROR: Invalid syntax.\nType \"TVREG %s /?\" for usage.\n", up.c_str());
  return 1;
}

constexpr torva::ProgramInfo kInfo = {
    "tvreg",
    "TVREG QUERY KeyName [/v ValueName | /ve]\n"
    "TVREG ADD KeyName [/v ValueName | /ve] [/t Type] [/d Data] [/f]\n"
    "TVREG DELETE KeyName [/v ValueName | /ve | /va] [/f]\n\n"
    "  KeyName  HKLM\\SubKey or HKEY_LOCAL_MACHINE\\SubKey\n"
    "  Type     REG_SZ | REG_EXPAND_SZ | REG_BINARY | REG_DWORD | REG_NONE\n"
    "  Data     REG_DWORD: decimal or 0x hex; REG_BINARY: hex digits\n",
    "The store is the file named by TORVA_REGISTRY (default /etc/torva/registry.reg).\n"
    "QUERY only reads it and never creates it.\n",
    8};

void Help() { printf("%s\n%s", kInfo.usage, kInfo.summary); }

bool ParseKey(const char* text, Args& a) {
  std::string t = text;
  std::string root;
  size_t slash = t.find('\\');
  root = t.substr(0, slash);
  if (!IEq(root.c_str(), "HKLM") && !IEq(root.c_str(), "HKEY_LOCAL_MACHINE")) return false;
  a.key = slash == std::string::npos ? "" : t.substr(slash + 1);
  while (!a.key.empty() && a.key.back() == '\\') a.key.pop_back();
  a.shown = "HKEY_LOCAL_MACHINE";
  if (!a.key.empty()) a.shown += "\\" + a.key;
  return true;
}

bool Confirm(const char* question) {
  fprintf(stdout, "%s (Yes/No)? ", question);
  fflush(stdout);
  char line[64];
  if (fgets(line, sizeof line, stdin) == nullptr) return false;
  return line[0] == 'y' || line[0] == 'Y';
}

const char* TypeName(DWORD type) {
  switch (type) {
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_NONE: return "REG_NONE";
    default: return "REG_UNKNOWN";
  }
}

int ErrorOut(LONG rc) {
  if (rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND))
    fputs(kNotFound, stderr);
  else if (rc == static_cast<LONG>(ERROR_ACCESS_DENIED))
    fputs("ERROR: Access is denied.\n", stderr);
  else
    fprintf(stderr, "ERROR: The operation failed. (%d)\n", static_cast<int>(rc));
  return 1;
}

void PrintValue(const std::string& name, DWORD type, const std::vector<BYTE>& data) {
  std::string shown;
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    size_t n = 0;
    while (n < data.size() && data[n] != 0) ++n;
    shown.assign(reinterpret_cast<const char*>(data.data()), n);
  } else if (type == REG_DWORD && data.size() == 4) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%x",
             data[0] | data[1] << 8 | data[2] << 16 | static_cast<unsigned>(data[3]) << 24);
    shown = buf;
  } else {
    char buf[4];
    for (BYTE b : data) {
      snprintf(buf, sizeof buf, "%02X", b);
      shown += buf;
    }
  }
  printf("    %s    %s    %s\n", name.empty() ? "(Default)" : name.c_str(), TypeName(type),
         shown.c_str());
}

bool ReadValue(HKEY key, const char* name, DWORD* type, std::vector<BYTE>& data) {
  DWORD size = 0;
  if (RegQueryValueEx(key, name, nullptr, type, nullptr, &size) != 0) return false;
  data.resize(size);
  return RegQueryValueEx(key, name, nullptr, type, data.data(), &size) == 0;
}

int Query(const Args& a) {
  UniqueRegKey key;
  LONG rc = RegOpenKeyEx(HKEY_LOCAL_MACHINE, a.key.c_str(), 0, KEY_READ, key.Receive());
  if (rc != 0) {
    RegReportMissingStore();
    return ErrorOut(rc);
  }
  if (a.has_value) {
    DWORD type;
    std::vector<BYTE> data;
    if (!ReadValue(key.Get(), a.value.c_str(), &type, data)) {
      fputs(kNotFound, stderr);
      return 1;
    }
    printf("\n%s\n", a.shown.c_str());
    PrintValue(a.value, type, data);
    printf("\n");
    return 0;
  }
  printf("\n%s\n", a.shown.c_str());
  for (DWORD i = 0;; ++i) {
    char name[16384];
    DWORD len = sizeof name;
    DWORD type;
    DWORD dlen = 0;
    if (RegEnumValue(key.Get(), i, name, &len, nullptr, &type, nullptr, &dlen) != 0) break;
    std::vector<BYTE> data;
    if (ReadValue(key.Get(), name, &type, data)) PrintValue(name, type, data);
  }
  printf("\n");
  for (DWORD i = 0;; ++i) {
    char name[16384];
    DWORD len = sizeof name;
    if (RegEnumKeyEx(key.Get(), i, name, &len, nullptr, nullptr, nullptr, nullptr) != 0) break;
    printf("%s\\%s\n", a.shown.c_str(), name);
  }
  return 0;
}

bool EncodeData(const Args& a, DWORD* type, std::vector<BYTE>& out) {
  const std::string& t = a.type;
  if (IEq(t.c_str(), "REG_SZ") || IEq(t.c_str(), "REG_EXPAND_SZ")) {
    *type = IEq(t.c_str(), "REG_SZ") ? REG_SZ : REG_EXPAND_SZ;
    out.assign(a.data.begin(), a.data.end());
    out.push_back(0);
    return true;
  }
  if (IEq(t.c_str(), "REG_DWORD")) {
    *type = REG_DWORD;
    const char* s = a.has_data ? a.data.c_str() : "0";
    char* end = nullptr;
    errno = 0;
    unsigned long long v =
        strtoull(s, &end, (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) ? 16 : 10);
    if (*s == '\0' || *end != '\0' || errno != 0 || v > 0xFFFFFFFFULL || *s == '-') return false;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
    return true;
  }
  if (IEq(t.c_str(), "REG_BINARY") || IEq(t.c_str(), "REG_NONE")) {
    *type = IEq(t.c_str(), "REG_BINARY") ? REG_BINARY : REG_NONE;
    if (a.data.size() % 2 != 0) return false;
    for (size_t i = 0; i < a.data.size(); i += 2) {
      char hex[3] = {a.data[i], a.data[i + 1], 0};
      char* end = nullptr;
      unsigned long v = strtoul(hex, &end, 16);
      if (*end != '\0') return false;
      out.push_back(static_cast<BYTE>(v));
    }
    return true;
  }
  return false;
}

int Add(const Args& a) {
  DWORD type = REG_SZ;
  std::vector<BYTE> data;
  if ((a.has_value || a.has_data) && !EncodeData(a, &type, data)) return Usage("add");
  UniqueRegKey key;
  LONG rc = RegCreateKeyEx(HKEY_LOCAL_MACHINE, a.key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, key.Receive(), nullptr);
  if (rc != 0) return ErrorOut(rc);
  if (a.has_value || a.has_data) {
    if (!a.force &&
        RegQueryValueEx(key.Get(), a.value.c_str(), nullptr, nullptr, nullptr, nullptr) == 0) {
      std::string q =
          "Value " + (a.value.empty() ? std::string("(Default)") : a.value) + " exists, overwrite";
      if (!Confirm(q.c_str())) {
        printf("The operation was canceled by the user.\n");
        return 0;
      }
    }
    rc = RegSetValueEx(key.Get(), a.value.c_str(), 0, type, data.data(),
                       static_cast<DWORD>(data.size()));
    if (rc != 0) {
      return ErrorOut(rc);
    }
  }
  printf("%s", kDone);
  return 0;
}

LONG DeleteTree(HKEY parent, const std::string& sub) {
  UniqueRegKey key;
  LONG rc = RegOpenKeyEx(parent, sub.c_str(), 0, KEY_ALL_ACCESS, key.Receive());
  if (rc != 0) return rc;
  for (;;) {
    char name[16384];
    DWORD len = sizeof name;
    if (RegEnumKeyEx(key.Get(), 0, name, &len, nullptr, nullptr, nullptr, nullptr) != 0) break;
    rc = DeleteTree(key.Get(), name);
    if (rc != 0) return rc;
  }
  key.Reset();
  return RegDeleteKey(parent, sub.c_str());
}

int Delete(const Args& a) {
  UniqueRegKey key;
  LONG rc = RegOpenKeyEx(HKEY_LOCAL_MACHINE, a.key.c_str(), 0, KEY_ALL_ACCESS, key.Receive());
  if (rc != 0) return ErrorOut(rc);
  if (a.has_value || a.all_values) {
    if (a.has_value &&
        RegQueryValueEx(key.Get(), a.value.c_str(), nullptr, nullptr, nullptr, nullptr) != 0) {
      fputs(kNotFound, stderr);
      return 1;
    }
    std::string q = a.all_values ? "Delete all values under the registry key " + a.shown
                                 : "Delete the registry value " +
                                       (a.value.empty() ? std::string("(Default)") : a.value);
    if (!a.force && !Confirm(q.c_str())) {
      printf("The operation was canceled by the user.\n");
      return 0;
    }
    if (a.all_values) {
      for (;;) {
        char name[16384];
        DWORD len = sizeof name;
        if (RegEnumValue(key.Get(), 0, name, &len, nullptr, nullptr, nullptr, nullptr) != 0) break;
        if ((rc = RegDeleteValue(key.Get(), name)) != 0) break;
      }
    } else {
      rc = RegDeleteValue(key.Get(), a.value.c_str());
    }
    key.Reset();
    if (rc != 0) return ErrorOut(rc);
    printf("%s", kDone);
    return 0;
  }
  key.Reset();
  if (a.key.empty()) return ErrorOut(ERROR_ACCESS_DENIED);
  std::string q = "Permanently delete the registry key " + a.shown;
  if (!a.force && !Confirm(q.c_str())) {
    printf("The operation was canceled by the user.\n");
    return 0;
  }
  rc = DeleteTree(HKEY_LOCAL_MACHINE, a.key);
  if (rc != 0) return ErrorOut(rc);
  printf("%s", kDone);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (torva::AnswerInfoOption(argc, argv, kInfo)) return 0;
  if (argc < 2) return Usage("");
  Args a;
  a.op = argv[1];
  if (IEq(argv[1], "/?") || IEq(argv[1], "-?")) {
    Help();
    return 0;
  }
  bool q = IEq(argv[1], "query"), ad = IEq(argv[1], "add"), del = IEq(argv[1], "delete");
  if (!q && !ad && !del) return Usage("");
  if (argc < 3) return Usage(a.op);
  if (IEq(argv[2], "/?")) {
    Help();
    return 0;
  }
  if (!ParseKey(argv[2], a)) {
    fprintf(stderr, "ERROR: Invalid key name.\n");
    return Usage(a.op);
  }
  for (int i = 3; i < argc; ++i) {
    const char* o = argv[i];
    auto is = [o](const char* name) { return (o[0] == '/' || o[0] == '-') && IEq(o + 1, name); };
    if (is("v") && i + 1 < argc && !a.has_value) {
      a.has_value = true;
      a.value = argv[++i];
    } else if (is("ve") && !a.has_value) {
      a.has_value = true;
      a.value.clear();
    } else if (is("va") && del) {
      a.all_values = true;
    } else if (is("t") && ad && i + 1 < argc) {
      a.type = argv[++i];
    } else if (is("d") && ad && i + 1 < argc) {
      a.has_data = true;
      a.data = argv[++i];
    } else if (is("f") && !q) {
      a.force = true;
    } else {
      return Usage(a.op);
    }
  }
  if (q) return Query(a);
  if (ad) return Add(a);
  return Delete(a);
}
