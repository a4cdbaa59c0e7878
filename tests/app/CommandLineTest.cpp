// The command line's matching rules and the hand-over to the background copy.
#include <gtest/gtest.h>

#include "app/CommandLine.h"

namespace {

TCommandLine Args(std::vector<std::string> args) {
  args.insert(args.begin(), "/usr/bin/veldra");
  return TCommandLine(std::move(args));
}

TEST(CommandLine, SwitchesNeedASlashAndNothingAfterTheName) {
  EXPECT_TRUE(Args({"F:", "h", "/debug"}).FindSwitch("DEBUG"));
  EXPECT_FALSE(Args({"F:", "h", "-DEBUG"}).FindSwitch("DEBUG"));
  EXPECT_FALSE(Args({"F:", "h", "/DEBUG=1"}).FindSwitch("DEBUG"));
  EXPECT_FALSE(Args({"F:", "h", ""}).FindSwitch(""));
  EXPECT_FALSE(Args({"/DEBUG"}).FindSwitch("NOPASSIVE"));
}

TEST(CommandLine, OptionValuesMatchLooselyAndKeepTheirCase) {
  EXPECT_EQ(Args({"F:", "h", "/user:Alice"}).OptionValue("USER", "anonymous"), "Alice");
  EXPECT_EQ(Args({"F:", "h", "/USER:"}).OptionValue("USER", "anonymous"), "");
  EXPECT_EQ(Args({"F:", "h"}).OptionValue("USER", "anonymous"), "anonymous");
  EXPECT_EQ(Args({"F:", "h", "/USERNAME:bob"}).OptionValue("USER", "x"), "AME:bob");
  // Positional arguments are scanned too, and the first that qualifies wins.
  EXPECT_EQ(Args({"F:", "xport.example.com", "/PORT:21"}).OptionValue("PORT", "21"), "example.com");
  EXPECT_EQ(Args({"F:", "h", "/PORT:", "/PORT:22"}).OptionValue("PORT", "21"), "");
}

TEST(CommandLine, PasswordIsTheThirdArgumentUnlessItIsAnOption) {
  EXPECT_EQ(Args({"F:", "h", "pw", "/USER:u"}).PasswordArgument(), "pw");
  EXPECT_EQ(Args({"F:", "h", "/USER:u", "pw"}).PasswordArgument(), "*");
  EXPECT_EQ(Args({"F:", "h"}).PasswordArgument(), "*");
  EXPECT_EQ(Args({"F:", "h", ""}).PasswordArgument(), "");
}

TEST(CommandLine, ConversionsAndTheirMessages) {
  EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
  EXPECT_EQ(StrToInt("+21"), 21);
  for (const char* bad : {"", "abc", "21x", "2147483648", "-", " 21"})
    EXPECT_THROW(StrToInt(bad), EConvertError) << bad;
  try {
    StrToInt("abc");
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
  }
  EXPECT_FALSE(StrToBool("0"));
  EXPECT_TRUE(StrToBool("1"));
  EXPECT_TRUE(StrToBool("true"));
  try {
    StrToBool("yes");
    ADD_FAILURE() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'yes' is not a valid boolean value");
  }
}

TEST(CommandLine, InternalCommandLineSplitsBackIntoTheSettings) {
  MountOptions o;
  o.DeviceName = "F:";
  o.HostAndPath = "127.0.0.1/my files/2026";
  o.LoginUser = "";
  o.LoginPassword = "p w";
  o.UsePassive = false;
  o.OwnerProcessId = 4242;
  o.ServerPort = 2121;
  const std::string line = BuildInternalCommandLine("/opt/veldra dir/veldra", o);
  EXPECT_EQ(line,
            "\"/opt/veldra dir/veldra\" \"F:\" \"127.0.0.1/my files/2026\" \"\" \"p w\" 0 0 4242 "
            "2121 /INTERNAL");
  EXPECT_EQ(SplitCommandLine(line),
            (std::vector<std::string>{"/opt/veldra dir/veldra", "F:", "127.0.0.1/my files/2026", "",
                                      "p w", "0", "0", "4242", "2121", "/INTERNAL"}));
}

}  // namespace
