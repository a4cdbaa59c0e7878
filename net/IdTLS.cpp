// The parts of TLS that do not depend on the library: the pin's form and the hand-over of a
// connected socket to a TLS handler.
#include "net/IdTLS.h"

#include <cctype>

#include "net/IdTCPConnection.h"

std::string NormaliseCertificatePin(const std::string& pin) {
  const bool colons = pin.find(':') != std::string::npos;
  bool wellFormed = pin.empty() || pin.size() == (colons ? 95u : 64u);
  std::string hex;
  for (std::size_t i = 0; i < pin.size() && wellFormed; ++i) {
    const auto c = static_cast<unsigned char>(pin[i]);
    // Colons, when written, stand between pairs, as fingerprints are printed.
    if (colons && i % 3 == 2) {
      wellFormed = c == ':';
      continue;
    }
    wellFormed = std::isxdigit(c) != 0;
    hex += static_cast<char>(std::tolower(c));
  }
  if (!wellFormed)
    throw EIdTLSError(
        "The certificate pin must be a SHA-256 fingerprint: 64 hexadecimal digits, with or "
        "without colons between pairs.");
  return hex;
}

TIdIOHandlerTLS& TIdIOHandlerTLS::Secure(TIdTCPConnection& connection,
                                         std::shared_ptr<TIdTLSContext> context, TIdTLSRole role,
                                         int timeoutMs, bool handshakeNow) {
  TIdSocketHandle* binding = connection.Binding();
  if (binding == nullptr || !binding->HandleAllocated()) throw EIdNotConnected("Not Connected");
  // Bytes read before the handshake came in the clear: taking them as protected would let
  // anyone on the path put words into the server's mouth.
  if (!connection.PendingInput().Empty())
    throw EIdTLSError("The server sent more than its reply before the TLS handshake.");
  auto handler = std::make_unique<TIdIOHandlerTLS>(std::move(context), role);
  handler->Open();
  handler->Binding()->AttachHandle(binding->DetachHandle());
  handler->RequestTLS(timeoutMs);
  TIdIOHandlerTLS& secured = *handler;
  connection.AdoptIOHandler(std::move(handler));
  if (handshakeNow) secured.StartTLS(timeoutMs);
  return secured;
}
