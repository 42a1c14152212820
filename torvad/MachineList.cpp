#include "torvad/MachineList.h"

#include <cstdio>
#include <cstring>

#include "common/strutil.h"
#include "platform/fs.h"
#include "torvad/CommandDispatch.h"
#include "torvad/ConfigTbl.h"
#include "torvad/DataConn.h"
#include "torvad/Log.h"
#include "torvad/Login.h"
#include "torvad/Paths.h"
#include "torvad/SessionIo.h"

namespace {

constexpr const char kNotTaken[] = "550 Requested action not taken.";

struct FactName {
  int bit;
  const char* name;
};
constexpr FactName kFacts[] = {
    {kFactType, "type"}, {kFactSize, "size"}, {kFactModify, "modify"}, {kFactPerm, "perm"}};

const char* KindName(MlstKind kind) {
  switch (kind) {
    case MlstKind::kDir: return "dir";
    case MlstKind::kCdir: return "cdir";
    case MlstKind::kPdir: return "pdir";
    case MlstKind::kFile: break;
  }
  return "file";
}

// What the user may do: with a file retrieve (r), and when it may write,
// append (a) and store (w) unless the file is read-only, delete (d) and
// rename (f); with a directory enter (e) and list (l), and when it may
// write, create files (c) and directories (m), purge (p), delete and rename.
const char* Perm(MlstKind kind, bool read_only_file, bool may_write) {
  if (kind == MlstKind::kFile) {
    if (!may_write) return "r";
    return read_only_file ? "dfr" : "adfrw";
  }
  return may_write ? "cdeflmp" : "el";
}

// Text built into a fixed buffer piece by piece, without a format string per
// piece: a listing of thousands of entries formats its lines here.
class Writer {
 public:
  Writer(char* out, size_t size) : p_(out), end_(out + size) {
    if (size > 0) *p_ = '\0';
  }
  Writer& Text(const char* s) {
    while (*s != '\0') Put(*s++);
    return *this;
  }
  // A decimal number, at least `width` digits (zeros in front).
  Writer& Number(uint64_t v, int width = 0) {
    char digits[20];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    while (n < width && n < static_cast<int>(sizeof digits)) digits[n++] = '0';
    while (n > 0) Put(digits[--n]);
    return *this;
  }
  bool ok() const { return ok_; }

 private:
  void Put(char c) {
    if (p_ + 1 >= end_) {
      ok_ = false;
      return;
    }
    *p_++ = c;
    *p_ = '\0';
  }
  char* p_;
  char* end_;
  bool ok_ = true;
};

void WriteFacts(Writer& w, MlstKind kind, uint64_t size, const SYSTEMTIME& utc, bool read_only_file,
                bool may_write, int facts_off) {
  if ((facts_off & kFactType) == 0) w.Text("type=").Text(KindName(kind)).Text(";");
  if ((facts_off & kFactSize) == 0 && kind == MlstKind::kFile)
    w.Text("size=").Number(size).Text(";");
  if ((facts_off & kFactModify) == 0) {
    w.Text("modify=").Number(utc.wYear, 4).Number(utc.wMonth, 2).Number(utc.wDay, 2);
    w.Number(utc.wHour, 2).Number(utc.wMinute, 2).Number(utc.wSecond, 2).Text(";");
  }
  if ((facts_off & kFactPerm) == 0)
    w.Text("perm=").Text(Perm(kind, read_only_file, may_write)).Text(";");
}

// The facts line of the object at a local path; false when it does not exist.
bool FactsOfPath(const FtpTbl* ftp, const char* local, MlstKind dir_kind, char* out, size_t size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesEx(local, GetFileExInfoStandard, &data)) return false;
  const bool dir = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  SYSTEMTIME utc;
  if (!FileTimeToSystemTime(&data.ftLastWriteTime, &utc)) memset(&utc, 0, sizeof utc);
  const uint64_t bytes = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  MlstFacts(dir ? dir_kind : MlstKind::kFile, bytes, utc,
            (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0, UserMayWrite(ftp),
            ftp->mlst_facts_off, out, size);
  return true;
}

}  // namespace

