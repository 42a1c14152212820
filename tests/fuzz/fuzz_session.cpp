// One session, from the greeting to the close: the bytes of the input are what
// the client sends, received and framed by the session thread itself and
// dispatched to the command handlers against a real user store and tree. The
// control connection is a socket pair, so nothing leaves the process; passive
// data connections stay on loopback and are never completed (PASV waits 0 s),
// and PORT is switched off (its argument has a fuzzer of its own), so no
// session ever connects anywhere.
//
// The first byte chooses the session's setting:
//   bits 0-1  0 plain bytes; 1 "OPTS UTF8 ON" first; 2 UTF-8 with lang ja;
//             3 raw Shift_JIS with lang ja and the character check off
//   bit 2     log in as a user who may write first
//   bit 3     dir-separator '\' instead of '/'
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "common/strutil.h"
#include "common/torva.h"
#include "platform/system.h"
#include "tests/fuzz/fuzz_support.h"
#include "torvad/ConfigLoad.h"
#include "torvad/ConfigTbl.h"
#include "torvad/ConnectList.h"
#include "torvad/PasvPorts.h"
#include "torvad/TransMain.h"
#include "tvusers/tvusers.h"

namespace {

std::string g_root;
std::string g_outside;

// The user's tree: a few files and directories, a Shift_JIS name, links that
// stay inside and links that lead out. Made anew for every input, so that
// every input meets the same tree.
void MakeTree() {
  fuzz::EmptyDirectory(g_root);
  auto file = [](const std::string& name, const std::string& bytes) {
    fuzz::WriteFile(g_root + "/" + name, reinterpret_cast<const uint8_t*>(bytes.data()),
                    bytes.size());
  };
  mkdir((g_root + "/sub").c_str(), 0700);
  mkdir((g_root + "/\x83\x5c").c_str(), 0700);  // a second byte 0x5C
  file("a.txt", "line one\r\nline two\r\n");
  file("sub/b.bin", std::string("\x00\x01\x1a\xff", 4));
  file("\x83\x65\x83\x58\x83\x67.txt", "sjis");
  symlink("sub", (g_root + "/in").c_str());
  symlink(g_outside.c_str(), (g_root + "/out").c_str());
  symlink("../nowhere/x", (g_root + "/dangling").c_str());
}

void Configure(uint8_t mode) {
  ConfigTbl& c = *g_config;
  for (int i = 0; i < CMD_COUNT; ++i) c.cmd_enable[i] = 1;
  for (int id : {CMD_ACCT, CMD_SMNT, CMD_ADAT, CMD_CCC, CMD_MIC, CMD_CONF, CMD_ENC, CMD_STRU,
                 CMD_MODE, CMD_ALLO, CMD_ABOR, CMD_SITE, CMD_PORT})
    c.cmd_enable[id] = 0;
  c.log_level = 4;  // every line a client can put into the log, without the trace
  c.session_timeout = 2;
  c.pasv_wait = 0;  // nobody connects: the transfer fails at once
  c.buffer_size = 4096;
  c.socket_domain = WS_AF_INET;
  c.socket_type = WS_SOCK_STREAM;
  c.protocol_number = WS_IPPROTO_TCP;
  const uint8_t loopback[4] = {127, 0, 0, 1};
  memcpy(c.pasv_bind_addr, loopback, 4);
  c.opts_impl_utf8 = 1;
  c.anonymous = 1;
  c.anonymous_pass = 2;
  c.anonymous_path = const_cast<char*>(g_root.c_str());
  c.unknown_close = 0;
  c.dir_separator = (mode & 8) ? '\\' : '/';
  switch (mode & 3) {
    case 0:
    case 1:
      c.utf8_mode = 0;
      c.default_lang = LANG_EN;
      c.code_no_check = 0;
      break;
    case 2:
      c.utf8_mode = 1;
      c.default_lang = LANG_JA;
      c.code_no_check = 0;
      break;
    default:
      c.utf8_mode = 0;
      c.default_lang = LANG_JA;
      c.code_no_check = 1;
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietServer();
  const std::string& dir = fuzz::Scratch();
  g_root = dir + "/root";
  g_outside = dir + "/outside";
  std::string users = dir + "/users";
  for (const std::string& d : {g_root, g_outside, users}) mkdir(d.c_str(), 0700);
  fuzz::SetSetting(torva::kValueUserDir, users);
  int32_t err = 0;
  char pw[32] = "fuzz";
  tvusers_add(&err, "fuzz", pw, g_root.c_str(), 0, -1, -1, 0x7FFFFFFF);
  char ro[32] = "ro";
  tvusers_add(&err, "ro", ro, g_root.c_str(), 1, -1, -1, 0x7FFFFFFF);
  if (PasvPortRing() != 0) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 8192) return 0;
  const uint8_t mode = data[0];
  Configure(mode);
  MakeTree();
  std::string request;
  if ((mode & 3) == 1) request += "OPTS UTF8 ON\r\n";
  if (mode & 4) request += "USER fuzz\r\nPASS fuzz\r\n";
  request.append(reinterpret_cast<const char*>(data + 1), size - 1);

  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) abort();
  // The client side: everything is sent at once and then the sending side
  // is closed; the replies are read away until the server closes.
  std::thread client([fd = pair[1], &request] {
    size_t sent = 0;
    while (sent < request.size()) {
      ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    char sink[65536];
    while (recv(fd, sink, sizeof sink, 0) > 0) {
    }
    close(fd);
  });
  const uint8_t loopback[4] = {127, 0, 0, 1};
  const SockAddress client_addr = SockAddressV4(loopback, 0);
  if (ConnectListAdd(pair[0], GetCurrentThreadId(), nullptr, client_addr) != 0) abort();
  TransMain(nullptr);  // closes its end and marks the entry ended
  client.join();
  ConnectListChk();
  if (ConnectListCount() != 0) abort();
  return 0;
}
