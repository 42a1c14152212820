// A user file as the user store reads it: every operation on the file of one
// user, and a rewrite that must leave a valid file as it was.
#include <sys/stat.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/torva.h"
#include "tests/fuzz/fuzz_support.h"
#include "tvusers/tvusers.h"

namespace {

std::string g_users;
constexpr const char kName[] = "fuzz";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_users = fuzz::Scratch() + "/users";
  mkdir(g_users.c_str(), 0700);
  fuzz::SetSetting(torva::kValueUserDir, g_users);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  fuzz::WriteFile(g_users + "/" + kName, data, size);
  int32_t err = 0;
  UserRecord rec;
  const bool valid = tvusers_read(&err, kName, &rec) == 0;
  UserRecord plain;
  if ((tvusers_read2(&err, kName, &plain) == 0) != valid) abort();
  char home[1024];
  (void)tvusers_session(&err, kName, "fuzz", home);
  if (valid) {
    // The stored password logs in: its first 31 bytes count.
    char password[sizeof plain.passwd];
    memcpy(password, plain.passwd, sizeof password);
    password[sizeof password - 1] = '\0';
    if (tvusers_session(&err, kName, password, home) != 0) abort();
  }
  if ((tvusers_is_writable(&err, kName) == 1) != (valid && rec.admin != 1)) abort();
  if (TvUserList* list = tvusers_list(&err)) {
    int listed = 0;
    for (TvUserNode* n = list->head; n != nullptr; n = n->next) ++listed;
    if (listed != (valid ? 1 : 0)) abort();
    tvusers_list_free(list);
  }
  if (valid) {
    // A rewrite that changes nothing leaves the record as it was read.
    if (tvusers_mod(&err, kName, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) != 0)
      abort();
    UserRecord again;
    if (tvusers_read(&err, kName, &again) != 0 || memcmp(&rec, &again, sizeof rec) != 0) abort();
  }
  return 0;
}