bool MlstFacts(MlstKind kind, uint64_t size, const SYSTEMTIME& utc, bool read_only_file,
               bool may_write, int facts_off, char* out, size_t out_size) {
  Writer w(out, out_size);
  WriteFacts(w, kind, size, utc, read_only_file, may_write, facts_off);
  return w.ok();
}

bool MlsdLine(const ListEntry& e, const ListView& v, char* out, size_t size) {
  const bool dir = (e.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (dir && v.no_list_dir) return false;
  MlstKind kind = dir ? MlstKind::kDir : MlstKind::kFile;
  if (strcmp(e.name, ".") == 0) {
    kind = MlstKind::kCdir;
  } else if (strcmp(e.name, "..") == 0) {
    if (v.at_top) return false;  // nothing above the top is the client's
    kind = MlstKind::kPdir;
  }
  Writer w(out, size);
  WriteFacts(w, kind, e.size, e.time, (e.attributes & FILE_ATTRIBUTE_READONLY) != 0, v.may_write,
             v.facts_off);
  w.Text(" ").Text(e.name);
  return true;
}

void MlstFeatFacts(int facts_off, char* out, size_t size) {
  Writer w(out, size);
  for (const FactName& f : kFacts) w.Text(f.name).Text((facts_off & f.bit) == 0 ? "*;" : ";");
}

int MlstFactsFromOpts(const char* list, char* shown, size_t size) {
  int on = 0;
  const char* p = list;
  while (*p == ' ') ++p;
  while (*p != '\0') {
    const char* end = strchr(p, ';');
    const size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
    for (const FactName& f : kFacts) {
      if (strlen(f.name) != len) continue;
      bool same = true;
      for (size_t i = 0; i < len && same; ++i)
        same = torva::ToUpperAscii(p[i]) == torva::ToUpperAscii(f.name[i]);
      if (same) on |= f.bit;
    }
    if (end == nullptr) break;
    p = end + 1;
  }
  Writer w(shown, size);
  for (const FactName& f : kFacts)
    if (on & f.bit) w.Text(f.name).Text(";");
  return kAllFacts & ~on;
}

int CmdMlsd(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: MLSD");
  if (!RequireLogin(ftp, sock)) return -1;
  char virt[1024];
  torva::CopyTruncated(virt, ftp->cur_dir);
  if (arg != nullptr) {
    CutLineEnd(ftp, arg);
    if (arg[0] != '\0' && !ResolveDirectory(ftp, arg, virt)) {
      DataClose(ftp);
      ReplySend(ftp, sock, kNotTaken);
      return 0;
    }
  }
  ListView view = ViewOf(ftp, virt);
  view.may_write = UserMayWrite(ftp);
  view.facts_off = ftp->mlst_facts_off;
  return RunListing(ftp, sock, MlsdLine, view, ListFrame{virt, false, EntryTime::kUtc, false});
}

int CmdMlst(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: MLST");
  if (!RequireLogin(ftp, sock)) return -1;
  if (arg != nullptr) CutLineEnd(ftp, arg);
  const bool current = arg == nullptr || arg[0] == '\0';
  char facts[256];
  char shown[1100];
  char virt[1024];
  if (current || ResolveDirectory(ftp, arg, virt)) {
    // A directory: the current one (cdir) or the one named.
    if (current) torva::CopyTruncated(virt, ftp->cur_dir);
    char local[2100];
    if (!LocalDirOfVirtual(ftp, virt, local, sizeof local) ||
        !FactsOfPath(ftp, local, current ? MlstKind::kCdir : MlstKind::kDir, facts, sizeof facts)) {
      ReplySend(ftp, sock, kNotTaken);
      return 0;
    }
    if (current)
      DisplayDir(ftp, virt, shown, sizeof shown);
    else
      torva::CopyTruncated(shown, arg);
  } else {
    char path[kLocalPathSize];
    if (PathResolve(ftp, sock, arg, path) != 0) return 0;
    if (!FactsOfPath(ftp, path, MlstKind::kDir, facts, sizeof facts)) {
      ReplySend(ftp, sock, kNotTaken);
      return 0;
    }
    torva::CopyTruncated(shown, arg);
  }
  ReplySend(ftp, sock, "250-Listing %s", shown);
  ReplySend(ftp, sock, " %s %s", facts, shown);
  ReplySend(ftp, sock, "250 End");
  return 0;
}
