// The settings of one FTP device, gathered from the command line by the mount host.
#pragma once

#include <cstdint>
#include <string>

// How the control and data connections are protected.
enum class TTlsMode {
  None,      // plain FTP
  Explicit,  // AUTH TLS after the greeting, then PBSZ 0 / PROT P (RFC 4217)
  Implicit,  // TLS from the first byte (default port 990)
};

struct TDeviceSettings {
  std::string Host;
  // The remote directory as typed after "host/" (may be empty, may lack the leading "/").
  std::string RemotePath;
  std::string User = "anonymous";
  std::string Password;  // as sent ("" for none)
  bool Passive = true;
  int Port = 21;
  // Control connections at most; 1 keeps every request on one session.
  int Sessions = 4;
  // Seconds a directory listing is trusted; 0 lists again on every use.
  int CacheSeconds = 30;
  TTlsMode Tls = TTlsMode::None;
  // SHA-256 fingerprint of the server certificate to accept (hex, colons optional); "" checks
  // the certificate against the system's authorities and the host name instead.
  std::string CertificatePin;
  // Local spool of files written out of order: its directory ("" = the default place) and the
  // most bytes it may hold at once.
  std::string SpoolDirectory;
  std::uint64_t SpoolLimitBytes = std::uint64_t(4) << 30;
};
