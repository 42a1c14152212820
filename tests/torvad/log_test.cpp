// The two shared error voices of the log: "Failed x() errno=N" with its
// optional context prefix, and broken invariants that also say where.
#include "torvad/Log.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Captured(void (*write)()) {
  testing::internal::CaptureStdout();
  write();
  return testing::internal::GetCapturedStdout();
}

TEST(LogTest, FailedLinesCarryTheirPrefixAndTheNumber) {
  EXPECT_EQ(Captured([] { LogFailed(2, "bind", 10048, "PASV: "); }),
            "[W] PASV: Failed bind() errno=10048\n");
  EXPECT_EQ(Captured([] { LogFailed(1, "malloc", 8); }), "[E] Failed malloc() errno=8\n");
  EXPECT_EQ(Captured([] { LogFailed(-1, "recv", 0); }), "Failed recv() errno=0\n");
}

TEST(LogTest, LogicErrorNamesFileAndLineInTheDebugLog) {
  int line = 0;
  static int* where = &line;
  std::string out = Captured([] {
    *where = __LINE__ + 1;
    LOGIC_ERROR();
  });
  EXPECT_EQ(out, "Logic Error!!\n[D] Logic error detected at log_test.cpp:" + std::to_string(line) +
                     "\n");
}

}  // namespace
