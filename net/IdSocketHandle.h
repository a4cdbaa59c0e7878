// One operating-system socket with its local and peer addresses: the client socket of a
// connection, and the listening/accepting socket of the active-mode data listener.
//
// Ownership: the handle owns the socket while HandleAllocated(); ReleaseHandle() and the
// destructor shut down its sending direction and close it. ResetHandle() forgets the socket
// WITHOUT closing it (the listener keeps its listening socket apart; see AcceptFrom).
//
// Thread rules: one thread at a time, except that ConnectPeer(cancel) may run on the connect
// thread while the owner only sets the cancel flag.
#pragma once

#include <atomic>
#include <string>

#include "net/IdStack.h"
#include "platform/Socket.h"

class TIdSocketHandle {
 public:
  TIdSocketHandle();
  TIdSocketHandle(const TIdSocketHandle&) = delete;
  TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;
  virtual ~TIdSocketHandle();

  // The OS socket, or veldra::platform::kInvalidSocket.
  veldra::platform::SocketHandle Handle() const { return handle_; }
  bool HandleAllocated() const { return allocated_; }

  // Local address ("" = any) and port (0 = any); after a bind, connect or accept they hold
  // the actual local address and port.
  const std::string& IP() const { return ip_; }
  void SetIP(const std::string& ip) { ip_ = ip; }
  int Port() const { return port_; }
  void SetPort(int port) { port_ = port; }

  const std::string& PeerIP() const { return peerIP_; }
  int PeerPort() const { return peerPort_; }
  // Sets the peer address (a dotted quad) and port that ConnectPeer connects to.
  void SetPeer(const std::string& ip, int port);

  // Local port range for BindLocal (both 0: no range). Not touched by ResetHandle.
  int ClientPortMin() const { return clientPortMin_; }
  void SetClientPortMin(int port) { clientPortMin_ = port; }
  int ClientPortMax() const { return clientPortMax_; }
  void SetClientPortMax(int port) { clientPortMax_ = port; }

  // ReleaseHandle; when a socket was allocated, ResetHandle(true); then a new socket
  // (CreateStreamSocket) marked allocated. Raises EIdInvalidSocket on failure.
  void AllocateHandle(int socketType = veldra::platform::kSocketStream, int protocol = 0);

  // When allocated: mark not allocated, shut down the sending direction and close the socket.
  // Results are not examined; never throws.
  virtual void ReleaseHandle();

  // Handle invalid, not allocated, peer address cleared; with resetLocal also IP and Port.
  // Does not close the socket.
  void ResetHandle(bool resetLocal);

  // Binds to IP and Port; with Port 0 and a port range (both ends non-zero) tries the ports
  // from ClientPortMax down to ClientPortMin. Raises EIdCouldNotBindSocket (single bind, port
  // in use), EIdInvalidPortRange (max < min), EIdCanNotBindPortInRange (all ports busy), or
  // EIdSocketError for any other bind failure.
  void BindLocal();

  // One bind to IP/Port. False when the address is in use (10048); other failures raise
  // EIdSocketError. On success IP and Port are read back from the socket.
  bool TryBindOnce();

  // Connects to PeerIP:PeerPort and returns the socket call's result (0, or -1 with the error
  // in veldra::platform::LastSocketError()) for the caller to check. On success reads the
  // local and peer addresses back. With `cancel`, gives up (-1, 10004) soon after it is set.
  virtual int ConnectPeer(const std::atomic<bool>* cancel = nullptr);

  // listen(backlog); a failure raises EIdSocketError.
  void StartListen(int backlog);

  // ResetHandle(true), then waits for and accepts one connection on `listening`. False for
  // failure 10038 (the listening socket was closed), EIdInterrupted when the thread's interrupt
  // check ends the wait, EIdSocketError for others. On success this handle owns the accepted
  // socket and holds its local and peer addresses.
  // When this handle held `listening` itself, it forgets it without closing: the caller keeps
  // and closes the listening socket. Any other socket this handle held is closed first.
  bool AcceptFrom(veldra::platform::SocketHandle listening);

  // Waits until the socket is readable. timeout -2 (or any negative value) waits without
  // limit; otherwise milliseconds. True only when readable; a time-out or a failed wait gives
  // false. Raises EIdConnClosedGracefully "Connection Closed Gracefully." when not allocated,
  // EIdInterrupted when the thread's interrupt check ends the wait.
  bool WaitReadable(int timeout);

  // One receive/send call (send never raises SIGPIPE), waiting without limit. Returns the
  // count, 0 when the peer closed (receive), or -1 with the error in
  // veldra::platform::LastSocketError() (10004 when interrupted). Raises EIdClosedSocket
  // "Disconnected." when not allocated.
  long Recv(void* buffer, long length);
  long Send(const void* buffer, long length);
  // One receive that waits at most timeout ms for the first byte (timeout < 0: without limit;
  // 0: not at all). A time-out gives -1 with 10035, an interruption -1 with 10004. One system
  // call while data is waiting.
  long RecvWithin(void* buffer, long length, int timeout);
  // Waits like RecvWithin, then copies what has arrived without consuming it (a line reader
  // takes exactly its line afterwards). Returns the count, 0 when the peer closed, or -1
  // (10035 on time-out).
  long PeekWithin(void* buffer, long length, int timeout);
  // Receive/send that never wait: -1 with 10035 when nothing has arrived yet / the socket
  // buffer is full.
  long RecvNoWait(void* buffer, long length);
  long SendNoWait(const void* buffer, long length);
  // Waits until the socket can take more bytes (timeout < 0: without limit). True when it
  // can (or has failed: the next send reports it); false on time-out. Raises EIdClosedSocket
  // when not allocated, EIdInterrupted when the thread's interrupt check ends the wait.
  bool WaitWritable(int timeout);

  // Takes ownership of an already connected socket (tests, fuzzing: e.g. one end of a
  // socketpair). Closes a socket held before. Addresses are read back when it is IPv4.
  void AttachHandle(veldra::platform::UniqueSocket socket);

  // Gives the socket to the caller without closing it and resets this handle (local part too).
  veldra::platform::UniqueSocket DetachHandle();

 protected:
  void ReadBackAddresses();
  int CheckWait(int result);

  TIdStackUse stackUse_;
  veldra::platform::SocketHandle handle_ = veldra::platform::kInvalidSocket;
  bool allocated_ = false;
  std::string ip_;
  int port_ = 0;
  std::string peerIP_;
  int peerPort_ = 0;
  int clientPortMin_ = 0;
  int clientPortMax_ = 0;
};
