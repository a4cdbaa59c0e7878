// Win32 processes; see platform/Process.h. The background copy is started with CreateProcessA,
// its standard output and error on the write end of an anonymous pipe; the read end is looked
// into with PeekNamedPipe, which leaves the text in the pipe.
#include "platform/Process.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/SystemMessages.h"

namespace veldra::platform {

bool IsElevated() {
  // Before Windows 6 (Vista) there is no elevation: an administrator always has his rights.
  const DWORD version = ::GetVersion();
  if (LOBYTE(LOWORD(version)) < 6) return true;
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const BOOL ok = ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
  ::CloseHandle(token);
  return ok && elevation.TokenIsElevated != 0;
}

uint32_t CurrentProcessId() {
  return static_cast<uint32_t>(::GetCurrentProcessId());
}

void IgnoreBrokenPipe() {
  // Nothing to do: a write to a closed pipe fails with ERROR_NO_DATA; no signal ends the process.
}

void LeaveStartDirectory() {
  // The root of the system drive: a directory that is never on a drive to be unmounted.
  char system[MAX_PATH + 1] = {};
  const UINT length = ::GetSystemDirectoryA(system, sizeof system);
  if (length >= 3 && length < sizeof system) {
    system[3] = '\0';
    ::SetCurrentDirectoryA(system);
  }
}

namespace {

// The [begin, end) spans of the arguments in a command line, split as the C runtime splits it:
// the program name ends at the next quote (when quoted) or blank; after it, blanks separate,
// quotes group, and backslashes escape only before a quote.
template <typename C>
std::vector<std::pair<size_t, size_t>> ArgumentSpans(const C* line) {
  std::vector<std::pair<size_t, size_t>> spans;
  size_t i = 0;
  const auto blank = [&](size_t k) { return line[k] == ' ' || line[k] == '\t'; };
  size_t begin = i;
  if (line[i] == '"') {
    ++i;
    while (line[i] != 0 && line[i] != '"') ++i;
    if (line[i] == '"') ++i;
  }
  while (line[i] != 0 && !blank(i)) ++i;
  spans.emplace_back(begin, i);
  for (;;) {
    while (line[i] != 0 && blank(i)) ++i;
    if (line[i] == 0) break;
    begin = i;
    bool quoted = false;
    while (line[i] != 0 && (quoted || !blank(i))) {
      if (line[i] == '\\') {
        size_t run = 0;
        while (line[i] == '\\') ++i, ++run;
        if (line[i] == '"' && run % 2 == 1) ++i;  // an escaped quote
        continue;
      }
      if (line[i] == '"') quoted = !quoted;
      ++i;
    }
    spans.emplace_back(begin, i);
  }
  return spans;
}

// Stars over every character of argument `index` of the command line, its quotes kept.
template <typename C>
void WipeCommandLineArgument(C* line, size_t index) {
  if (line == nullptr) return;
  const auto spans = ArgumentSpans(line);
  if (index >= spans.size()) return;
  for (size_t k = spans[index].first; k < spans[index].second; ++k)
    if (line[k] != '"') line[k] = '*';
}

}  // namespace

void WipeArgument(char* argument) {
  if (argument == nullptr) return;
  // Other processes read the command line that Windows keeps for the process (the wide one
  // that GetCommandLineW returns in place), not argv. The C runtime hands main a copy of its
  // own argument array, so the argument is found by its text: every argument with the same
  // text is starred, which never leaves the secret readable.
  if (*argument != '\0') {
    for (int i = 1; __argv != nullptr && i < __argc; ++i) {
      if (__argv[i] == argument || std::strcmp(__argv[i], argument) != 0) continue;
      WipeCommandLineArgument(::GetCommandLineW(), static_cast<size_t>(i));
      WipeCommandLineArgument(::GetCommandLineA(), static_cast<size_t>(i));
      for (volatile char* p = __argv[i]; *p != '\0'; ++p) *p = '*';
    }
  }
  for (volatile char* p = argument; *p != '\0'; ++p) *p = '*';
}

namespace {

// Owns a handle until released.
class THandle {
 public:
  explicit THandle(HANDLE handle = nullptr) : handle_(handle) {}
  ~THandle() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
  }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  HANDLE Get() const { return handle_; }
  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }

 private:
  HANDLE handle_;
};

// One argument quoted so that the started program's command-line parser gives it back
// unchanged: backslashes are literal except before a quote, where they are doubled.
std::string QuoteArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos)
    return argument;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  out += '"';
  return out;
}

