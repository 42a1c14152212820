// Registry store: one text file in the spirit of a .reg export.
//
//   TORVA REGISTRY 1
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Some Key]
//   "Name"="text"            REG_SZ holding printable text and one final NUL
//   "Name"=expand:"text"     the same for REG_EXPAND_SZ
//   "Name"=dword:0000000a    REG_DWORD of four bytes
//   "Name"=hex(3):01,ff      any other type or shape, byte by byte
//
// Strings escape '\', '"' and bytes outside 0x20..0x7E as \\, \" and \xHH; key
// names escape bytes outside 0x21..0x7E (and ']', '%') as %HH, since '\'
// separates their components.
//
// Writers take an exclusive flock on "<store>.lock", reload the file, apply
// their change and rename a complete new file into place, so two processes that
// change different values both keep theirs and readers (who take no lock) only
// ever see whole files.
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

struct RegKeyObject {
  std::string path;  // "" for the root, else "SOFTWARE\\A\\B" as first created
  bool write = false;
};

namespace {

constexpr const char kRootName[] = "HKEY_LOCAL_MACHINE";
constexpr const char kMagic[] = "TORVA REGISTRY 1";

struct Value {
  std::string name;
  DWORD type = REG_NONE;
  std::string data;
};

struct Key {
  std::string path;
  std::vector<Value> values;
};

struct Store {
  std::vector<Key> keys;  // in creation order
};

RegKeyObject g_root{"", false};

bool IEquals(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

std::string Parent(const std::string& path) {
  size_t p = path.rfind('\\');
  return p == std::string::npos ? std::string() : path.substr(0, p);
}

// Joins a parent path and a relative subkey, dropping empty components.
std::string JoinKey(const std::string& parent, const char* sub) {
  std::string out = parent;
  if (sub == nullptr) return out;
  std::string comp;
  for (const char* p = sub;; ++p) {
    if (*p == '\\' || *p == '\0') {
      if (!comp.empty()) {
        if (!out.empty()) out += '\\';
        out += comp;
        comp.clear();
      }
      if (*p == '\0') break;
    } else {
      comp += *p;
    }
  }
  return out;
}

Key* FindKey(Store& s, const std::string& path) {
  for (auto& k : s.keys)
    if (IEquals(k.path, path)) return &k;
  return nullptr;
}

bool KeyExists(Store& s, const std::string& path) {
  if (path.empty()) return true;
  if (FindKey(s, path) != nullptr) return true;
  // An ancestor of a stored key exists too.
  for (auto& k : s.keys)
    if (k.path.size() > path.size() && k.path[path.size()] == '\\' &&
        IEquals(k.path.substr(0, path.size()), path))
      return true;
  return false;
}

Key& EnsureKey(Store& s, const std::string& path) {
  if (Key* k = FindKey(s, path)) return *k;
  std::string parent = Parent(path);
  if (!parent.empty()) EnsureKey(s, parent);
  s.keys.push_back(Key{path, {}});
  return s.keys.back();
}

Value* FindValue(Key& k, const std::string& name) {
  for (auto& v : k.values)
    if (IEquals(v.name, name)) return &v;
  return nullptr;
}

// Names of the direct subkeys of `path`, in creation order. Keys that exist only
// as ancestors of deeper keys count too.
std::vector<std::string> Children(Store& s, const std::string& path) {
  std::vector<std::string> out;
  for (auto& k : s.keys) {
    bool below = path.empty() || (k.path.size() > path.size() && k.path[path.size()] == '\\' &&
                                  IEquals(k.path.substr(0, path.size()), path));
    if (!below) continue;
    std::string rest = k.path.substr(path.empty() ? 0 : path.size() + 1);
    std::string name = rest.substr(0, rest.find('\\'));
    bool dup = false;
    for (auto& o : out) dup = dup || IEquals(o, name);
    if (!dup && !name.empty()) out.push_back(name);
  }
  return out;
}

// ---- text form ----

void AppendHex(std::string& out, unsigned char c) {
  static const char kDigits[] = "0123456789abcdef";
  out += kDigits[c >> 4];
  out += kDigits[c & 15];
}

std::string QuoteString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c >= 0x20 && c <= 0x7E)
      out += static_cast<char>(c);
    else {
      out += "\\x";
      AppendHex(out, c);
    }
  }
  return out + "\"";
}

