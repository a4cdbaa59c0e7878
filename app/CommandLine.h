// The command line of veldra: the settings of a mount, switches and options, the usage text,
// and the internal arguments that hand a mount to the background copy.
//
// Forms (argument 0 is the program's path):
//   veldra F: host[/remotepath] [password | - | *] [/USER:name] [/NOPASSIVE] [/OWNERACCESSONLY]
//          [/PORT:number] [/DEBUG] [/SESSIONS:n] [/CACHE:seconds] [/TLS | /TLS:IMPLICIT]
//          [/CERT:fingerprint] [/SPOOL:MiB]                          mount
//   veldra F: /DELETE                                                 unmount
//   veldra F: host/path user - passive debug owner port /SESSIONS:n /CACHE:s [/TLS | /TLS:IMPLICIT]
//          [/CERT:hex] /SPOOL:MiB /START:name /INTERNAL              background copy (built by
//                                                                     the program, see below)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/DeviceSettings.h"
#include "platform/Exception.h"

// A text that does not convert to the wanted type, or a value out of its range; the message is
// the one the user sees.
VELDRA_EXCEPTION(EConvertError, Exception);

// The settings of one mount.
struct MountOptions {
  std::string DeviceName;   // upper-cased; its first character is the drive letter
  std::string HostAndPath;  // host[/remote path] as typed
  std::string LoginUser = "anonymous";
  std::string LoginPassword;       // as sent ("" for none)
  bool PasswordFromInput = false;  // the password argument was "-": read it from standard input
  bool UsePassive = true;
  bool DebugMode = false;
  // The only user besides the superuser who may use the drive (platform::MountingUser form);
  // "" = every user.
  std::string OwnerUser;
  int32_t ServerPort = 21;
  int32_t Sessions = 4;       // control connections at most, 1..16
  int32_t CacheSeconds = 30;  // how long a listing is trusted, 0..86400
  TTlsMode Tls = TTlsMode::None;
  std::string CertificatePin;  // 64 lower-case hex digits without colons, or ""
  int32_t SpoolMiB = 4096;     // 1..1048576
  // The start semaphore the background copy releases once it serves; "" = none.
  std::string StartSemaphore;
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

  // The password argument of a mount: argument 3, or "*" when there are fewer than three
  // arguments or argument 3 begins with "/". An empty argument 3 is an empty password; "-"
  // means "read it from standard input", "*" means none.
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

// The settings of the visible mount command: device (argument 1), host and path (2), password
// (PasswordArgument: "*" none, "-" PasswordFromInput), /USER:, /NOPASSIVE, /PORT: (default 21,
// 990 with /TLS:IMPLICIT), /DEBUG and the options of ReadTuning. OwnerUser and StartSemaphore
// are left empty (the caller knows them). Raises EConvertError for a value out of rule.
MountOptions ReadMountOptions(const TCommandLine& args);

// Reads into *options, from args: /SESSIONS: (integer 1..16), /CACHE: (0..86400), /TLS (explicit)
// or /TLS:IMPLICIT (no other value), /CERT: (64 hex digits, colons anywhere, either case; kept
// as lower case without colons) and /SPOOL: (1..1048576 MiB). Options not given keep their
// value. Raises EConvertError naming the rule a value breaks.
void ReadTuning(const TCommandLine& args, MountOptions* options);

// The arguments that start the background copy (argument 0 is programPath):
//   F: host/path user - <passive 1|0> <debug 1|0> <owner user> <port> /SESSIONS:n /CACHE:s
//   [/TLS | /TLS:IMPLICIT] [/CERT:hex] /SPOOL:MiB /START:<semaphore> /INTERNAL
// The password never stands there: "-" marks that the copy reads it from standard input. An
// empty owner is an empty argument. The arguments are handed over as a list, never as one
// quoted line, so no text needs escaping.
std::vector<std::string> InternalArguments(const std::string& programPath,
                                           const MountOptions& options);

// The background copy's settings from InternalArguments (LoginPassword left empty). The options
// are read from the arguments after the eight positional ones only, so that a user or host
// name can never be taken for one. Raises EConvertError.
MountOptions ReadInternalArguments(const TCommandLine& args);
