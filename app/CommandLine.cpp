#include "app/CommandLine.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "platform/Console.h"

TCommandLine::TCommandLine(std::vector<std::string> args) : args_(std::move(args)) {
  if (args_.empty()) args_.emplace_back();
}

int TCommandLine::ParamCount() const {
  return static_cast<int>(args_.size()) - 1;
}

std::string TCommandLine::ParamStr(int i) const {
  if (i < 0 || i >= static_cast<int>(args_.size())) return std::string();
  return args_[static_cast<size_t>(i)];
}

bool TCommandLine::FindSwitch(const std::string& name) const {
  const std::string wanted = UpperCaseAscii(name);
  for (int i = 1; i <= ParamCount(); ++i) {
    const std::string& arg = args_[static_cast<size_t>(i)];
    if (!arg.empty() && arg[0] == '/' && UpperCaseAscii(arg.substr(1)) == wanted) return true;
  }
  return false;
}

std::string TCommandLine::OptionValue(const std::string& name,
                                      const std::string& defaultValue) const {
  const std::string wanted = UpperCaseAscii(name);
  for (int i = 1; i <= ParamCount(); ++i) {
    const std::string& arg = args_[static_cast<size_t>(i)];
    if (UpperCaseAscii(arg).find(wanted) != 1) continue;
    const size_t start = 1 + wanted.size() + 1;
    return start < arg.size() ? arg.substr(start) : std::string();
  }
  return defaultValue;
}

std::string TCommandLine::PasswordArgument() const {
  if (ParamCount() < 3) return "*";
  const std::string& arg = args_[3];
  if (!arg.empty() && arg[0] == '/') return "*";
  return arg;
}

std::string UpperCaseAscii(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

namespace {

bool ParseInt(const std::string& text, int32_t* value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
    if (v > static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1) return false;
  }
  if (negative) v = -v;
  if (v > std::numeric_limits<int32_t>::max() || v < std::numeric_limits<int32_t>::min())
    return false;
  *value = static_cast<int32_t>(v);
  return true;
}

}  // namespace

int32_t StrToInt(const std::string& text) {
  int32_t value = 0;
  if (!ParseInt(text, &value)) throw EConvertError("'" + text + "' is not a valid integer value");
  return value;
}

bool StrToBool(const std::string& text) {
  int32_t value = 0;
  if (ParseInt(text, &value)) return value != 0;
  const std::string upper = UpperCaseAscii(text);
  if (upper == "TRUE") return true;
  if (upper == "FALSE") return false;
  throw EConvertError("'" + text + "' is not a valid boolean value");
}

std::vector<std::string> UsageLines() {
  return {
      "",
      "Veldra v2.0 - Mounts remote storage as a local hard disk by FTP protocol",
      "",
      "The syntax of this command is:",
      "",
      "VELDRA devicename [ftphostname[/remotepath] [password | - |]]",
      "        [/USER:username]",
      "        [/NOPASSIVE]",
      "        [/OWNERACCESSONLY]",
      "        [/PORT:portnumber]",
      "        [/DEBUG]",
      "        [[/DELETE]]",
      "        [/SESSIONS:count]",
      "        [/CACHE:seconds]",
      "        [/TLS | /TLS:IMPLICIT]",
      "        [/CERT:sha256fingerprint]",
      "        [/SPOOL:megabytes]",
      "",
      "Examples:",
      "",
      "VELDRA F: ftp.example.com",
      "VELDRA F: ftp.example.com/pub secret /USER:anonymous",
      "VELDRA F: ftp.example.com /USER:anonymous /NOPASSIVE /PORT:22",
      "VELDRA F: ftp.example.com/pub - /USER:alice /TLS",
      "VELDRA F: /delete",
      "",
  };
}

void PrintMessage(const std::string& text) {
  std::string lines;
  lines.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] == '\n')
      lines += veldra::platform::LineEnd();
    else
      lines += text[i];
  }
  const std::string end = veldra::platform::LineEnd();
  if (lines.size() >= end.size() && lines.compare(lines.size() - end.size(), end.size(), end) == 0)
    lines.resize(lines.size() - end.size());
  veldra::platform::WriteLine(lines);
}

void PrintUsage() {
  for (const std::string& line : UsageLines()) veldra::platform::WriteLine(line);
}

