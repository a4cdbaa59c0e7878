// A PASV reply text line in, host and port out, or EConvertError: nothing else may happen.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ftp/IdFTP.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  std::string host;
  int port = 0;
  try {
    TIdFTP::ParsePassiveReply(line, host, port);
  } catch (const EConvertError&) {
  }
  return 0;
}
