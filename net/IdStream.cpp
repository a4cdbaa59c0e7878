#include "net/IdStream.h"

#include <cstring>

void TIdMemoryStream::Write(const void* data, std::size_t count) {
  if (count == 0) return;
  const std::size_t position = static_cast<std::size_t>(position_);
  if (position + count > bytes_.size()) bytes_.resize(position + count);
  std::memcpy(&bytes_[position], data, count);
  position_ += static_cast<std::int64_t>(count);
}

void TIdMemoryStream::SetSize(std::int64_t size) {
  bytes_.resize(static_cast<std::size_t>(size < 0 ? 0 : size));
  if (position_ > Size()) position_ = Size();
}

void TIdMemoryStream::SetPosition(std::int64_t position) {
  position_ = position < 0 ? 0 : (position > Size() ? Size() : position);
}
