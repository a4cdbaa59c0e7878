// Fuzzes reply parsing: the bytes as raw reply lines for ParseReplyLines, and the same bytes
// as what a server sends, read reply by reply with ReadReply over a socketpair.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/IdTCPConnection.h"
#include "platform/Socket.h"

namespace {

void FuzzParse(const std::string& input) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= input.size()) {
    const std::size_t lf = input.find('\n', start);
    if (lf == std::string::npos) {
      lines.push_back(input.substr(start));
      break;
    }
    lines.push_back(input.substr(start, lf - start));
    start = lf + 1;
  }
  TIdRFCReply reply;
  reply.ParseReplyLines(lines);
  if (reply.Text().size() != lines.size()) std::abort();
  if (reply.Lines() != lines) std::abort();
  if (reply.TextCode().size() > 4) std::abort();
  TIdRFCReply copy;
  copy = reply;
  if (copy.FormattedText() != reply.FormattedText()) std::abort();
}

void FuzzRead(const std::string& input) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
  veldra::platform::UniqueSocket writer(fds[0]);
  veldra::platform::UniqueSocket reader(fds[1]);
  // Inputs are small (-max_len); whatever the socket buffer does not take is dropped.
  std::size_t sent = 0;
  while (sent < input.size()) {
    const auto n =
        ::send(writer.Get(), input.data() + sent, input.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  writer.Reset();

  TIdIOHandlerSocket handler;
  handler.Open();
  handler.Binding()->AttachHandle(std::move(reader));
  TIdTCPConnection connection;
  connection.SetIOHandler(&handler);
  connection.SetReadTimeout(1000);
  connection.SetMaxLineLength(1024);
  // Every reply consumes at least one line, so this ends within the input's line count.
  for (std::size_t i = 0; i <= sent + 1; ++i) {
    try {
      connection.ReadReply();
      connection.CheckReplyCode(connection.LastReply().NumericCode(), {200, 226});
    } catch (const EIdProtocolReplyError&) {
    } catch (const EIdException&) {
      return;
    }
  }
  std::abort();  // more replies than the input could hold
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  FuzzParse(input);
  FuzzRead(input);
  return 0;
}
