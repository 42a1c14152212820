// Machine listings: MLSD (a directory over the data connection) and MLST (one
// entry on the control connection), with the facts type, size, modify and
// perm, and OPTS MLST to choose among them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/socket.h"
#include "torvad/FtpTbl.h"
#include "torvad/Listing.h"

enum MlstFact : int { kFactType = 1, kFactSize = 2, kFactModify = 4, kFactPerm = 8 };
inline constexpr int kAllFacts = kFactType | kFactSize | kFactModify | kFactPerm;

enum class MlstKind { kFile, kDir, kCdir, kPdir };

// The facts of one entry, each followed by ';' ("type=file;size=5;..."), as
// far as `facts_off` leaves them on. size is shown for files only; modify is
// `utc` as YYYYMMDDHHMMSS; perm lists what the user may do with the entry
// (a read-only user gets no letter that changes anything, a read-only file no
// w or a). Returns false when the text was cut at the buffer.
bool MlstFacts(MlstKind kind, uint64_t size, const SYSTEMTIME& utc, bool read_only_file,
               bool may_write, int facts_off, char* out, size_t out_size);

// The MLSD line of a directory entry: facts, a blank and the name; "." is
// the listed directory (cdir) and ".." its parent (pdir, not at the top).
// The entry's time must be in UTC (EntryTime::kUtc).
bool MlsdLine(const ListEntry& e, const ListView& v, char* out, size_t size);

// The facts FEAT announces, each marked '*' while it is shown:
// "type*;size*;modify*;perm*;".
void MlstFeatFacts(int facts_off, char* out, size_t size);

// OPTS MLST f1;f2;...: the facts to show from now on (unknown ones ignored).
// The facts now shown, in the reply's form "type;size;".
int MlstFactsFromOpts(const char* list, char* shown, size_t size);

int CmdMlsd(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdMlst(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
