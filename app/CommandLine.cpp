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
      "VELDRA devicename [ftphostname[/remotepath] [password |]]",
      "        [/USER:username]",
      "        [/NOPASSIVE]",
      "        [/OWNERACCESSONLY]",
      "        [/PORT:portnumber]",
      "        [/DEBUG]",
      "        [[/DELETE]]",
      "",
      "Examples:",
      "",
      "VELDRA F: ftp.example.com",
      "VELDRA F: ftp.example.com/pub secret /USER:anonymous",
      "VELDRA F: ftp.example.com /USER:anonymous /NOPASSIVE /PORT:22",
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

std::string BuildInternalCommandLine(const std::string& programPath, const MountOptions& options) {
  auto quoted = [](const std::string& text) { return "\"" + text + "\""; };
  return quoted(programPath) + " " + quoted(options.DeviceName) + " " +
         quoted(options.HostAndPath) + " " + quoted(options.LoginUser) + " " +
         quoted(options.LoginPassword) + " " + (options.UsePassive ? "1" : "0") + " " +
         (options.DebugMode ? "1" : "0") + " " + std::to_string(options.OwnerProcessId) + " " +
         std::to_string(options.ServerPort) + " /INTERNAL";
}

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> args;
  std::string current;
  bool inToken = false;
  bool quoted = false;
  for (const char c : commandLine) {
    if (c == '"') {
      quoted = !quoted;
      inToken = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (inToken) args.push_back(current);
      current.clear();
      inToken = false;
    } else {
      current += c;
      inToken = true;
    }
  }
  if (inToken) args.push_back(current);
  return args;
}
