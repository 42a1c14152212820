// Directory listings: LIST and NLST in the default, the Unix-like and the
// names-only format. A listing always shows the current directory; an
// argument only carries option letters.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/fs.h"
#include "platform/socket.h"
#include "torvad/FtpTbl.h"

int CmdList(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdNlst(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);

// The generators: 0 once they have replied 226, -1 when the data connection
// could not be set up (the session ends).
int ListDefault(FtpTbl* ftp, SOCKET sock, const char* arg);
int ListUnix(FtpTbl* ftp, SOCKET sock, const char* options);
int ListNames(FtpTbl* ftp, SOCKET sock, const char* arg);

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
// last-write time already in local time.
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
};

// Formats the line of one entry into `out`; false when the format skips the
// entry. A line longer than the buffer is cut.
bool DefaultLine(const ListEntry& e, const ListView& v, char* out, size_t size);
bool UnixLine(const ListEntry& e, const ListView& v, char* out, size_t size);
bool NameLine(const ListEntry& e, const ListView& v, char* out, size_t size);
