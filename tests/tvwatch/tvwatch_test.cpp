// The service host's own routines: log rotation, the walk of the process
// tree, and the inserts of its events.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "../common/scratch.h"
#include "common/torva.h"
#include "platform/eventlog.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "tvevents/tvevents.h"
#include "tvwatch/EventReport.h"
#include "tvwatch/LogAppend.h"
#include "tvwatch/ProcessTreeKill.h"

namespace {

using torva_test::Scratch;

void SetValue(const char* key_path, const char* name, DWORD type, const std::string& data) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, key_path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                           nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueEx(k, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>(data.size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(k);
}

class WatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetValue(torva::kEventSourceKey, "EventMessageFile", REG_EXPAND_SZ, TVEVENTS_LIBRARY);
    SetPath(scratch_.dir());
    mkdir(scratch_.Path("log").c_str(), 0755);
  }
  void SetPath(const std::string& path) {
    SetValue(torva::kSettingsKey, torva::kValuePath, REG_EXPAND_SZ, path);
  }
  static off_t Size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
  }
  Scratch scratch_;
  WatchLog log_{"server", {}, {}, false};
};

TEST_F(WatchTest, LogRotatesOnlyWhenTheChunkWouldPassOneMebibyte) {
  const std::string log = scratch_.Path("log/server.log"), old = scratch_.Path("log/server.old");
  std::string chunk(1000, 'c');
  Scratch::Write(log, std::string(1048000, 'a'));
  Scratch::Write(old, "the generation before");
  LogAppend(&log_, chunk.data(), 1000);
  EXPECT_EQ(Size(old), 1048000) << "the log became the .old file, the previous one is gone";
  EXPECT_EQ(Scratch::Read(log), chunk);

  // Reaching exactly 1,048,576 bytes is no rotation; one byte more is.
  Scratch::Write(log, std::string(1048576 - 1000, 'b'));
  LogAppend(&log_, chunk.data(), 1000);
  EXPECT_EQ(Size(log), 1048576);
  EXPECT_EQ(Size(old), 1048000);
  LogAppend(&log_, "z", 1);
  EXPECT_EQ(Size(old), 1048576);
  EXPECT_EQ(Scratch::Read(log), "z");
  EXPECT_TRUE(scratch_.Events().empty());
}

TEST_F(WatchTest, LogWithoutItsDirectoryOrPathDropsTheChunkWithAnEvent) {
  rmdir(scratch_.Path("log").c_str());
  LogAppend(&log_, "lost", 4);
  EXPECT_EQ(Size(scratch_.Path("log/server.log")), -1) << "the directory is never created";
  // A "Path" that leaves no room for "/log/server.log" is refused, not cut.
  WatchLog fresh{"access", {}, {}, false};
  SetPath("/" + std::string(250, 'p'));
  LogAppend(&fresh, "lost", 4);
  auto events = scratch_.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(Scratch::EventText(events[0]), "Detected the API error. (API=fopen() / ERROR=2)");
  EXPECT_EQ(Scratch::EventText(events[1]),
            "Detected the API error. (API=RegQueryValueEx() / ERROR=206)");
  EXPECT_NE(events[0].find("\tWarning\tTorva Server\t1004\t"), std::string::npos);
}

TEST_F(WatchTest, EventInsertsByLetter) {
  EventReport(EVENTLOG_WARNING_TYPE, EVMSG_COMMAND_ENDED, "d", -1);
  // An id outside the table shows every insert in the viewer's text.
  EventReport(EVENTLOG_INFORMATION_TYPE, 0x40000001, "cdlsxqp", 'A', -5, -7L, "text", 255u,
              static_cast<void*>(nullptr));
  EventReport(EVENTLOG_INFORMATION_TYPE, EVMSG_STOPPING, nullptr);
  auto events = scratch_.Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(Scratch::EventText(events[0]), "The server command was ended. (ExitCode=-1)");
  std::string text = Scratch::EventText(events[1]);
  EXPECT_EQ(text.substr(text.find("event: ")),
            "event: A -5 -7 text ff ????? (nil) the message resource is present but the message "
            "is not found in the string/message table");
  EXPECT_EQ(Scratch::EventText(events[2]), "Stopping the Torva Server.");
}

// A process list of (pid, creator) records in the system's record shape.
std::vector<BYTE> List(const std::vector<std::pair<DWORD, DWORD>>& procs) {
  const size_t rec = sizeof(SYSTEM_PROCESS_INFORMATION);
  std::vector<BYTE> buf(procs.size() * rec);
  for (size_t i = 0; i < procs.size(); ++i) {
    SYSTEM_PROCESS_INFORMATION r{};
    r.NextEntryOffset = i + 1 < procs.size() ? static_cast<ULONG>(rec) : 0;
    r.UniqueProcessId = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(procs[i].first));
    r.InheritedFromUniqueProcessId =
        reinterpret_cast<HANDLE>(static_cast<uintptr_t>(procs[i].second));
    memcpy(buf.data() + i * rec, &r, rec);
  }
  return buf;
}

std::vector<DWORD> Walk(const std::vector<BYTE>& list, DWORD root) {
  std::vector<DWORD> order;
  EXPECT_TRUE(ProcessTreeWalk(
      list.data(), list.size(), root,
      [](DWORD pid, void* ctx) { static_cast<std::vector<DWORD>*>(ctx)->push_back(pid); }, &order));
  return order;
}

TEST(ProcessTreeTest, DescendantsComeBeforeTheirAncestorsInListOrder) {
  auto list = List({{1, 0}, {12, 10}, {10, 1}, {11, 10}, {13, 11}, {14, 12}, {20, 1}, {15, 13}});
  EXPECT_EQ(Walk(list, 10), (std::vector<DWORD>{14, 12, 15, 13, 11, 10}));
  EXPECT_EQ(Walk(list, 20), (std::vector<DWORD>{20}));
  EXPECT_TRUE(Walk(list, 99).empty()) << "an id the list does not hold";
}

TEST(ProcessTreeTest, CreatorCyclesEndTheWalk) {
  // Reused ids: 30 and 31 name each other as creator, 40 names itself, and
  // 50 -> 51 -> 52 -> 50 runs round.
  auto list = List({{30, 31}, {31, 30}, {40, 40}, {50, 52}, {51, 50}, {52, 51}, {53, 51}});
  EXPECT_EQ(Walk(list, 30), (std::vector<DWORD>{31, 30}));
  EXPECT_EQ(Walk(list, 40), (std::vector<DWORD>{40}));
  EXPECT_EQ(Walk(list, 50), (std::vector<DWORD>{52, 53, 51, 50}));
}

TEST(ProcessTreeTest, LongChainsAndDamagedListsStayInBounds) {
  std::vector<std::pair<DWORD, DWORD>> chain;
  for (DWORD i = 1; i <= 100000; ++i) chain.push_back({i, i - 1});
  auto list = List(chain);
  auto order = Walk(list, 1);
  ASSERT_EQ(order.size(), 100000u);
  EXPECT_EQ(order.front(), 100000u);
  EXPECT_EQ(order.back(), 1u);
  // A record whose offset leads past the end stops the walk there.
  auto broken = List({{1, 0}, {2, 1}, {3, 2}});
  SYSTEM_PROCESS_INFORMATION r;
  memcpy(&r, broken.data() + sizeof r, sizeof r);
  r.NextEntryOffset = 0x7FFFFFF0;
  memcpy(broken.data() + sizeof r, &r, sizeof r);
  EXPECT_EQ(Walk(broken, 1), (std::vector<DWORD>{2, 1}));
}

}  // namespace
