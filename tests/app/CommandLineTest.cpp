// The command line's matching rules, the options' rules and the hand-over to the background
// copy.
#include <gtest/gtest.h>

#include "app/CommandLine.h"

namespace {

TCommandLine Args(std::vector<std::string> args) {
  args.insert(args.begin(), "/usr/bin/veldra");
  return TCommandLine(std::move(args));
}

TEST(CommandLine, SwitchesOptionValuesAndConversions) {
  EXPECT_TRUE(Args({"F:", "h", "/debug"}).FindSwitch("DEBUG"));
  EXPECT_FALSE(Args({"F:", "h", "-DEBUG"}).FindSwitch("DEBUG"));
  EXPECT_FALSE(Args({"F:", "h", "/DEBUG=1"}).FindSwitch("DEBUG"));
  EXPECT_FALSE(Args({"F:", "h", ""}).FindSwitch(""));
  EXPECT_FALSE(Args({"/DEBUG"}).FindSwitch("NOPASSIVE"));
  // Option values match loosely and keep their case.
  EXPECT_EQ(Args({"F:", "h", "/user:Alice"}).OptionValue("USER", "anonymous"), "Alice");
  EXPECT_EQ(Args({"F:", "h", "/USER:"}).OptionValue("USER", "anonymous"), "");
  EXPECT_EQ(Args({"F:", "h"}).OptionValue("USER", "anonymous"), "anonymous");
  EXPECT_EQ(Args({"F:", "h", "/USERNAME:bob"}).OptionValue("USER", "x"), "AME:bob");
  // Positional arguments are scanned too, and the first that qualifies wins.
  EXPECT_EQ(Args({"F:", "xport.example.com", "/PORT:21"}).OptionValue("PORT", "21"), "example.com");
  EXPECT_EQ(Args({"F:", "h", "/PORT:", "/PORT:22"}).OptionValue("PORT", "21"), "");
  EXPECT_TRUE(StrToInt("-2147483648") == INT32_MIN && StrToInt("+21") == 21);
  for (const char* bad : {"", "abc", "21x", "2147483648", "-", " 21"})
    EXPECT_THROW(StrToInt(bad), EConvertError) << bad;
  EXPECT_TRUE(!StrToBool("0") && StrToBool("1") && StrToBool("true") && !StrToBool("FALSE"));
  EXPECT_THROW(StrToBool("yes"), EConvertError);
}

// Options that break their rule: the message the user sees.
TEST(CommandLine, OptionValuesOutOfRule) {
  const std::string cert = "'AB:CD' is not a SHA-256 fingerprint: 64 hex digits, colons optional";
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"/SESSIONS:x", "'x' is not a valid integer value"},
      {"/SESSIONS:0", "/SESSIONS:0 is out of range (1 to 16)"},
      {"/sessions:17", "/SESSIONS:17 is out of range (1 to 16)"},
      {"/CACHE:-1", "/CACHE:-1 is out of range (0 to 86400)"},
      {"/CACHE:86401", "/CACHE:86401 is out of range (0 to 86400)"},
      {"/SPOOL:0", "/SPOOL:0 is out of range (1 to 1048576)"},
      {"/TLS:EXPLICIT", "'EXPLICIT' is not a valid TLS mode: use /TLS or /TLS:IMPLICIT"},
      {"/TLS:", "'' is not a valid TLS mode: use /TLS or /TLS:IMPLICIT"},
      {"/CERT:AB:CD", cert},
      {"/CERT:" + std::string(63, 'a') + "g", "'" + std::string(63, 'a') + "g'" + cert.substr(7)},
  };
  for (const auto& [option, message] : rows) {
    try {
      ReadMountOptions(Args({"F:", "h", option}));
      ADD_FAILURE() << option << ": no error";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.what(), message);
    }
  }
}

TEST(CommandLine, MountSettingsTravelToTheBackgroundCopy) {
  const std::string pin(64, 'a');
  std::string typedPin;  // upper case, colons between the pairs
  for (size_t i = 0; i < 64; i += 2) typedPin += std::string(i > 0 ? ":" : "") + "AA";
  MountOptions o = ReadMountOptions(
      Args({"f:", "127.0.0.1/my files", "-", "/USER:xcache:7", "/SESSIONS:16", "/CACHE:0",
            "/TLS:implicit", "/CERT:" + typedPin, "/SPOOL:64", "/NOPASSIVE"}));
  EXPECT_EQ(o.DeviceName, "F:");
  EXPECT_TRUE(o.PasswordFromInput && o.LoginPassword.empty());
  EXPECT_EQ(o.ServerPort, 990);  // implicit TLS without /PORT:
  EXPECT_EQ(o.CertificatePin, pin);
  o.LoginPassword = "never on the line";
  o.OwnerUser = "1000";
  o.StartSemaphore = "veldra-start-1-2-3";
  const std::vector<std::string> line = InternalArguments("/opt/veldra dir/veldra", o);
  // The user name "xcache:7" stands where options are not looked for.
  const MountOptions copy = ReadInternalArguments(TCommandLine(line));
  EXPECT_EQ(copy.LoginUser, "xcache:7");
  EXPECT_EQ(copy.CacheSeconds, 0);
  EXPECT_EQ(std::make_tuple(copy.DeviceName, copy.HostAndPath, copy.UsePassive, copy.OwnerUser,
                            copy.ServerPort, copy.Sessions, copy.Tls, copy.CertificatePin,
                            copy.SpoolMiB, copy.StartSemaphore, copy.LoginPassword),
            std::make_tuple(o.DeviceName, o.HostAndPath, false, o.OwnerUser, 990, 16,
                            TTlsMode::Implicit, pin, 64, o.StartSemaphore, std::string()));
  // Defaults; /TLS alone is explicit TLS; "*" and a missing third argument are no password.
  for (const char* third : {"*", "/TLS"}) {
    o = ReadMountOptions(Args({"F:", "h", third, "/TLS"}));
    EXPECT_EQ(std::make_tuple(o.LoginPassword, o.PasswordFromInput, o.ServerPort, o.Tls, o.Sessions,
                              o.CacheSeconds, o.SpoolMiB, o.LoginUser),
              std::make_tuple(std::string(), false, 21, TTlsMode::Explicit, 4, 30, 4096,
                              std::string("anonymous")));
  }
  EXPECT_EQ(ReadMountOptions(Args({"F:", "h", ""})).LoginPassword, "");
  EXPECT_EQ(ReadMountOptions(Args({"F:", "h", "pw", "/TLS:IMPLICIT", "/PORT:21"})).ServerPort, 21);
}

}  // namespace
