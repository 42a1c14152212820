#include "common/user_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Parses `args` as the arguments after the program name.
bool Parse(const std::vector<std::string>& args, const char* allowed, torva::UserOptions* out) {
  std::vector<const char*> argv{"prog"};
  for (const auto& a : args) argv.push_back(a.c_str());
  return torva::ParseUserOptions(static_cast<int>(argv.size()), argv.data(), allowed, out);
}

constexpr const char kAdd[] = "updwrsim";

TEST(UserOptions, DefaultsWhenNothingIsGiven) {
  torva::UserOptions o;
  o.admin = 9;
  o.has_name = true;
  ASSERT_TRUE(Parse({}, kAdd, &o));
  EXPECT_FALSE(o.has_name || o.has_passwd || o.has_usrdir || o.has_admin);
  EXPECT_EQ(o.admin, 0);
  EXPECT_EQ(o.vfsize, -1);
  EXPECT_EQ(o.vinum, -1);
  EXPECT_EQ(o.maxfs, 2147483647);
  for (char c : o.passwd) EXPECT_EQ(c, 0);
}

TEST(UserOptions, FillsEveryBufferAndFlag) {
  torva::UserOptions o;
  ASSERT_TRUE(Parse({"-d", "/srv/x", "-r", "-p", "pw", "-u", "x", "-s", "3", "-i", "4", "-m", "5"},
                    kAdd, &o));
  EXPECT_STREQ(o.name, "x");
  EXPECT_STREQ(o.passwd, "pw");
  for (size_t i = 2; i < sizeof o.passwd; ++i) EXPECT_EQ(o.passwd[i], 0) << i;
  EXPECT_STREQ(o.usrdir, "/srv/x");
  EXPECT_TRUE(o.has_name && o.has_passwd && o.has_usrdir && o.has_admin);
  EXPECT_TRUE(o.has_vfsize && o.has_vinum && o.has_maxfs);
  EXPECT_EQ(o.admin, 1);
  EXPECT_EQ(o.vfsize, 3);
  EXPECT_EQ(o.vinum, 4);
  EXPECT_EQ(o.maxfs, 5);

  ASSERT_TRUE(Parse({"-w"}, kAdd, &o));
  EXPECT_TRUE(o.has_admin);
  EXPECT_EQ(o.admin, 0);
  EXPECT_FALSE(o.has_name) << "a new parse starts from scratch";
}

TEST(UserOptions, ValuesAreTakenAsTheyStand) {
  torva::UserOptions o;
  ASSERT_TRUE(Parse({"-u", "-p", "-p", "-u", "-d", ""}, kAdd, &o));
  EXPECT_STREQ(o.name, "-p");
  EXPECT_STREQ(o.passwd, "-u");
  EXPECT_TRUE(o.has_usrdir);
  EXPECT_STREQ(o.usrdir, "");
}

TEST(UserOptions, RejectsMalformedRepeatedAndExcludedOptions) {
  const std::vector<std::vector<std::string>> bad = {
      {"-u"},
      {"-u", "a", "-p"},
      {"-U", "a"},
      {"-x"},
      {"-uu", "a"},
      {"-"},
      {""},
      {"u", "a"},
      {"--"},
      {"-1"},
      {"-u", "a", "-u", "b"},
      {"-w", "-r"},
      {"-r", "-w"},
      {"-w", "-w"},
      {"-r", "-r"},
      {"-s", "1", "-s", "1"},
      {"-d", "a", "-d", "a"},
      {"-p", "a", "-p", "a"},
  };
  for (const auto& args : bad) {
    torva::UserOptions o;
    std::string shown;
    for (const auto& a : args) shown += "[" + a + "]";
    EXPECT_FALSE(Parse(args, kAdd, &o)) << shown;
  }
}

TEST(UserOptions, OnlyTheAllowedLettersAreOptions) {
  torva::UserOptions o;
  EXPECT_TRUE(Parse({"-u", "a"}, "u", &o));
  EXPECT_FALSE(Parse({"-u", "a", "-p", "b"}, "u", &o));
  EXPECT_TRUE(Parse({"-u", "a", "-p", "b", "-d", "c", "-w"}, "updwr", &o));
  EXPECT_FALSE(Parse({"-u", "a", "-s", "1"}, "updwr", &o));
  EXPECT_FALSE(Parse({"-m", "1"}, "updwr", &o));
}

TEST(UserOptions, LengthLimitsInBytes) {
  torva::UserOptions o;
  EXPECT_TRUE(
      Parse({"-u", std::string(31, 'u'), "-p", std::string(31, 'p'), "-d", std::string(1023, 'd')},
            kAdd, &o));
  EXPECT_EQ(std::string(o.name), std::string(31, 'u'));
  EXPECT_EQ(std::string(o.passwd), std::string(31, 'p'));
  EXPECT_EQ(std::string(o.usrdir), std::string(1023, 'd'));
  EXPECT_FALSE(Parse({"-u", std::string(32, 'u')}, kAdd, &o));
  EXPECT_FALSE(Parse({"-p", std::string(32, 'p')}, kAdd, &o));
  EXPECT_FALSE(Parse({"-d", std::string(1024, 'd')}, kAdd, &o));
  // Shift_JIS: 16 two-byte characters are 32 bytes.
  std::string sjis;
  for (int i = 0; i < 16; ++i) sjis += "\x82\xa0";
  EXPECT_FALSE(Parse({"-u", sjis}, kAdd, &o));
  EXPECT_TRUE(Parse({"-u", sjis.substr(0, 30)}, kAdd, &o));
}

TEST(UserOptions, NumbersConvertLikeAtoiAndMustNotBeNegative) {
  const std::pair<const char*, int> good[] = {
      {"0", 0},  {"abc", 0},    {"", 0},   {"  42", 42},
      {"+7", 7}, {"12abc", 12}, {"-0", 0}, {"2147483647", 2147483647}};
  for (const auto& [text, want] : good) {
    torva::UserOptions o;
    ASSERT_TRUE(Parse({"-i", text}, kAdd, &o)) << text;
    EXPECT_EQ(o.vinum, want) << text;
  }
  for (const char* text : {"-5", " -1", "-2147483648"}) {
    torva::UserOptions o;
    EXPECT_FALSE(Parse({"-s", text}, kAdd, &o)) << text;
    EXPECT_FALSE(Parse({"-m", text}, kAdd, &o)) << text;
  }
}

}  // namespace
