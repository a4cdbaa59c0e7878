#include "net/IdBuffer.h"

#include <algorithm>
#include <cstring>

#include "net/IdException.h"

namespace {
const char* const kNotEnoughData = "Not enough data in buffer.";
}

void TIdSimpleBuffer::MoveToFront() {
  if (consumed_ == 0) return;
  const std::size_t size = Size();
  if (size > 0) std::memmove(memory_.get(), memory_.get() + consumed_, size);
  consumed_ = 0;
  end_ = size;
}

char* TIdSimpleBuffer::ReserveTail(std::size_t count) {
  if (capacity_ - end_ >= count) return memory_.get() + end_;
  // Reuse the consumed front before growing.
  MoveToFront();
  if (capacity_ - end_ < count) {
    const std::size_t wanted = std::max(end_ + count, capacity_ * 2);
    auto grown = std::make_unique<char[]>(wanted);
    if (end_ > 0) std::memcpy(grown.get(), memory_.get(), end_);
    memory_ = std::move(grown);
    capacity_ = wanted;
  }
  return memory_.get() + end_;
}

void TIdSimpleBuffer::CommitTail(std::size_t count) {
  end_ += std::min(count, capacity_ - end_);
}

void TIdSimpleBuffer::Append(const void* data, std::size_t count) {
  if (count == 0) return;
  std::memcpy(ReserveTail(count), data, count);
  end_ += count;
}

std::string TIdSimpleBuffer::ExtractText(std::size_t count) {
  if (count > Size()) throw EIdNotEnoughDataInBuffer(kNotEnoughData);
  std::string text(Data(), count);
  Remove(count);
  return text;
}

void TIdSimpleBuffer::Remove(std::size_t count) {
  if (count > Size()) throw EIdNotEnoughDataInBuffer(kNotEnoughData);
  consumed_ += count;
  MoveToFront();
}

void TIdSimpleBuffer::Clear() {
  consumed_ = 0;
  end_ = 0;
}

void TIdSimpleBuffer::Truncate(std::size_t count) {
  if (count < Size()) end_ = consumed_ + count;
}

std::size_t TIdSimpleBuffer::Find(char byte, std::size_t from) const {
  const std::size_t size = Size();
  if (from >= size) return npos;
  const void* hit = std::memchr(Data() + from, byte, size - from);
  return hit == nullptr ? npos : static_cast<const char*>(hit) - Data();
}

void TIdManagedBuffer::Remove(std::size_t count) {
  if (count > Size()) throw EIdNotEnoughDataInBuffer(kNotEnoughData);
  if (count == Size()) {
    Clear();
    return;
  }
  consumed_ += count;
  if (consumed_ >= CompactThreshold) MoveToFront();
}

void TIdManagedBuffer::Clear() {
  TIdSimpleBuffer::Clear();
}
