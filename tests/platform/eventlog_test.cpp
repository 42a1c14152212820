// Message formatting and the event log's lines.
#include "platform/eventlog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "../common/scratch.h"
#include "platform/registry.h"

namespace {

std::string FromString(const char* text, std::vector<DWORD_PTR> args, DWORD flags = 0,
                       DWORD size = 256) {
  std::vector<char> buf(size);
  DWORD n = FormatMessage(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY | flags, text,
                          0, 0, buf.data(), size,
                          args.empty() ? nullptr : reinterpret_cast<va_list*>(args.data()));
  return n ? std::string(buf.data(), n) : "<" + std::to_string(GetLastError()) + ">";
}

DWORD_PTR S(const char* s) { return reinterpret_cast<DWORD_PTR>(s); }

TEST(FormatMessageTest, InsertsConversionsAndEscapes) {
  EXPECT_EQ(FromString("API=%1 / ERROR=%2", {S("ReadFile()"), S("109")}),
            "API=ReadFile() / ERROR=109");
  EXPECT_EQ(FromString("%2 before %1, %1 twice", {S("a"), S("b")}), "b before a, a twice");
  EXPECT_EQ(
      FromString("code %1!d! hex %2!04x! %3!-3s!|", {static_cast<DWORD_PTR>(-1), 0xAB, S("x")}),
      "code -1 hex 00ab x  |");
  EXPECT_EQ(FromString("100%% done%.%n%tnext", {S("")}), "100% done.\r\n\tnext");
  EXPECT_EQ(FromString("kept%0 and dropped", {}), "kept");
  EXPECT_EQ(FromString("line one\r\nline two\r\n", {}, FORMAT_MESSAGE_MAX_WIDTH_MASK),
            "line one line two ");
  EXPECT_EQ(FromString("line one\r\n", {}), "line one\r\n");
  EXPECT_EQ(FromString("%1 stays", {}, FORMAT_MESSAGE_IGNORE_INSERTS), "%1 stays");
}

TEST(FormatMessageTest, Failures) {
  EXPECT_EQ(FromString("needs %1", {}), "<87>") << "an insert without arguments";
  EXPECT_EQ(FromString("bad %1!q!", {S("x")}), "<87>");
  EXPECT_EQ(FromString("0123456789", {}, 0, 10), "<122>") << "no room for the NUL";
  EXPECT_EQ(FromString("012345678", {}, 0, 10), "012345678");
  char buf[16];
  EXPECT_EQ(FormatMessage(FORMAT_MESSAGE_FROM_HMODULE, nullptr, 1, 0, buf, sizeof buf, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
}

TEST(FormatMessageTest, SystemTextsOfErrorNumbers) {
  char buf[128];
  DWORD n = FormatMessage(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                          ERROR_SHARING_VIOLATION, 0, buf, sizeof buf, nullptr);
  EXPECT_EQ(std::string(buf, n),
            "The process cannot access the file because it is being used by another process.\r\n");
  EXPECT_EQ(FormatMessage(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 99999, 0, buf, sizeof buf, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
  EXPECT_EQ(
      FormatMessage(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, buf, 19, nullptr),
      0u)
      << "\"Access is denied.\" and CR LF leave no room for the NUL";
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

class EventLogTest : public ::testing::Test {
 protected:
  void Register(const char* source, const char* file) {
    std::string key =
        std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + source;
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                             nullptr, &k, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(
        RegSetValueEx(k, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(file),
                      static_cast<DWORD>(strlen(file) + 1)),
        ERROR_SUCCESS);
    RegCloseKey(k);
  }
  bool Report(const char* source, WORD type, DWORD id, std::vector<const char*> strings) {
    HANDLE h = RegisterEventSource(nullptr, source);
    EXPECT_NE(h, nullptr);
    BOOL ok = ReportEvent(h, type, 0, id, nullptr, static_cast<WORD>(strings.size()), 0,
                          strings.data(), nullptr);
    DeregisterEventSource(h);
    return ok;
  }
  torva_test::Scratch scratch_;
};

TEST_F(EventLogTest, OneTabSeparatedLinePerReport) {
  Register("Torva Server", TVEVENTS_LIBRARY);
  ASSERT_TRUE(Report("Torva Server", EVENTLOG_WARNING_TYPE, 0x800003EC, {"ReadFile()", "109"}));
  ASSERT_TRUE(Report("Torva Server", EVENTLOG_INFORMATION_TYPE, 0x400003E9, {}));
  ASSERT_TRUE(Report("Torva Server", EVENTLOG_ERROR_TYPE, 0xC00003EB, {}));
  auto lines = scratch_.Events();
  ASSERT_EQ(lines.size(), 3u);
  const std::regex stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\t");
  for (const auto& l : lines) EXPECT_TRUE(std::regex_search(l, stamp)) << l;
  EXPECT_EQ(lines[0].substr(20),
            "Warning\tTorva Server\t1004\tDetected the API error. (API=ReadFile() / ERROR=109)");
  EXPECT_EQ(lines[1].substr(20), "Information\tTorva Server\t1001\tStarting the Torva Server.");
  EXPECT_EQ(lines[2].substr(20), "Error\tTorva Server\t1003\tTorva Server was abnormal end.");
  EXPECT_FALSE(Report("Torva Server", 3, 0x400003E9, {}));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// Without a description the event viewer's own text stands, with the strings.
TEST_F(EventLogTest, MissingDescriptionsGiveTheViewersText) {
  const std::string head =
      "The description for Event ID 1004 from source %s cannot be found. Either the component "
      "that raises this event is not installed on your local computer or the installation is "
      "corrupted. You can install or repair the component on the local computer. If the event "
      "originated on another computer, the display information had to be saved with the event. "
      "The following information was included with the event: ReadFile() 109";
  auto with = [&](const char* source) {
    std::string h = head;
    h.replace(h.find("%s"), 2, source);
    return h;
  };
  ASSERT_TRUE(Report("Unregistered", EVENTLOG_WARNING_TYPE, 0x800003EC, {"ReadFile()", "109"}));
  Register("Gone", "/nonexistent/libtvevents.so");
  ASSERT_TRUE(Report("Gone", EVENTLOG_WARNING_TYPE, 0x800003EC, {"ReadFile()", "109"}));
  Register("Other Ids", TVEVENTS_LIBRARY);
  ASSERT_TRUE(Report("Other Ids", EVENTLOG_WARNING_TYPE, 0x800103EC, {"ReadFile()", "109"}));
  auto lines = scratch_.Events();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(torva_test::Scratch::EventText(lines[0]), with("Unregistered"));
  EXPECT_EQ(torva_test::Scratch::EventText(lines[1]), with("Gone"));
  EXPECT_EQ(torva_test::Scratch::EventText(lines[2]),
            with("Other Ids") +
                " the message resource is present but the message is not found in the "
                "string/message table");
}

TEST_F(EventLogTest, TheEventLogDirectoryIsMadeAndLineBreaksStayOutOfLines) {
  scratch_.Set("TORVA_EVENTLOG", scratch_.Path("new/dir/events.log"));
  ASSERT_TRUE(Report("Src", EVENTLOG_INFORMATION_TYPE, 7, {"two\r\nlines", "tab\there"}));
  std::string text = torva_test::Scratch::Read(scratch_.Path("new/dir/events.log"));
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.find('\n'), text.size() - 1);
  EXPECT_NE(text.find("\t7\t"), std::string::npos);
  EXPECT_NE(text.find("event: two lines tab here\n"), std::string::npos) << text;
}

}  // namespace
