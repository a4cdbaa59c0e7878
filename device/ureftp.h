// The resilient FTP session (placeholder until the FTP client lands).
#pragma once

class TReFtp {
 public:
  TReFtp() = default;
  TReFtp(const TReFtp&) = delete;
  TReFtp& operator=(const TReFtp&) = delete;
};
