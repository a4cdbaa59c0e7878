// Win32 processes; see platform/Process.h. The background copy is started with CreateProcessA,
// its standard output and error on the write end of an anonymous pipe; the read end is looked
// into with PeekNamedPipe, which leaves the text in the pipe.
#include "platform/Process.h"

#include <windows.h>
// windows.h first: these build on its types.
#include <sddl.h>
#include <winternl.h>

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

// Replaces argument `index` of the command line by "*", moving the rest up and clearing what it
// leaves behind. Returns the new length in characters (the old one when there is no such
// argument).
template <typename C>
size_t HideInCommandLine(C* line, size_t index) {
  const size_t length = std::char_traits<C>::length(line);
  const auto spans = ArgumentSpans(line);
  if (index >= spans.size() || spans[index].second == spans[index].first) return length;
  size_t to = spans[index].first;
  line[to++] = '*';
  for (size_t from = spans[index].second; from < length;) line[to++] = line[from++];
  const size_t newLength = to;
  for (volatile C* p = line + to; to < length; ++to, ++p) *p = 0;
  return newLength;
}

// The string form of the user SID of a process's token; "" when it cannot be read.
std::string UserOfProcess(HANDLE process) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(process, TOKEN_QUERY, &token)) return std::string();
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<char> record(size);
  char* text = nullptr;
  const bool ok =
      size > 0 && ::GetTokenInformation(token, TokenUser, record.data(), size, &size) &&
      ::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(record.data())->User.Sid, &text);
  ::CloseHandle(token);
  if (!ok) return std::string();
  std::string user = text;
  ::LocalFree(text);
  return user;
}

}  // namespace

void HideArgument(int argc, char** argv, int index) {
  if (argv == nullptr || index <= 0 || index >= argc || argv[index] == nullptr) return;
  // Other processes read the command line that Windows keeps for the process (the wide one that
  // GetCommandLineW returns in place), up to the length recorded with it, not argv.
  WCHAR* wide = ::GetCommandLineW();
  const size_t length = HideInCommandLine(wide, static_cast<size_t>(index));
  using TQuery = LONG(WINAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
  void* entry = reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess"));
  PROCESS_BASIC_INFORMATION basic{};
  if (entry != nullptr &&
      reinterpret_cast<TQuery>(entry)(::GetCurrentProcess(), ProcessBasicInformation, &basic,
                                      sizeof basic, nullptr) == 0) {
    UNICODE_STRING& recorded = basic.PebBaseAddress->ProcessParameters->CommandLine;
    if (recorded.Buffer == wide) recorded.Length = static_cast<USHORT>(length * sizeof(WCHAR));
  }
  HideInCommandLine(::GetCommandLineA(), static_cast<size_t>(index));
  // The C runtime hands main a copy of its own argument array: both copies are cleared.
  for (char** list : {argv, __argv})
    if (list != nullptr && index < __argc)
      for (volatile char* p = list[index]; *p != '\0'; ++p) *p = '\0';
}

std::string ReadSecretLine(const std::string& prompt) {
  const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return std::string();
  DWORD mode = 0;
  const bool console = ::GetConsoleMode(in, &mode) != 0;
  const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  if (console) {
    ::SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    ::WriteFile(err, prompt.data(), static_cast<DWORD>(prompt.size()), &written, nullptr);
  }
  std::string line;
  DWORD code = 0;
  for (;;) {
    char c = 0;
    DWORD got = 0;
    if (!::ReadFile(in, &c, 1, &got, nullptr)) {
      code = ::GetLastError();
      break;
    }
    if (got == 0 || c == '\n') break;
    if (line.size() < kSecretMax) line += c;
  }
  if (console) {
    ::SetConsoleMode(in, mode);
    ::WriteFile(err, "\r\n", 2, &written, nullptr);
  }
  if (code != 0 && code != ERROR_BROKEN_PIPE && code != ERROR_HANDLE_EOF)
    throw EOSError("ReadFile", static_cast<int>(code));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string MountingUser() {
  const std::string user = UserOfProcess(::GetCurrentProcess());
  if (user.empty()) throw EOSError("GetTokenInformation", static_cast<int>(::GetLastError()));
  return user;
}

std::string ProcessUser(uint32_t processId) {
  // One caller sends many requests in a row: each thread remembers its last answer a second.
  thread_local uint32_t lastId = 0;
  thread_local std::string lastUser;
  thread_local ULONGLONG lastAt = 0;
  const ULONGLONG now = ::GetTickCount64();
  if (processId != lastId || now - lastAt > 1000) {
    const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    lastUser = process != nullptr ? UserOfProcess(process) : std::string();
    if (process != nullptr) ::CloseHandle(process);
    lastId = processId;
    lastAt = now;
  }
  return lastUser;
}

bool IsSystemUser(const std::string& user) {
  return user == "S-1-5-18";  // LocalSystem
}

// A console's Ctrl+C or close ends the process; the named objects go with their last handle.
TStopSignals::TStopSignals() = default;
TStopSignals::~TStopSignals() = default;

bool StopRequested() {
  return false;
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
                                                    int bufferSize, const std::string& input) {
  if (argv.empty()) throw EOSError("CreateProcess", ERROR_INVALID_PARAMETER);
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inheritable, static_cast<DWORD>(bufferSize)))
    throw EOSError("CreatePipe", static_cast<int>(::GetLastError()));
  THandle ours(readEnd);
  THandle theirs(writeEnd);
  ::SetHandleInformation(ours.Get(), HANDLE_FLAG_INHERIT, 0);

  // Standard input: a pipe that holds input and then ends (its write end closed here).
  HANDLE inputRead = nullptr;
  HANDLE inputWrite = nullptr;
  if (!::CreatePipe(&inputRead, &inputWrite, &inheritable,
                    static_cast<DWORD>(std::max<size_t>(input.size() + 1, 4096))))
    throw EOSError("CreatePipe", static_cast<int>(::GetLastError()));
  THandle inputEnd(inputRead);
  {
    THandle writeEnd(inputWrite);
    DWORD written = 0;
    if (!input.empty() && (!::WriteFile(writeEnd.Get(), input.data(),
                                        static_cast<DWORD>(input.size()), &written, nullptr) ||
                           written != input.size()))
      throw EOSError("WriteFile", static_cast<int>(::GetLastError()));
  }
  TInheritList inheritList({theirs.Get(), inputEnd.Get()});

  STARTUPINFOEXA startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = inputEnd.Get();
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

void TChildProcess::Stop() {
  if (!HasEnded(nullptr)) ::TerminateProcess(static_cast<HANDLE>(process_), 1);
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