namespace {

// What OptionValue gives for an option that is not there: no argument can hold a NUL.
const std::string kAbsent(1, '\0');

void ReadRange(const TCommandLine& args, const std::string& name, int32_t low, int32_t high,
               int32_t* value) {
  const std::string text = args.OptionValue(name, kAbsent);
  if (text == kAbsent) return;
  const int32_t number = StrToInt(text);
  if (number < low || number > high)
    throw EConvertError("/" + name + ":" + text + " is out of range (" + std::to_string(low) +
                        " to " + std::to_string(high) + ")");
  *value = number;
}

}  // namespace

void ReadTuning(const TCommandLine& args, MountOptions* options) {
  ReadRange(args, "SESSIONS", 1, 16, &options->Sessions);
  ReadRange(args, "CACHE", 0, 86400, &options->CacheSeconds);
  ReadRange(args, "SPOOL", 1, 1048576, &options->SpoolMiB);
  const std::string tls = args.OptionValue("TLS", kAbsent);
  if (tls != kAbsent) {
    if (UpperCaseAscii(tls) == "IMPLICIT")
      options->Tls = TTlsMode::Implicit;
    else if (tls.empty() && args.FindSwitch("TLS"))
      options->Tls = TTlsMode::Explicit;
    else
      throw EConvertError("'" + tls + "' is not a valid TLS mode: use /TLS or /TLS:IMPLICIT");
  }
  const std::string cert = args.OptionValue("CERT", kAbsent);
  if (cert != kAbsent) {
    std::string hex;
    for (const char c : cert)
      if (c != ':') hex += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (hex.size() != 64 || hex.find_first_not_of("0123456789abcdef") != std::string::npos)
      throw EConvertError("'" + cert +
                          "' is not a SHA-256 fingerprint: 64 hex digits, colons optional");
    options->CertificatePin = hex;
  }
}

MountOptions ReadMountOptions(const TCommandLine& args) {
  MountOptions options;
  options.DeviceName = UpperCaseAscii(args.ParamStr(1));
  options.HostAndPath = args.ParamStr(2);
  const std::string password = args.PasswordArgument();
  options.PasswordFromInput = password == "-";
  if (password != "*" && !options.PasswordFromInput) options.LoginPassword = password;
  options.LoginUser = args.OptionValue("USER", "anonymous");
  options.UsePassive = !args.FindSwitch("NOPASSIVE");
  options.DebugMode = args.FindSwitch("DEBUG");
  ReadTuning(args, &options);
  options.ServerPort =
      StrToInt(args.OptionValue("PORT", options.Tls == TTlsMode::Implicit ? "990" : "21"));
  return options;
}

std::vector<std::string> InternalArguments(const std::string& programPath,
                                           const MountOptions& options) {
  std::vector<std::string> args{programPath,
                                options.DeviceName,
                                options.HostAndPath,
                                options.LoginUser,
                                "-",
                                options.UsePassive ? "1" : "0",
                                options.DebugMode ? "1" : "0",
                                options.OwnerUser,
                                std::to_string(options.ServerPort),
                                "/SESSIONS:" + std::to_string(options.Sessions),
                                "/CACHE:" + std::to_string(options.CacheSeconds)};
  if (options.Tls == TTlsMode::Explicit) args.emplace_back("/TLS");
  if (options.Tls == TTlsMode::Implicit) args.emplace_back("/TLS:IMPLICIT");
  if (!options.CertificatePin.empty()) args.push_back("/CERT:" + options.CertificatePin);
  args.push_back("/SPOOL:" + std::to_string(options.SpoolMiB));
  if (!options.StartSemaphore.empty()) args.push_back("/START:" + options.StartSemaphore);
  args.emplace_back("/INTERNAL");
  return args;
}

MountOptions ReadInternalArguments(const TCommandLine& args) {
  MountOptions options;
  options.DeviceName = args.ParamStr(1);
  options.HostAndPath = args.ParamStr(2);
  options.LoginUser = args.ParamStr(3);
  options.UsePassive = StrToBool(args.ParamStr(5));
  options.DebugMode = StrToBool(args.ParamStr(6));
  options.OwnerUser = args.ParamStr(7);
  options.ServerPort = StrToInt(args.ParamStr(8));
  std::vector<std::string> rest{args.ParamStr(0)};
  for (int i = 9; i <= args.ParamCount(); ++i) rest.push_back(args.ParamStr(i));
  const TCommandLine tail(std::move(rest));
  ReadTuning(tail, &options);
  options.StartSemaphore = tail.OptionValue("START", "");
  return options;
}
