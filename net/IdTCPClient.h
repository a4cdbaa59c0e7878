// A TCP connection that opens itself: holds the address to connect to and the local binding
// wishes, and connects with or without a time-out.
#pragma once

#include <string>

#include "net/IdTCPConnection.h"

class TIdTCPClient : public TIdTCPConnection {
 public:
  TIdTCPClient() = default;

  // Host name or dotted address to connect to.
  const std::string& Host() const { return host_; }
  virtual void SetHost(const std::string& host) { host_ = host; }
  // TCP port (only the low 16 bits reach the socket).
  int Port() const { return port_; }
  virtual void SetPort(int port) { port_ = port; }
  // Local address to bind ("" = any) and port (0 = any).
  const std::string& BoundIP() const { return boundIP_; }
  void SetBoundIP(const std::string& ip) { boundIP_ = ip; }
  int BoundPort() const { return boundPort_; }
  void SetBoundPort(int port) { boundPort_ = port; }
  // Local port range to bind in (both 0: none). Tried from the maximum down.
  int BoundPortMin() const { return boundPortMin_; }
  void SetBoundPortMin(int port) { boundPortMin_ = port; }
  int BoundPortMax() const { return boundPortMax_; }
  void SetBoundPortMax(int port) { boundPortMax_ = port; }

  // Opens the connection to Host:Port. timeout in ms; -1 or 0: no time-out (the OS's own).
  // Creates an owned handler when there is none; a handler that is still connected raises
  // EIdAlreadyConnected "Already connected." and the open connection is left untouched.
  // Empties PendingInput before connecting. On any failure the socket is dropped and the
  // error propagates: EIdSocketError (unresolved host 11001; refused 10061 without time-out),
  // EIdConnectException (refused with time-out), EIdConnectTimeout, EIdCouldNotBindSocket,
  // EIdInvalidPortRange, EIdCanNotBindPortInRange, EIdInvalidSocket.
  virtual void ConnectToHost(int timeout = -1);

 protected:
  std::string host_;
  int port_ = 0;
  std::string boundIP_;
  int boundPort_ = 0;
  int boundPortMin_ = 0;
  int boundPortMax_ = 0;
};
