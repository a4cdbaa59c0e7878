// The socket handler of a connection: owns one TIdSocketHandle (the "binding"), opens client
// sockets with an optional connect time-out, and receives and sends on the binding.
//
// Ownership: the handler owns its binding (created by Open, kept across Close). A connection
// that uses the handler registers itself (TIdTCPConnection::SetIOHandler) and is told when the
// handler is destroyed, so the connection never refers to a dead handler.
//
// Thread rules: one thread at a time; the connect thread of a timed connect touches only the
// binding and its own result fields.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "net/IdSocketHandle.h"
#include "net/IdStack.h"

class TIdTCPConnection;

// Runs ConnectPeer of one binding on a short-lived thread, for a connect with a time-out.
// The thread starts in the constructor; the destructor stops and joins it (bounded: a pending
// connect gives up within a few milliseconds of Terminate()).
class TIdConnectThread {
 public:
  explicit TIdConnectThread(TIdSocketHandle& binding);
  TIdConnectThread(const TIdConnectThread&) = delete;
  TIdConnectThread& operator=(const TIdConnectThread&) = delete;
  ~TIdConnectThread();

  // Waits up to timeoutMs (negative: without limit) for the connect to finish. True when it
  // has finished (successfully or not).
  bool WaitFinished(int timeoutMs);
  bool Finished() const;
  // The message of the connect failure; empty when the connect succeeded (or is running).
  std::string ErrorMessage() const;
  // Tells the pending connect to give up; then joins the thread.
  void TerminateAndWait();

 private:
  void Run();

  TIdSocketHandle& binding_;
  std::atomic<bool> terminated_{false};
  mutable std::mutex mutex_;
  std::condition_variable finishedCv_;
  bool finished_ = false;
  std::string errorMessage_;
  std::thread thread_;
};

class TIdIOHandlerSocket {
 public:
  TIdIOHandlerSocket();
  TIdIOHandlerSocket(const TIdIOHandlerSocket&) = delete;
  TIdIOHandlerSocket& operator=(const TIdIOHandlerSocket&) = delete;
  // Closes the socket and tells the registered connection to forget this handler.
  virtual ~TIdIOHandlerSocket();

  // The binding; null until the first Open.
  TIdSocketHandle* Binding() const { return binding_.get(); }

  // Creates the binding, or resets an existing one including its local address (a socket
  // still allocated is closed first).
  virtual void Open();

  // Closes the binding's socket (if any). Never throws.
  virtual void Close();

  // True when the binding's socket is allocated.
  virtual bool Connected() const;

  // Allocates a stream socket on the binding, binds it (boundIP/boundPort or the port range,
  // see TIdSocketHandle::BindLocal), resolves host (TIdStack::ResolveHostAddress) and
  // connects to it. timeout -1 or 0: connect on the calling thread, a failure raises
  // EIdSocketError (e.g. 10061 "Connection refused."). Any other value: ConnectWithTimeout.
  // REQUIRES: Open() has run.
  virtual void OpenClientSocket(const std::string& host, int port, int timeout, int boundPortMax,
                                int boundPortMin, int boundPort, const std::string& boundIP);

  // TIdSocketHandle::WaitReadable of the binding (-2: without limit). Raises
  // EIdConnClosedGracefully when there is no allocated socket.
  virtual bool WaitReadable(int timeout);

  // One receive/send on the binding; see TIdSocketHandle::Recv/Send. Raise EIdClosedSocket
  // "Disconnected." when no socket is allocated.
  virtual long Recv(void* buffer, long length);
  virtual long Send(const void* buffer, long length);
  // A receive that never waits (-1 with 10035 when nothing has arrived): lets a connection
  // skip the readiness wait while data is already flowing.
  virtual long RecvNoWait(void* buffer, long length);
  // One receive that waits at most timeout ms (< 0: without limit); see TIdSocketHandle.
  virtual long RecvWithin(void* buffer, long length, int timeout);
  // Looks at what arrived within timeout ms without consuming it; see TIdSocketHandle.
  virtual long PeekWithin(void* buffer, long length, int timeout);
  // A send that never waits, and the wait for room to send (see TIdSocketHandle).
  virtual long SendNoWait(const void* buffer, long length);
  virtual bool WaitWritable(int timeout);

 protected:
  friend class TIdTCPConnection;

  // Connects the binding on a TIdConnectThread within timeout ms (-2: no limit). A failure
  // raises EIdConnectException with the socket error's message; no connection in time closes
  // the socket and raises EIdConnectTimeout "Connect timed out."; the calling thread's
  // interrupt check stops the connect the same way and raises EIdInterrupted.
  void ConnectWithTimeout(int timeout);

  TIdStackUse stackUse_;
  std::unique_ptr<TIdSocketHandle> binding_;
  // The connection that refers to this handler (set by TIdTCPConnection::SetIOHandler).
  TIdTCPConnection* connection_ = nullptr;
};
