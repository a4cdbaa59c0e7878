// In-memory byte buffers of a connection.
//
// TIdSimpleBuffer: a growable byte buffer; taking bytes out of its front moves the rest down.
// TIdManagedBuffer: the same contract, but taking bytes out of the front only advances a
// consumed count; the remaining bytes are moved to the start once CompactThreshold (32768)
// consumed bytes have gathered, or the buffer is emptied when all are taken.
//
// Data() points at the first visible (not yet consumed) byte and stays valid until the next
// non-const call. Neither class is thread-safe.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

class TIdSimpleBuffer {
 public:
  TIdSimpleBuffer() = default;
  TIdSimpleBuffer(const TIdSimpleBuffer&) = delete;
  TIdSimpleBuffer& operator=(const TIdSimpleBuffer&) = delete;
  virtual ~TIdSimpleBuffer() = default;

  // Visible bytes.
  std::size_t Size() const { return end_ - consumed_; }
  bool Empty() const { return end_ == consumed_; }
  const char* Data() const { return memory_.get() + consumed_; }
  char* Data() { return memory_.get() + consumed_; }

  // Appends bytes at the visible end.
  void Append(const void* data, std::size_t count);

  // Space for at least `count` bytes after the visible end, for a receive in place; follow
  // with CommitTail(n) for the n bytes actually written (n <= count).
  char* ReserveTail(std::size_t count);
  void CommitTail(std::size_t count);

  // Takes out the first count bytes as text. Raises EIdNotEnoughDataInBuffer "Not enough data
  // in buffer." when fewer are held.
  std::string ExtractText(std::size_t count);

  // Removes the first count bytes. Raises EIdNotEnoughDataInBuffer when fewer are held.
  virtual void Remove(std::size_t count);

  // Empties the buffer (keeps the memory).
  virtual void Clear();

  // Cuts the visible bytes to count (count <= Size()).
  void Truncate(std::size_t count);

  // Position of the first `byte` at or after visible offset `from`, or npos.
  std::size_t Find(char byte, std::size_t from) const;
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

 protected:
  void MoveToFront();

  std::unique_ptr<char[]> memory_;
  std::size_t capacity_ = 0;
  std::size_t consumed_ = 0;  // bytes at the front already taken out (managed buffer only)
  std::size_t end_ = 0;       // end of the written bytes
};

class TIdManagedBuffer : public TIdSimpleBuffer {
 public:
  static constexpr std::size_t CompactThreshold = 32768;

  // Bytes at the front of memory that were taken out but not yet moved away.
  std::size_t ConsumedCount() const { return consumed_; }

  void Remove(std::size_t count) override;
  void Clear() override;
};
