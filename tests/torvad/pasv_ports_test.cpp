// The passive port ring as concurrent PASV commands use it: every session
// takes the next port under the ring's lock, so no port is skipped or handed
// out twice in one turn of the ring.
#include "torvad/PasvPorts.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "torvad/ConfigTbl.h"

namespace {

TEST(PasvPortsTest, ConcurrentSessionsShareTheRingEvenly) {
  g_config = static_cast<ConfigTbl*>(calloc(1, sizeof(ConfigTbl)));
  ASSERT_EQ(PasvPortAdd("50003-50000"), 0);
  ASSERT_EQ(PasvPortRing(), 0);
  EXPECT_EQ(g_config->pasv_port_count, 4);

  constexpr int kThreads = 4;
  constexpr int kCalls = 2000;  // a multiple of the ring's size
  std::map<uint16_t, int> seen;
  std::mutex seen_mu;
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      std::map<uint16_t, int> mine;
      for (int i = 0; i < kCalls; ++i) ++mine[PasvPortNext()];
      std::lock_guard<std::mutex> lock(seen_mu);
      for (auto [port, n] : mine) seen[port] += n;
    });
  }
  for (auto& th : threads) th.join();

  ASSERT_EQ(seen.size(), 4u);
  for (auto [port, n] : seen) EXPECT_EQ(n, kThreads * kCalls / 4) << port;
  PasvPortReset();
  EXPECT_EQ(PasvPortNext(), 0);  // nothing left to hand out
  free(g_config);
  g_config = nullptr;
}

}  // namespace
