// The active-mode data listener: a connection that listens on one local socket, accepts
// exactly one connection (the server's data connection after PORT) and is then read and
// written like any TIdTCPConnection. Used for one transfer, then freed; never reused.
//
// Ownership: the server owns its socket handler (and through it the binding, which holds the
// listening socket until the accept and the accepted socket after it). Destroying the server
// closes whatever socket it still holds.
//
// Thread rules: one thread at a time, except RequestAbort, which another thread may call while
// AcceptConnection waits; the wait then ends within AcceptPollMs.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "net/IdIOHandlerSocket.h"
#include "net/IdTCPConnection.h"
#include "platform/Socket.h"

// AcceptConnection waited AcceptTimeout ms and no connection arrived.
VELDRA_EXCEPTION(EIdAcceptTimeout, EIdException);

class TIdSimpleServer : public TIdTCPConnection {
 public:
  TIdSimpleServer();
  ~TIdSimpleServer() override;

  // Set by RequestAbort; ends the accept wait (AcceptConnection then returns false).
  std::atomic<bool> AbortRequested{false};
  // Length of each readiness wait of the accept loop, ms. Between two waits the abort flag is
  // checked, so this bounds how late RequestAbort is noticed.
  int AcceptPollMs = 50;
  // Longest total accept wait, ms; 0 waits without limit. TIdFTP sets its DataTimeout here.
  int AcceptTimeout = 0;
  // Local address ("" = any) and port (0 = chosen by the system) of the listening socket.
  std::string BoundIP;
  int BoundPort = 0;
  // When set, only a connection from this address is taken: one from anywhere else (a third
  // party that raced the server to the announced port) is closed and the wait goes on.
  std::string AllowedPeerIP;

  // The listening socket, kept apart from the connection's binding; invalid when none.
  veldra::platform::SocketHandle ListenSocket() const { return listenSocket_; }
  bool IsListening() const { return isListening_; }

  virtual void RequestAbort();

  // Gives the server a socket handler (when it has none), binds the listening socket (when
  // none is bound) and listens with a backlog of 15. Afterwards Binding()->IP()/Port() hold
  // the actual local address. Raises the bind/listen errors of the transport
  // (EIdCouldNotBindSocket, EIdSocketError, EIdInvalidSocket); the handler is freed then.
  virtual void StartListening();

  // Allocates a stream socket on the binding, binds it to BoundIP:BoundPort and remembers it
  // as ListenSocket. On failure ListenSocket stays invalid and the error propagates.
  virtual void BindListenSocket();

  // ResetInput.
  virtual void ResetListener();

  // Listens first when not listening yet. Waits until a connection is pending, then accepts
  // it: the binding (and so every read and write of this connection) now refers to the
  // accepted socket. The listening socket is closed in every case. Returns true when a
  // connection was accepted, false when the wait was ended by RequestAbort. Raises
  // EIdAcceptTimeout "Accept timed out." when AcceptTimeout passes first, and the socket
  // errors of the accept.
  virtual bool AcceptConnection();

  // The inherited ResetInput, then clears AbortRequested and IsListening and frees the
  // socket handler (closing any socket it holds).
  void ResetInput() override;

 private:
  void CloseListenSocket();
  // Waits at most timeoutMs for a connection on the listening socket.
  bool WaitListenReadable(int timeoutMs);

  std::unique_ptr<TIdIOHandlerSocket> handler_;
  veldra::platform::SocketHandle listenSocket_ = veldra::platform::kInvalidSocket;
  bool isListening_ = false;
};
