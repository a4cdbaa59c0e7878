// The command line of veldra: the settings of a mount, switches and options, the usage text,
// and the internal command line that hands a mount to the background copy.
//
// Forms (argument 0 is the program's path):
//   veldra F: host[/remotepath] [password] [/USER:name] [/NOPASSIVE] [/OWNERACCESSONLY]
//          [/PORT:number] [/DEBUG]                       mount
//   veldra F: /DELETE                                    unmount
//   veldra "path" "F:" "host/path" "user" "password" passive debug owner port /INTERNAL
//                                                        background copy (built by the program)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Exception.h"

// A text that does not convert to the wanted type; the message is the one the user sees.
VELDRA_EXCEPTION(EConvertError, Exception);

// The settings of one mount. The password "*" stands for "none given" (logs in with "").
struct MountOptions {
  std::string DeviceName;   // upper-cased; its first character is the drive letter
  std::string HostAndPath;  // host[/remote path] as typed
  std::string LoginUser = "anonymous";
  std::string LoginPassword = "*";
  bool UsePassive = true;
  bool DebugMode = false;
  uint32_t OwnerProcessId = 0;  // 0 = any process may use the drive
  int32_t ServerPort = 21;
};

// The arguments of one run, as the platform split and unquoted them.
class TCommandLine {
 public:
  // args[0] is the program's path; an empty vector is read as a program without arguments.
  explicit TCommandLine(std::vector<std::string> args);

  // Number of arguments after the program's path.
  int ParamCount() const;
  // Argument i (0 = program path); "" for any index beyond the last.
  std::string ParamStr(int i) const;

  // True when some argument 1..last is "/" followed by name, compared without regard to
  // ASCII letter case. Only "/" starts a switch; "-DEBUG" or "/DEBUG:x" is not switch DEBUG;
  // an empty argument is no switch.
  bool FindSwitch(const std::string& name) const;

  // The value of the first argument 1..last whose upper-cased text has the first occurrence
  // of the upper-cased name at its second character: the rest of the argument after the name
  // and one more (separator) character, as typed, possibly empty. defaultValue when no argument
  // qualifies. Neither the first character nor the separator is examined and positional
  // arguments count too, so "/USERNAME:x" matches USER with value "AME:x".
  std::string OptionValue(const std::string& name, const std::string& defaultValue) const;

  // The password of a mount: argument 3, or "*" when there are fewer than three arguments or
  // argument 3 begins with "/". An empty argument 3 is an empty password.
  std::string PasswordArgument() const;

 private:
  std::vector<std::string> args_;
};

// ASCII a-z to A-Z; every other byte unchanged.
std::string UpperCaseAscii(std::string text);

// Decimal text with an optional sign, fitting 32 bits signed. Raises EConvertError
// "'<text>' is not a valid integer value".
int32_t StrToInt(const std::string& text);

// "0" is false; any other integer, or "TRUE"/"FALSE" in any letter case, as such. Raises
// EConvertError "'<text>' is not a valid boolean value".
bool StrToBool(const std::string& text);

// Writes a message that may hold several lines (an exception's text, the background copy's
// output) to standard output: each CR LF or LF inside becomes the platform's line end, and a
// text that already ends with a line end gets no second one (no blank line after it).
void PrintMessage(const std::string& text);

// The usage text, one entry per line (empty entries are empty lines).
std::vector<std::string> UsageLines();
// Writes UsageLines() to standard output.
void PrintUsage();

// "\"<programPath>\" \"<DeviceName>\" \"<HostAndPath>\" \"<LoginUser>\" \"<LoginPassword>\"
// <passive 1|0> <debug 1|0> <owner> <port> /INTERNAL". Texts are quoted as they are, without
// escaping: a text that holds a double quote does not survive the trip.
std::string BuildInternalCommandLine(const std::string& programPath, const MountOptions& options);

// Splits a command line into arguments: blanks and tabs outside double quotes separate, each
// double quote switches quoting and is dropped; "" gives an empty argument.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);