// The attribute list that limits what the child inherits to the given handles.
class TInheritList {
 public:
  explicit TInheritList(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!::InitializeProcThreadAttributeList(list_, 1, 0, &size))
      throw EOSError("InitializeProcThreadAttributeList", static_cast<int>(::GetLastError()));
    if (!::UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                     handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
      const DWORD code = ::GetLastError();
      ::DeleteProcThreadAttributeList(list_);
      throw EOSError("UpdateProcThreadAttribute", static_cast<int>(code));
    }
  }
  ~TInheritList() { ::DeleteProcThreadAttributeList(list_); }
  TInheritList(const TInheritList&) = delete;
  TInheritList& operator=(const TInheritList&) = delete;
  LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return list_; }

 private:
  std::vector<HANDLE> handles_;
  std::vector<char> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

}  // namespace

std::unique_ptr<TChildProcess> TChildProcess::Start(const std::vector<std::string>& argv,
                                                    int bufferSize) {
  if (argv.empty()) throw EOSError("CreateProcess", ERROR_INVALID_PARAMETER);
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inheritable, static_cast<DWORD>(bufferSize)))
    throw EOSError("CreatePipe", static_cast<int>(::GetLastError()));
  THandle ours(readEnd);
  THandle theirs(writeEnd);
  ::SetHandleInformation(ours.Get(), HANDLE_FLAG_INHERIT, 0);

  // Standard input is handed on as an inheritable duplicate, when there is one.
  HANDLE inputCopy = nullptr;
  const HANDLE stdIn = ::GetStdHandle(STD_INPUT_HANDLE);
  if (stdIn != nullptr && stdIn != INVALID_HANDLE_VALUE &&
      !::DuplicateHandle(::GetCurrentProcess(), stdIn, ::GetCurrentProcess(), &inputCopy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS))
    inputCopy = nullptr;
  THandle input(inputCopy);
  std::vector<HANDLE> inherited{theirs.Get()};
  if (input.Get() != nullptr) inherited.push_back(input.Get());
  TInheritList inheritList(inherited);

  STARTUPINFOEXA startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input.Get();
  startup.StartupInfo.hStdOutput = theirs.Get();
  startup.StartupInfo.hStdError = theirs.Get();
  startup.lpAttributeList = inheritList.Get();

  std::string commandLine;
  for (const std::string& a : argv) {
    if (!commandLine.empty()) commandLine += ' ';
    commandLine += QuoteArgument(a);
  }
  PROCESS_INFORMATION started{};
  // Detached from our console and in a group of its own, so that closing the console or
  // Ctrl+C in it does not end the drive's server.
  const DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | EXTENDED_STARTUPINFO_PRESENT;
  if (!::CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                        &startup.StartupInfo, &started))
    throw EOSError("CreateProcess", static_cast<int>(::GetLastError()));
  ::CloseHandle(started.hThread);
  // Our copy of the write end must go, or the pipe would never report the child's end.
  return std::make_unique<TChildProcess>(TKey{}, static_cast<pid_t>(started.dwProcessId),
                                         started.hProcess, ours.Release());
}

TChildProcess::~TChildProcess() {
  ::CloseHandle(static_cast<HANDLE>(channel_));
  ::CloseHandle(static_cast<HANDLE>(process_));
}

bool TChildProcess::HasEnded(int* exitCode) {
  if (!ended_ && ::WaitForSingleObject(static_cast<HANDLE>(process_), 0) == WAIT_OBJECT_0) {
    DWORD code = 0;
    ended_ = true;
    // Exit codes are 32 bits: a program's -1 is 0xFFFFFFFF and reads as -1 again.
    exitCode_ =
        ::GetExitCodeProcess(static_cast<HANDLE>(process_), &code) ? static_cast<int>(code) : -1;
  }
  if (ended_ && exitCode) *exitCode = exitCode_;
  return ended_;
}

bool TChildProcess::Peek(size_t maxBytes, std::string* text) {
  text->clear();
  DWORD waiting = 0;
  if (!::PeekNamedPipe(static_cast<HANDLE>(channel_), nullptr, 0, nullptr, &waiting, nullptr))
    return ::GetLastError() == ERROR_BROKEN_PIPE;  // ended without a word
  const size_t size = std::min(static_cast<size_t>(waiting), maxBytes);
  if (size == 0) return true;
  text->resize(size);
  DWORD got = 0;
  if (!::PeekNamedPipe(static_cast<HANDLE>(channel_), &(*text)[0], static_cast<DWORD>(size), &got,
                       nullptr, nullptr)) {
    text->clear();
    return false;
  }
  text->resize(got);
  return true;
}

void SleepMs(int ms) {
  ::Sleep(ms < 0 ? 0 : static_cast<DWORD>(ms));
}

}  // namespace veldra::platform
