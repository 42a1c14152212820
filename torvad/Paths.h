// Virtual paths: the client's current directory below its top directory, the
// local paths that commands name, and the write-permission check.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/socket.h"
#include "torvad/FtpTbl.h"

// Room of a local path built for a file name (a longer one is refused).
inline constexpr size_t kLocalPathSize = 260;

// Local path of a file named in a command. 0 with `out` filled; -1 after it has
// replied itself (a name with "..": 501; a name holding CR, LF or NUL: 501; a
// path too long for its buffer, or one that links lead out of the top
// directory: 550). Callers then keep the session without a further reply.
int PathResolve(FtpTbl* ftp, SOCKET sock, const char* name, char (&out)[kLocalPathSize]);

// Local directory of the current directory ("<root>/<cur>/"), into `out`.
// false when it does not fit.
bool LocalCurrentDir(const FtpTbl* ftp, char* out, size_t size);

// Display form of the current directory: the separator, then cur_dir with every
// '\' shown as the configured separator ("/docs/2024/"), or the separator alone
// at the top.
void DisplayCurrentDir(const FtpTbl* ftp, char* out, size_t size);

// True when a local path stays in the session's top directory once every link
// on its way is followed (always true with symlinks-outside=allow).
bool StaysInsideTop(const FtpTbl* ftp, const char* local);

// True for a listing entry's name that can be shown on a line of its own.
bool NameFitsOnALine(const char* name);

// One step of the directory walk that CWD, MKD and RMD share: applies one
// component to the virtual directory `path` ("\" or "a\b\"). ".." climbs
// (never above the top), "" and "." stay, anything else must be a directory
// below root_dir (kCreate makes a missing one). `path` changes only on
// success; a component holding the local separator is refused.
enum class Walk { kCheck, kCreate };
enum WalkResult { kWalkOk = 0, kWalkCreated = 1, kWalkError = -1 };
WalkResult WalkStep(const FtpTbl* ftp, char (&path)[1024], const char* comp, Walk mode);

// 1 when the session's user may change the file system; 0 after replying
// "550 No permission.".
int CheckWritable(FtpTbl* ftp, SOCKET sock);
// The same question without a reply.
bool UserMayWrite(const FtpTbl* ftp);

// The directory that a command argument names, as a virtual directory path
// in the form of cur_dir: relative to the current directory, or to the top
// when it starts with '/' or ''; "." and ".." components are walked. false
// when a component is missing or no directory, ".." would leave the top or
// the name holds a line break.
// `arg` is cut at its line end; the session is not changed.
bool ResolveDirectory(const FtpTbl* ftp, const char* arg, char (&virt)[1024]);
// Local path of a virtual directory path, ending with the separator. false
// when it does not fit.
bool LocalDirOfVirtual(const FtpTbl* ftp, const char* virt, char* out, size_t size);
// Display form of a virtual directory path (see DisplayCurrentDir).
void DisplayDir(const FtpTbl* ftp, const char* virt, char* out, size_t size);

// File-management commands.
int CmdCwd(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdCdup(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdPwd(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdMkd(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdRmd(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdDele(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdRnfr(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdRnto(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdSize(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
