// Destination streams of TIdTCPConnection::ReadToStream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A seekable byte stream written at its position.
class TIdStream {
 public:
  virtual ~TIdStream() = default;
  // Writes count bytes at Position(), growing the stream as needed; advances the position.
  virtual void Write(const void* data, std::size_t count) = 0;
  virtual std::int64_t Position() const = 0;
  virtual std::int64_t Size() const = 0;
  // Grows (new bytes are zero) or cuts the stream; the position is kept (cut to the new size
  // when beyond it).
  virtual void SetSize(std::int64_t size) = 0;
};

// A stream held in memory; Bytes() is the whole content.
class TIdMemoryStream : public TIdStream {
 public:
  void Write(const void* data, std::size_t count) override;
  std::int64_t Position() const override { return position_; }
  std::int64_t Size() const override { return static_cast<std::int64_t>(bytes_.size()); }
  void SetSize(std::int64_t size) override;
  void SetPosition(std::int64_t position);

  const std::string& Bytes() const { return bytes_; }
  std::string& Bytes() { return bytes_; }

 private:
  std::string bytes_;
  std::int64_t position_ = 0;
};
