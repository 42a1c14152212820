// Directory listings: LIST and NLST in the default, the Unix-like and the
// names-only format. A listing shows the current directory and an argument
// only carries option letters, unless list-standard is on: then an argument
// may name the directory, and no title line precedes the entries.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/fs.h"
#include "platform/socket.h"
#include "torvad/FtpTbl.h"

int CmdList(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdNlst(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);

// The generators list the current directory: 0 once they have replied 226,
// -1 when the data connection could not be set up (the session ends).
int ListDefault(FtpTbl* ftp, SOCKET sock, const char* arg);
int ListUnix(FtpTbl* ftp, SOCKET sock, const char* options);
int ListNames(FtpTbl* ftp, SOCKET sock, const char* arg);

// Splits a LIST or NLST argument (line end cut) for list-standard: the
// leading words that begin with '-' are copied to `options` (blank
// separated), *path points at the rest. false when the options do not fit.
bool SplitListArgument(char* arg, char* options, size_t size, const char** path);

// Which generator a command uses, and with which text.
enum class ListFormat { kDefault, kUnix, kNames };
struct ListChoice {
  ListFormat format;
  const char* text;  // the argument, or the options of the Unix-like format
};
// `list_type` is the configured type of the command (list-type-LIST or
// list-type-NLST, 0 when unset); `arg` the client's argument or null.
ListChoice ChooseListFormat(int list_type, int list_type_unix, const char* arg);

// One directory entry as the line formats see it: attributes, size and the
// last-write time already in local time (in UTC for the machine format).
struct ListEntry {
  const char* name;
  DWORD attributes;
  uint64_t size;
  SYSTEMTIME time;
};

// What the current listing shows.
struct ListView {
  bool at_top;       // the current directory is the top of the tree
  bool no_list_dir;  // directories are left out
  bool show_hidden;  // Unix-like format: option 'a'
  bool show_dots;    // Unix-like format: option 'A'
  int current_year;  // local year now, for the Unix-like date column
  bool no_dots;      // "." and ".." are left out (NLST with list-standard)
  bool may_write;    // machine format: the user may change the file system
  int facts_off;     // machine format: facts switched off (MlstFact bits)
};

// Formats the line of one entry into `out`; false when the format skips the
// entry. A line longer than the buffer is cut.
bool DefaultLine(const ListEntry& e, const ListView& v, char* out, size_t size);
bool UnixLine(const ListEntry& e, const ListView& v, char* out, size_t size);
bool NameLine(const ListEntry& e, const ListView& v, char* out, size_t size);

// What a listing's frame needs besides the line format: the directory (a
// virtual path in the form of cur_dir), whether a title line comes first,
// how entry times are read, and whether the format needs no more than names.
enum class EntryTime { kLocal, kUtc };
struct ListFrame {
  const char* virt;
  bool title;
  EntryTime time;
  bool names_only;
};
using LineFormatter = bool (*)(const ListEntry&, const ListView&, char*, size_t);
// The data connection, the optional title, one line per entry of the
// directory, and 226 at the end (also when a line could not be sent). 0, or
// -1 when the data connection could not be set up.
int RunListing(FtpTbl* ftp, SOCKET sock, LineFormatter format, const ListView& view,
               const ListFrame& frame);
// The view of a directory for the session: top or not, no-list-dir and the
// current year.
ListView ViewOf(const FtpTbl* ftp, const char* virt);
