// tvusers: the FTP user store. One user file per user in the directory named by
// the "UserDir" value of the installation settings key. Every call looks that
// directory up afresh. Functions that can fail write an error code (101, 105,
// 106, 201, 202, 203; see common/torva.h) through their first argument, and
// only on failure.
//
// A user name is the file name of its user file. A name that is empty, "." or
// "..", holds '/' or a backslash, or is longer than 31 bytes never reaches the
// file system: tvusers_add fails with 101 and every other call with 202.
#pragma once

#include <cstdint>

#include "common/torva.h"

#define TVUSERS_API extern "C" __attribute__((visibility("default")))

// One node of a user list: the record as read from its file (with the password
// unscrambled) and the next node.
struct TvUserNode {
  UserRecord rec;
  TvUserNode* next;
};

// Result of tvusers_list; free it only with tvusers_list_free. `count` is 0 for
// an empty list and 1 otherwise.
struct TvUserList {
  int32_t count;
  TvUserNode* head;
  TvUserNode* tail;
};

// Adds a user; `passwd` is a buffer of at least 32 bytes, zero-padded after the
// password. 0, or -1 with 101 or 201.
TVUSERS_API int tvusers_add(int32_t* err, const char* name, const char* passwd, const char* usrdir,
                            int32_t admin, int32_t vfsize, int32_t vinum, int32_t maxfs);
// Deletes a user. 0, or -1 with 101, 105 or 202.
TVUSERS_API int tvusers_del(int32_t* err, const char* name);
// Lists every valid user file, in directory order. Null with 101 or 106.
TVUSERS_API TvUserList* tvusers_list(int32_t* err);
TVUSERS_API void tvusers_list_free(TvUserList* list);
// Log-in check: 0 with the home directory copied into usrdir_out (at least
// 1024 bytes), or -1 with 101, 202 or 203.
TVUSERS_API int tvusers_session(int32_t* err, const char* name, const char* passwd,
                                char* usrdir_out);
// 1 when the user may write, 0 when read-only or unreadable (then with a code).
TVUSERS_API int tvusers_is_writable(int32_t* err, const char* name);
// Modifies a user; every null argument keeps the stored value, and with all of
// them null the file is rewritten unchanged. 0, or -1 with 101 or 202.
TVUSERS_API int tvusers_mod(int32_t* err, const char* name, const char* passwd, const char* usrdir,
                            const int32_t* admin, const int32_t* vfsize, const int32_t* vinum,
                            const int32_t* maxfs);
// Reads a user file; `passwd` stays scrambled. 0, or -1 with 101 or 202.
TVUSERS_API int tvusers_read(int32_t* err, const char* name, UserRecord* rec);
// As tvusers_read, with `passwd` unscrambled.
TVUSERS_API int tvusers_read2(int32_t* err, const char* name, UserRecord* rec);
