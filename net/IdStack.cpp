#include "net/IdStack.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/Socket.h"

namespace {

// The message texts of the socket error codes (the format and the descriptions are the
// program's message resources; they live together here and nowhere else).
const char* const kSocketErrorFormat = "Socket Error # %d\r\n%s";

struct CodeText {
  int code;
  const char* text;
};

const CodeText kSocketErrorTexts[] = {
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Bad address."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block. "},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
};

const char* const kHostNotFound = "Host not found.";
const char* const kCannotAllocateSocket = "Cannot allocate socket.";

std::mutex gStackMutex;
int gStackUsers = 0;               // guarded by gStackMutex
std::unique_ptr<TIdStack> gStack;  // guarded by gStackMutex for creation/destruction

// A decimal field of a dotted quad: digits only (no sign, blank or hex form), leading zeros
// allowed. Returns -1 when it does not convert; large values are capped above 255.
int FieldValue(const std::string& field) {
  if (field.empty()) return -1;
  int value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return -1;
    value = std::min(value * 10 + (c - '0'), 1000);
  }
  return value;
}

// Cuts at the first three dots; the fourth field is the rest. False when fewer than 3 dots.
bool SplitQuad(const std::string& text, std::string (&fields)[4]) {
  std::size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    const std::size_t dot = text.find('.', start);
    if (dot == std::string::npos) return false;
    fields[i] = text.substr(start, dot - start);
    start = dot + 1;
  }
  fields[3] = text.substr(start);
  return true;
}

}  // namespace

TIdStack::TIdStack() = default;

bool TIdStack::CheckSocketResult(long result, std::initializer_list<int> tolerated) {
  if (result != -1) return false;
  const int code = veldra::platform::LastSocketError();
  lastError_.store(code);
  if (std::find(tolerated.begin(), tolerated.end(), code) != tolerated.end()) return true;
  RaiseSocketError(code);
}

void TIdStack::RaiseSocketError(int code) {
  if (code == veldra::platform::kWsaEINTR) throw EIdInterrupted(code, SocketErrorMessage(code));
  throw EIdSocketError(code, SocketErrorMessage(code));
}

std::string TIdStack::SocketErrorMessage(int code) const {
  const char* description = "";
  if (code == veldra::platform::kWsaHostNotFound) {
    description = kHostNotFound;
  } else {
    for (const CodeText& entry : kSocketErrorTexts) {
      if (entry.code == code) {
        description = entry.text;
        break;
      }
    }
  }
  char buffer[160];
  std::snprintf(buffer, sizeof buffer, kSocketErrorFormat, code, description);
  return buffer;
}

int TIdStack::CreateStreamSocket(int socketType, int protocol) {
  const int handle = veldra::platform::CreateSocket(socketType, protocol);
  if (handle == veldra::platform::kInvalidSocket) {
    lastError_.store(veldra::platform::LastSocketError());
    throw EIdInvalidSocket(kCannotAllocateSocket);
  }
  return handle;
}

std::string TIdStack::ResolveHostAddress(const std::string& host) {
  std::string upper = host;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  if (upper == "LOCALHOST") return "127.0.0.1";
  if (IsDottedQuad(host)) return host;
  std::uint32_t address = 0;
  CheckSocketResult(veldra::platform::LookupHostIPv4(host, address));
  return AddressToDottedQuad(address);
}

bool TIdStack::IsDottedQuad(const std::string& text) {
  std::string fields[4];
  if (!SplitQuad(text, fields)) return false;
  for (const std::string& field : fields) {
    const int value = FieldValue(field);
    if (value < 0 || value > 255) return false;
  }
  return true;
}

std::uint32_t TIdStack::DottedQuadToAddress(const std::string& text) {
  std::string fields[4];
  if (!IsDottedQuad(text) || !SplitQuad(text, fields)) {
    throw EIdException("Invalid IP address: " + text);
  }
  std::uint32_t address = 0;
  for (const std::string& field : fields) {
    address = (address << 8) | static_cast<std::uint32_t>(FieldValue(field));
  }
  return address;
}

std::string TIdStack::AddressToDottedQuad(std::uint32_t address) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%u.%u.%u.%u", (address >> 24) & 0xFFu,
                (address >> 16) & 0xFFu, (address >> 8) & 0xFFu, address & 0xFFu);
  return buffer;
}

TIdStack& GStack() {
  std::lock_guard<std::mutex> lock(gStackMutex);
  if (!gStack) throw EIdStackError("Socket stack is not initialised.");
  return *gStack;
}

TIdStackUse::TIdStackUse() {
  std::lock_guard<std::mutex> lock(gStackMutex);
  if (gStackUsers++ == 0) gStack = std::make_unique<TIdStack>();
}

TIdStackUse::TIdStackUse(const TIdStackUse&) : TIdStackUse() {}

TIdStackUse::~TIdStackUse() {
  std::lock_guard<std::mutex> lock(gStackMutex);
  if (--gStackUsers == 0) gStack.reset();
}
