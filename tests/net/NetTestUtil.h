// Shared helpers of the transport tests.
#pragma once

#include <memory>

#include "net/IdTCPClient.h"
#include "tests/net/ScriptedPeer.h"

// Starts the peer's script and connects a client to it (no connect time-out). The client's
// ReadTimeout keeps every read of a broken test bounded.
inline std::unique_ptr<TIdTCPClient> ConnectTo(TScriptedPeer& peer, int readTimeout = 10000) {
  auto client = std::make_unique<TIdTCPClient>();
  client->SetHost("127.0.0.1");
  client->SetPort(peer.Start());
  client->ConnectToHost();
  client->SetReadTimeout(readTimeout);
  return client;
}
