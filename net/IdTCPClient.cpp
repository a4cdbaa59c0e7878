#include "net/IdTCPClient.h"

void TIdTCPClient::ConnectToHost(int timeout) {
  if (ioHandler_ == nullptr) {
    AdoptIOHandler(std::make_unique<TIdIOHandlerSocket>());
  } else if (ioHandler_->Connected()) {
    throw EIdAlreadyConnected("Already connected.");
  }
  try {
    ioHandler_->Open();
    ResetInput();
    ioHandler_->OpenClientSocket(host_, port_, timeout, boundPortMax_, boundPortMin_, boundPort_,
                                 boundIP_);
  } catch (...) {
    DropSocket();
    throw;
  }
}