std::string EscapeKey(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '\\' || (c > 0x20 && c <= 0x7E && c != ']' && c != '%') || c == ' ') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      AppendHex(out, c);
    }
  }
  return out;
}

bool IsPlainString(const std::string& d) {
  if (d.empty() || d.back() != '\0') return false;
  for (size_t i = 0; i + 1 < d.size(); ++i)
    if (d[i] == '\0') return false;
  return true;
}

std::string FormatValue(const Value& v) {
  std::string out = v.name.empty() ? std::string("@") : QuoteString(v.name);
  out += '=';
  if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ) && IsPlainString(v.data)) {
    if (v.type == REG_EXPAND_SZ) out += "expand:";
    out += QuoteString(v.data.substr(0, v.data.size() - 1));
  } else if (v.type == REG_DWORD && v.data.size() == 4) {
    uint32_t x = static_cast<unsigned char>(v.data[0]) |
                 static_cast<uint32_t>(static_cast<unsigned char>(v.data[1])) << 8 |
                 static_cast<uint32_t>(static_cast<unsigned char>(v.data[2])) << 16 |
                 static_cast<uint32_t>(static_cast<unsigned char>(v.data[3])) << 24;
    char buf[16];
    snprintf(buf, sizeof buf, "dword:%08x", x);
    out += buf;
  } else {
    char buf[32];
    snprintf(buf, sizeof buf, "hex(%u):", v.type);
    out += buf;
    for (size_t i = 0; i < v.data.size(); ++i) {
      if (i) out += ',';
      AppendHex(out, static_cast<unsigned char>(v.data[i]));
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses a quoted string at p; returns the position after it or npos.
size_t ParseQuoted(const std::string& line, size_t p, std::string& out) {
  if (p >= line.size() || line[p] != '"') return std::string::npos;
  ++p;
  out.clear();
  while (p < line.size()) {
    char c = line[p];
    if (c == '"') return p + 1;
    if (c == '\\' && p + 1 < line.size()) {
      char n = line[p + 1];
      if (n == 'x' && p + 3 < line.size() && HexDigit(line[p + 2]) >= 0 &&
          HexDigit(line[p + 3]) >= 0) {
        out += static_cast<char>(HexDigit(line[p + 2]) * 16 + HexDigit(line[p + 3]));
        p += 4;
        continue;
      }
      out += n;
      p += 2;
      continue;
    }
    out += c;
    ++p;
  }
  return std::string::npos;
}

bool ParseValueLine(const std::string& line, Value& v) {
  size_t p;
  if (!line.empty() && line[0] == '@') {
    v.name.clear();
    p = 1;
  } else {
    p = ParseQuoted(line, 0, v.name);
    if (p == std::string::npos) return false;
  }
  if (p >= line.size() || line[p] != '=') return false;
  std::string rest = line.substr(p + 1);
  if (!rest.empty() && rest[0] == '"') {
    std::string s;
    if (ParseQuoted(rest, 0, s) == std::string::npos) return false;
    v.type = REG_SZ;
    v.data = s + '\0';
    return true;
  }
  if (rest.rfind("expand:", 0) == 0) {
    std::string s;
    if (ParseQuoted(rest, 7, s) == std::string::npos) return false;
    v.type = REG_EXPAND_SZ;
    v.data = s + '\0';
    return true;
  }
  if (rest.rfind("dword:", 0) == 0) {
    uint32_t x = static_cast<uint32_t>(strtoul(rest.c_str() + 6, nullptr, 16));
    v.type = REG_DWORD;
    v.data.assign(4, '\0');
    for (int i = 0; i < 4; ++i) v.data[i] = static_cast<char>((x >> (8 * i)) & 0xFF);
    return true;
  }
  if (rest.rfind("hex(", 0) == 0) {
    size_t close = rest.find("):");
    if (close == std::string::npos) return false;
    v.type = static_cast<DWORD>(strtoul(rest.c_str() + 4, nullptr, 10));
    v.data.clear();
    for (size_t i = close + 2; i < rest.size();) {
      if (rest[i] == ',' || rest[i] == ' ') {
        ++i;
        continue;
      }
      if (i + 1 >= rest.size() || HexDigit(rest[i]) < 0 || HexDigit(rest[i + 1]) < 0) return false;
      v.data += static_cast<char>(HexDigit(rest[i]) * 16 + HexDigit(rest[i + 1]));
      i += 2;
    }
    return true;
  }
  return false;
}

std::string UnescapeKey(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexDigit(s[i + 1]) >= 0 && HexDigit(s[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(s[i + 1]) * 16 + HexDigit(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

bool ReadWholeFile(const char* path, std::string& out) {
  out.clear();
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;  // a missing store is an empty registry
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      close(fd);
      return false;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

bool LoadStore(Store& s) {
  s.keys.clear();
  std::string text;
  if (!ReadWholeFile(RegStorePath(), text)) return false;
  Key* cur = nullptr;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';' || line == kMagic) continue;
    if (line[0] == '[' && line.back() == ']') {
      std::string name = UnescapeKey(line.substr(1, line.size() - 2));
      std::string root = kRootName;
      if (IEquals(name.substr(0, root.size()), root) &&
          (name.size() == root.size() || name[root.size()] == '\\')) {
        std::string path = name.size() > root.size() ? name.substr(root.size() + 1) : "";
        cur = path.empty() ? nullptr : &EnsureKey(s, path);
      } else {
        cur = nullptr;
      }
      continue;
    }
    Value v;
    if (cur != nullptr && ParseValueLine(line, v)) {
      if (Value* old = FindValue(*cur, v.name))
        *old = v;
      else
        cur->values.push_back(v);
    }
  }
  return true;
}

std::string Dir(const std::string& file) {
  size_t p = file.rfind('/');
  if (p == std::string::npos) return ".";
  if (p == 0) return "/";
  return file.substr(0, p);
}

bool SaveStore(const Store& s) {
  std::string text = std::string(kMagic) + "\n";
  for (const auto& k : s.keys) {
    text += "\n[" + std::string(kRootName) + "\\" + EscapeKey(k.path) + "]\n";
    for (const auto& v : k.values) text += FormatValue(v) + "\n";
  }
  std::string path = RegStorePath();
  char suffix[64];
  snprintf(suffix, sizeof suffix, ".tmp.%d.%ld", static_cast<int>(getpid()),
           static_cast<long>(gettid()));
  std::string tmp = path + suffix;
  mode_t mode = 0644;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t off = 0;
  while (off < text.size()) {
    ssize_t n = write(fd, text.data() + off, text.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      close(fd);
      unlink(tmp.c_str());
      return false;
    }
    off += static_cast<size_t>(n);
  }
  fchmod(fd, mode);
  if (close(fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool MakeDirs(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  std::string parent = Dir(dir);
  if (parent != dir && !MakeDirs(parent)) return false;
  return mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

// A store is writable when its directory and (if present) the file accept
// writes from this process. A file or directory without any write bit counts
// as read-only even for the superuser, as a read-only attribute would.
bool StoreWritable() {
  std::string path = RegStorePath();
  std::string dir = Dir(path);
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) {
    if (!MakeDirs(dir)) return false;
    if (stat(dir.c_str(), &st) != 0) return false;
  }
  if (!S_ISDIR(st.st_mode) || (st.st_mode & 0222) == 0 || access(dir.c_str(), W_OK) != 0)
    return false;
  if (stat(path.c_str(), &st) == 0)
    return (st.st_mode & 0222) != 0 && access(path.c_str(), W_OK) == 0;
  return true;
}

bool WantsWrite(REGSAM sam) {
  return (sam & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0 || sam == KEY_ALL_ACCESS;
}

// Runs `change` on a freshly loaded store under the writers' lock and saves the
// result when it returns ERROR_SUCCESS.
template <typename F>
LONG Transaction(F change) {
  std::string lock = std::string(RegStorePath()) + ".lock";
  int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return static_cast<LONG>(ErrnoToWin32(errno));
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(fd);
      return static_cast<LONG>(ERROR_ACCESS_DENIED);
    }
  }
  Store s;
  LONG rc;
  if (!LoadStore(s)) {
    rc = static_cast<LONG>(ErrnoToWin32(errno));
  } else {
    rc = change(s);
    if (rc == static_cast<LONG>(ERROR_SUCCESS) && !SaveStore(s))
      rc = static_cast<LONG>(ErrnoToWin32(errno));
  }
  flock(fd, LOCK_UN);
  close(fd);
  return rc;
}

LONG Fail(DWORD code) { return static_cast<LONG>(code); }

}  // namespace

HKEY RegRootLocalMachine() { return &g_root; }

const char* RegStorePath() {
  const char* p = getenv("TORVA_REGISTRY");
  return (p != nullptr && *p != '\0') ? p : "/etc/torva/registry.reg";
}

bool RegReportMissingStore() {
  struct stat st;
  if (stat(RegStorePath(), &st) == 0 || (errno != ENOENT && errno != ENOTDIR)) return false;
  fprintf(stderr, "The registry file \"%s\" does not exist.\n", RegStorePath());
  return true;
}

LONG RegOpenKeyEx(HKEY parent, const char* subkey, DWORD, REGSAM sam, HKEY* result) {
  if (parent == nullptr || result == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *result = nullptr;
  std::string path = JoinKey(parent->path, subkey);
  Store s;
  if (!LoadStore(s)) return Fail(ERROR_ACCESS_DENIED);
  if (!KeyExists(s, path)) return Fail(ERROR_FILE_NOT_FOUND);
  bool write = WantsWrite(sam);
  if (write && !StoreWritable()) return Fail(ERROR_ACCESS_DENIED);
  *result = new RegKeyObject{path, write};
  return Fail(ERROR_SUCCESS);
}

LONG RegCreateKeyEx(HKEY parent, const char* subkey, DWORD, const char*, DWORD, REGSAM sam,
                    const void*, HKEY* result, DWORD* disposition) {
  if (parent == nullptr || result == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *result = nullptr;
  std::string path = JoinKey(parent->path, subkey);
  bool write = WantsWrite(sam);
  Store s;
  if (!LoadStore(s)) return Fail(ERROR_ACCESS_DENIED);
  if (KeyExists(s, path)) {
    if (write && !StoreWritable()) return Fail(ERROR_ACCESS_DENIED);
    if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
    *result = new RegKeyObject{path, write};
    return Fail(ERROR_SUCCESS);
  }
  if (!StoreWritable()) return Fail(ERROR_ACCESS_DENIED);
  bool created = false;
  LONG rc = Transaction([&](Store& st) {
    if (!KeyExists(st, path)) {
      EnsureKey(st, path);
      created = true;
    }
    return static_cast<LONG>(ERROR_SUCCESS);
  });
  if (rc != 0) return rc;
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = new RegKeyObject{path, write};
  return Fail(ERROR_SUCCESS);
}

LONG RegQueryValueEx(HKEY key, const char* name, DWORD*, DWORD* type, BYTE* data, DWORD* size) {
  if (key == nullptr || (data != nullptr && size == nullptr)) return Fail(ERROR_INVALID_PARAMETER);
  Store s;
  if (!LoadStore(s)) return Fail(ERROR_ACCESS_DENIED);
  Key* k = FindKey(s, key->path);
  Value* v = k ? FindValue(*k, name ? name : "") : nullptr;
  if (v == nullptr) return Fail(ERROR_FILE_NOT_FOUND);
  if (type) *type = v->type;
  DWORD need = static_cast<DWORD>(v->data.size());
  if (data != nullptr) {
    if (*size < need) {
      *size = need;
      return Fail(ERROR_MORE_DATA);
    }
    // Values are bytes; a string's NUL is part of its data, never added.
    memcpy(data, v->data.data(), need);  // NOLINT(bugprone-not-null-terminated-result)
  }
  if (size) *size = need;
  return Fail(ERROR_SUCCESS);
}

LONG RegSetValueEx(HKEY key, const char* name, DWORD, DWORD type, const BYTE* data, DWORD size) {
  if (key == nullptr || key == &g_root) return Fail(ERROR_INVALID_PARAMETER);
  if (!key->write) return Fail(ERROR_ACCESS_DENIED);
  std::string n = name ? name : "";
  std::string bytes(reinterpret_cast<const char*>(data), data ? size : 0);
  return Transaction([&](Store& s) {
    if (!KeyExists(s, key->path)) return Fail(ERROR_FILE_NOT_FOUND);
    Key& k = EnsureKey(s, key->path);
    if (Value* v = FindValue(k, n)) {
      v->type = type;
      v->data = bytes;
    } else {
      k.values.push_back(Value{n, type, bytes});
    }
    return Fail(ERROR_SUCCESS);
  });
}

LONG RegDeleteValue(HKEY key, const char* name) {
  if (key == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!key->write) return Fail(ERROR_ACCESS_DENIED);
  std::string n = name ? name : "";
  return Transaction([&](Store& s) {
    Key* k = FindKey(s, key->path);
    if (k == nullptr) return Fail(ERROR_FILE_NOT_FOUND);
    auto it = std::find_if(k->values.begin(), k->values.end(),
                           [&](const Value& v) { return IEquals(v.name, n); });
    if (it == k->values.end()) return Fail(ERROR_FILE_NOT_FOUND);
    k->values.erase(it);
    return Fail(ERROR_SUCCESS);
  });
}

LONG RegDeleteKey(HKEY parent, const char* subkey) {
  if (parent == nullptr || subkey == nullptr || *subkey == '\0')
    return Fail(ERROR_INVALID_PARAMETER);
  std::string path = JoinKey(parent->path, subkey);
  if (!StoreWritable()) return Fail(ERROR_ACCESS_DENIED);
  return Transaction([&](Store& s) {
    if (!KeyExists(s, path)) return Fail(ERROR_FILE_NOT_FOUND);
    if (!Children(s, path).empty()) return Fail(ERROR_ACCESS_DENIED);
    s.keys.erase(std::remove_if(s.keys.begin(), s.keys.end(),
                                [&](const Key& k) { return IEquals(k.path, path); }),
                 s.keys.end());
    // Keep the parent as a key of its own once its last child is gone.
    std::string parent_path = Parent(path);
    if (!parent_path.empty()) EnsureKey(s, parent_path);
    return Fail(ERROR_SUCCESS);
  });
}

LONG RegEnumKeyEx(HKEY key, DWORD index, char* name, DWORD* name_len, DWORD*, char*, DWORD*,
                  void*) {
  if (key == nullptr || name == nullptr || name_len == nullptr)
    return Fail(ERROR_INVALID_PARAMETER);
  Store s;
  if (!LoadStore(s)) return Fail(ERROR_ACCESS_DENIED);
  std::vector<std::string> kids = Children(s, key->path);
  if (index >= kids.size()) return Fail(ERROR_NO_MORE_ITEMS);
  const std::string& k = kids[index];
  if (*name_len <= k.size()) return Fail(ERROR_MORE_DATA);
  memcpy(name, k.c_str(), k.size() + 1);
  *name_len = static_cast<DWORD>(k.size());
  return Fail(ERROR_SUCCESS);
}

LONG RegEnumValue(HKEY key, DWORD index, char* name, DWORD* name_len, DWORD*, DWORD* type,
                  BYTE* data, DWORD* data_len) {
  if (key == nullptr || name == nullptr || name_len == nullptr)
    return Fail(ERROR_INVALID_PARAMETER);
  Store s;
  if (!LoadStore(s)) return Fail(ERROR_ACCESS_DENIED);
  Key* k = FindKey(s, key->path);
  if (k == nullptr || index >= k->values.size()) return Fail(ERROR_NO_MORE_ITEMS);
  const Value& v = k->values[index];
  if (*name_len <= v.name.size()) return Fail(ERROR_MORE_DATA);
  memcpy(name, v.name.c_str(), v.name.size() + 1);
  *name_len = static_cast<DWORD>(v.name.size());
  if (type) *type = v.type;
  if (data_len) {
    DWORD need = static_cast<DWORD>(v.data.size());
    if (data != nullptr) {
      if (*data_len < need) {
        *data_len = need;
        return Fail(ERROR_MORE_DATA);
      }
      memcpy(data, v.data.data(), need);  // NOLINT(bugprone-not-null-terminated-result): bytes
    }
    *data_len = need;
  }
  return Fail(ERROR_SUCCESS);
}

LONG RegCloseKey(HKEY key) {
  if (key == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (key != &g_root) delete key;
  return Fail(ERROR_SUCCESS);
}
