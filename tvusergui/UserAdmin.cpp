#include "tvusergui/UserAdmin.h"

#include <cstring>
#include <utility>

#include "common/strutil.h"
#include "common/torva.h"
#include "platform/eventlog.h"
#include "platform/fs.h"
#include "platform/registry.h"
#include "tvusers/tvusers.h"

namespace torva::gui {

namespace {

constexpr int kListTop = 128;
constexpr char kLockFileName[] = "tvusergui.lck";
// The lock file holds exactly these 16 bytes while a copy runs.
constexpr char kLockText[] = "Torva Server UAG";
static_assert(sizeof kLockText - 1 == 16);

const char* AuthorityText(int32_t admin) { return kAuthorityItems[admin != 0 ? 1 : 0]; }

const char* LibraryErrorText(int32_t code) {
  switch (code) {
    case 101: return "Could not create FTP user.";
    case 102: return "Could not open file.";
    case 103: return "Could not set value.";
    case 104: return "Could not delete value.";
    case 105: return "Could not delete key.";
    case 106: return "No memory.";
    case 201: return "The FTP user already exists.";
    case 202: return "The FTP user does not exist.";
    case 203: return "Could not login.";
    case 204: return "No authority.";
    default: return "Unknown error.";
  }
}

Box Warning(const char* text) { return Box{text, "Warning", BoxIcon::kWarning}; }

}  // namespace

Rect ListPlace(int client_width, int client_height) {
  int h = client_height - kListTop;
  return Rect{0, kListTop, client_width, h > 0 ? h : 0};
}

std::array<int, 3> ColumnWidths(int client_width) {
  int narrow = client_width / 100 * 15;
  return {narrow, client_width - 2 * narrow, narrow};
}

Box LibraryError(const char* function, int32_t code) {
  return Box{LibraryErrorText(code), function, BoxIcon::kError};
}

Box SystemError(const char* call, DWORD error) {
  char text[512];
  DWORD n = FormatMessage(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                          error, 0, text, sizeof text, nullptr);
  if (n == 0) return Box{"No memory.", call, BoxIcon::kError};
  // The system's texts end with a line break, which a message box would show
  // as an empty last line.
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) --n;
  return Box{std::string(text, n), call, BoxIcon::kError};
}

Box InformationBox() {
  return Box{"Torva Server - User Administration GUI", "Information", BoxIcon::kInformation};
}

Box NothingSelectedBox() { return Warning("Does not selected."); }

ListFill FillList() {
  ListFill fill;
  int32_t err = 0;
  TvUserList* list = tvusers_list(&err);
  if (list == nullptr) {
    fill.box = LibraryError("tvusers_list", err);
    return fill;
  }
  for (const TvUserNode* node = list->head; node != nullptr; node = node->next)
    fill.rows.push_back(Row{node->rec.name, node->rec.usrdir, AuthorityText(node->rec.admin)});
  tvusers_list_free(list);
  return fill;
}

Selection SelectRow(const char* first_column) {
  char name[32];
  CopyTruncated(name, first_column);
  UserRecord rec{};
  Selection sel;
  int32_t err = 0;
  if (tvusers_read2(&err, name, &rec) != 0) {
    sel.box = LibraryError("tvusers_read2", err);
    rec = UserRecord{};
  }
  CopyTruncated(sel.fields.name, rec.name);
  // The unscrambled field need not hold a terminator; 31 bytes at most are the password.
  CopyTruncated(sel.fields.passwd, reinterpret_cast<const char*>(rec.passwd));
  CopyTruncated(sel.fields.directory, rec.usrdir);
  sel.fields.authority = rec.admin != 0 ? 1 : 0;
  return sel;
}

Outcome Apply(const char* name, const char* passwd, const char* directory, int authority) {
  if (strlen(name) > kMaxUserName) return Outcome{Warning("User name is too long.")};
  if (strlen(passwd) > kMaxPassword) return Outcome{Warning("Password is too long.")};
  if (strlen(directory) > kMaxUserDir) return Outcome{Warning("Directory is too long.")};

  Fields f;
  CopyTruncated(f.name, name);
  CopyTruncated(f.passwd, passwd);
  CopyTruncated(f.directory, directory);
  f.authority = authority;
  Row row{f.name, f.directory, AuthorityText(authority)};

  int32_t err = 0;
  if (tvusers_add(&err, f.name, f.passwd, f.directory, authority, 0, 0, 0) == 0)
    return Outcome{std::nullopt, RowChange::kAppend, row};
  if (err != TVUSERS_ERR_USER_EXISTS) return Outcome{LibraryError("tvusers_add", err)};

  // The user exists: password and directory are replaced by the fields, empty
  // ones included; the three numbers the window never shows stay as stored.
  int32_t admin = authority;
  err = 0;
  if (tvusers_mod(&err, f.name, f.passwd, f.directory, &admin, nullptr, nullptr, nullptr) != 0)
    return Outcome{LibraryError("tvusers_mod", err)};
  return Outcome{std::nullopt, RowChange::kUpdate, row};
}

Outcome DeleteRow(const char* first_column) {
  char name[80];
  CopyTruncated(name, first_column);
  Outcome out;
  int32_t err = 0;
  if (tvusers_del(&err, name) != 0) out.box = LibraryError("tvusers_del", err);
  // The row goes whether or not its user could be deleted.
  out.change = RowChange::kRemove;
  return out;
}

bool InstanceLock::Acquire(const char* path) {
  Release();
  UniqueKernelHandle file(CreateFile(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!file) return false;
  DWORD written = 0;
  // A file that cannot take the text is closed, not deleted: it may be what
  // another copy left behind.
  if (!WriteFile(file.Get(), kLockText, sizeof kLockText - 1, &written, nullptr) ||
      written != sizeof kLockText - 1)
    return false;
  file_ = std::move(file);
  path_ = path;
  return true;
}

void InstanceLock::Release() {
  if (!file_) return;
  file_.Reset();
  // Gone already, or taken by a copy that started in between: either way not ours.
  static_cast<void>(DeleteFile(path_.c_str()));
  path_.clear();
}

std::optional<Box> StartUp(InstanceLock* lock) {
  UniqueRegKey key;
  LONG rc = RegOpenInstallKey(KEY_READ, key.Receive());
  if (rc != ERROR_SUCCESS) return SystemError("RegOpenKeyEx", static_cast<DWORD>(rc));
  char path[1024];
  rc = RegQueryString(key.Get(), kValuePath, path);
  if (rc != ERROR_SUCCESS) return SystemError("RegQueryValueEx", static_cast<DWORD>(rc));
  key.Reset();

  char lock_path[1100];
  Box already{"This application has already been started.", "Notice", BoxIcon::kInformation};
  // A path that does not fit cannot be opened either.
  if (!FormatInto(lock_path, "%s%c%s%c%s", path, kPathSep, kDirSys, kPathSep, kLockFileName) ||
      !lock->Acquire(lock_path))
    return already;
  return std::nullopt;
}

}  // namespace torva::gui
