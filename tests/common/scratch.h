// A scratch directory for one test, with the environment variables that
// point the system at it (registry store, event log, run-time directory);
// everything is undone when the test ends.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace torva_test {

class Scratch {
 public:
  Scratch() {
    char tmpl[] = "/tmp/torva-test-XXXXXX";
    dir_ = mkdtemp(tmpl);
    Set("TORVA_REGISTRY", Path("registry.reg"));
    Set("TORVA_EVENTLOG", Path("events.log"));
    Set("TORVA_RUNTIME_DIR", Path("run"));
  }
  ~Scratch() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second.first)
        setenv(it->first.c_str(), it->second.second.c_str(), 1);
      else
        unsetenv(it->first.c_str());
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    EXPECT_FALSE(ec) << ec.message();
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  // Sets a variable for this test only (null value: unset).
  void Set(const char* name, const std::string* value) {
    const char* old = getenv(name);
    saved_.push_back({name, {old != nullptr, old ? old : ""}});
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }
  void Set(const char* name, const std::string& value) { Set(name, &value); }
  void Unset(const char* name) { Set(name, nullptr); }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  const std::string& dir() const { return dir_; }

  static std::string Read(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  static void Write(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
  }
  // The lines of the event log, without their line feeds.
  std::vector<std::string> Events() const {
    std::vector<std::string> out;
    std::string text = Read(Path("events.log")), line;
    for (char c : text) {
      if (c == '\n') {
        out.push_back(line);
        line.clear();
      } else {
        line += c;
      }
    }
    return out;
  }
  // The text field (fifth) of an event line.
  static std::string EventText(const std::string& line) {
    size_t pos = 0;
    for (int i = 0; i < 4 && pos != std::string::npos; ++i) pos = line.find('\t', pos + 1);
    return pos == std::string::npos ? "" : line.substr(pos + 1);
  }

 private:
  std::string dir_;
  std::vector<std::pair<std::string, std::pair<bool, std::string>>> saved_;
};

}  // namespace torva_test
