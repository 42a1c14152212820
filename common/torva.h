// Names and records that every program of Torva Server shares.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/os_names.h"

namespace torva {

// Installation settings key under HKEY_LOCAL_MACHINE and its values.
inline constexpr const char kSettingsKey[] = "SOFTWARE\\MORVEK SOFTWARE\\Torva Server";
inline constexpr const char kValuePath[] = "Path";
inline constexpr const char kValueConfigDir[] = "ConfigDir";
inline constexpr const char kValueUserDir[] = "UserDir";
inline constexpr const char kValueDisconnectDir[] = "DisconnectDir";
inline constexpr const char kLegacyUsersSubkey[] = "passwd";

// Directories below the installation directory.
inline constexpr const char kDirBin[] = "bin";
inline constexpr const char kDirConf[] = "conf";
inline constexpr const char kDirLog[] = "log";
inline constexpr const char kDirSys[] = "sys";
inline constexpr const char kDirUsers[] = "users";
inline constexpr const char kDirDclist[] = "dclist";

// The service, its event source and the system search path.
inline constexpr const char kServiceName[] = "torvad";
inline constexpr const char kServiceDisplayName[] = "Torva Server";
inline constexpr const char kEventSource[] = "Torva Server";
inline constexpr const char kEventSourceKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Torva Server";
inline constexpr const char kEnvironmentKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
inline constexpr const char kValueSearchPath[] = "Path";

inline constexpr const char kDisconnectPattern[] = "*.dca";

// True for a name of the disconnect file form: eight (IPv4) or 32 (IPv6)
// hexadecimal digits and ".dca". Nothing else in the disconnect directory is
// ever deleted.
inline bool IsDisconnectFileName(const char* name) {
  int digits = 0;
  for (;; ++digits) {
    char c = name[digits];
    bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    if (!hex) break;
  }
  if (digits != 8 && digits != 32) return false;
  const char* rest = name + digits;
  return rest[0] == '.' && rest[1] == 'd' && rest[2] == 'c' && rest[3] == 'a' && rest[4] == '\0';
}

// Limits of account data.
inline constexpr size_t kMaxUserName = 31;
inline constexpr size_t kMaxPassword = 31;
inline constexpr size_t kMaxUserDir = 1023;

}  // namespace torva

// User store error codes.
enum TvUsersError : int32_t {
  TVUSERS_ERR_SYSTEM = 101,
  TVUSERS_ERR_102 = 102,
  TVUSERS_ERR_103 = 103,
  TVUSERS_ERR_104 = 104,
  TVUSERS_ERR_CANNOT_DELETE = 105,
  TVUSERS_ERR_NO_MEMORY = 106,
  TVUSERS_ERR_USER_EXISTS = 201,
  TVUSERS_ERR_NO_SUCH_USER = 202,
  TVUSERS_ERR_WRONG_PASSWORD = 203,
  TVUSERS_ERR_204 = 204,
};

// The image of one user file: 1140 bytes, integers little-endian.
// `link` is the on-disk 4-byte field; it is written as 0 and cleared on read.
// In-memory lists chain records through TvUserNode (tvusers/tvusers.h), never
// through this field, because a pointer does not fit into four bytes.
#define TVUSERS_HEADER_TEXT "*** Torva Server User ***"

struct UserRecord {
  char header[32];
  char name[32];
  unsigned char passwd[32];
  char usrdir[1024];
  int32_t admin;  // 1 = read-only, anything else may write
  int32_t vfsize;
  int32_t vinum;
  int32_t maxfs;
  uint32_t link;
};
static_assert(sizeof(UserRecord) == 1140, "user file image must be 1140 bytes");
static_assert(offsetof(UserRecord, header) == 0);
static_assert(offsetof(UserRecord, name) == 32);
static_assert(offsetof(UserRecord, passwd) == 64);
static_assert(offsetof(UserRecord, usrdir) == 96);
static_assert(offsetof(UserRecord, admin) == 1120);
static_assert(offsetof(UserRecord, vfsize) == 1124);
static_assert(offsetof(UserRecord, vinum) == 1128);
static_assert(offsetof(UserRecord, maxfs) == 1132);
static_assert(offsetof(UserRecord, link) == 1136);
