// The compiled message table of libtvevents.so as the event log reads it:
// the published layout, every identifier with its severity and text, and the
// formatting of the inserts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/eventlog.h"
#include "platform/module.h"
#include "tvevents/tvevents.h"

namespace {

struct Message {
  DWORD id;
  unsigned severity;  // bits 31-30
  const char* text;
};

// The six messages as administrators read them in the event log.
const Message kMessages[] = {
    {0x400003E9, 1, "Starting the Torva Server.\r\n"},
    {0x400003EA, 1, "Stopping the Torva Server.\r\n"},
    {0xC00003EB, 3, "Torva Server was abnormal end.\r\n"},
    {0x800003EC, 2, "Detected the API error. (API=%1 / ERROR=%2)\r\n"},
    {0x400003ED, 1, "Executing the server command.\r\n"},
    {0x800003EE, 2, "The server command was ended. (ExitCode=%1)\r\n"},
};

class TvEventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryEx(TVEVENTS_LIBRARY, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module_, nullptr) << TVEVENTS_LIBRARY;
    HRSRC res = FindResource(module_, MAKEINTRESOURCE(1), RT_MESSAGETABLE);
    ASSERT_NE(res, nullptr);
    auto* data = static_cast<const BYTE*>(LockResource(LoadResource(module_, res)));
    table_.assign(data, data + SizeofResource(module_, res));
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }
  DWORD U32(size_t off) const {
    DWORD v;
    memcpy(&v, table_.data() + off, 4);
    return v;
  }
  WORD U16(size_t off) const {
    WORD v;
    memcpy(&v, table_.data() + off, 2);
    return v;
  }
  std::string Format(DWORD id, const std::vector<const char*>& inserts) {
    std::vector<DWORD_PTR> args;
    args.reserve(inserts.size());
    for (const char* s : inserts) args.push_back(reinterpret_cast<DWORD_PTR>(s));
    char buf[256];
    DWORD n = FormatMessage(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module_,
                            id, 0, buf, sizeof buf,
                            args.empty() ? nullptr : reinterpret_cast<va_list*>(args.data()));
    return n ? std::string(buf, n) : "<" + std::to_string(GetLastError()) + ">";
  }
  HMODULE module_ = nullptr;
  std::vector<BYTE> table_;
};

TEST_F(TvEventsTest, HeaderIdentifiersAreTheTableIdentifiers) {
  EXPECT_EQ(EVMSG_STARTING, 0x400003E9u);
  EXPECT_EQ(EVMSG_STOPPING, 0x400003EAu);
  EXPECT_EQ(EVMSG_ABNORMAL_END, 0xC00003EBu);
  EXPECT_EQ(EVMSG_API_ERROR, 0x800003ECu);
  EXPECT_EQ(EVMSG_EXECUTING, 0x400003EDu);
  EXPECT_EQ(EVMSG_COMMAND_ENDED, 0x800003EEu);
}

// Five blocks of consecutive identifiers in unsigned order; each block's
// entries hold the ANSI text with CR LF, NUL-padded to four bytes.
TEST_F(TvEventsTest, TableHasThePublishedLayout) {
  ASSERT_GE(table_.size(), 4u);
  ASSERT_EQ(U32(0), 5u);
  const DWORD blocks[5][2] = {{0x400003E9, 0x400003EA},
                              {0x400003ED, 0x400003ED},
                              {0x800003EC, 0x800003EC},
                              {0x800003EE, 0x800003EE},
                              {0xC00003EB, 0xC00003EB}};
  size_t expected_offset = 4 + 5 * 12;
  for (int b = 0; b < 5; ++b) {
    size_t blk = 4 + 12 * b;
    EXPECT_EQ(U32(blk), blocks[b][0]) << b;
    EXPECT_EQ(U32(blk + 4), blocks[b][1]) << b;
    EXPECT_EQ(U32(blk + 8), expected_offset) << b;
    for (DWORD id = blocks[b][0]; id <= blocks[b][1]; ++id) {
      const Message* m = nullptr;
      for (const auto& k : kMessages)
        if (k.id == id) m = &k;
      ASSERT_NE(m, nullptr);
      EXPECT_EQ(id >> 30, m->severity);
      EXPECT_EQ((id >> 16) & 0x3FFF, 0u) << "customer bit and facility are 0";
      size_t len = U16(expected_offset);
      EXPECT_EQ(U16(expected_offset + 2), 0u) << "ANSI text";
      EXPECT_EQ(len % 4, 0u);
      ASSERT_LE(expected_offset + len, table_.size());
      std::string text(reinterpret_cast<const char*>(&table_[expected_offset + 4]), len - 4);
      size_t n = strlen(m->text);
      EXPECT_EQ(text.substr(0, n), m->text);
      EXPECT_EQ(text.find_first_not_of('\0', n), std::string::npos) << "only NULs pad the text";
      EXPECT_GT(text.size(), n) << "the text is NUL-terminated";
      expected_offset += len;
    }
  }
  EXPECT_EQ(expected_offset, table_.size());
}

TEST_F(TvEventsTest, InsertsAreFormattedAsTheEventLogShowsThem) {
  EXPECT_EQ(Format(EVMSG_API_ERROR, {"ReadFile()", "109"}),
            "Detected the API error. (API=ReadFile() / ERROR=109)\r\n");
  EXPECT_EQ(Format(EVMSG_COMMAND_ENDED, {"-1"}), "The server command was ended. (ExitCode=-1)\r\n");
  EXPECT_EQ(Format(EVMSG_STARTING, {}), "Starting the Torva Server.\r\n");
  EXPECT_EQ(Format(0x400003EB, {}), "<317>") << "the id with another severity is another id";
}

}  // namespace
