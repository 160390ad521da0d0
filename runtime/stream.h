// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

#include "ostrevan/export.h"
#include "ostrevan/runtime/object.h"

namespace ostrevan {

/// Where a Seek offset counts from.
enum TSeekOrigin { soBeginning, soCurrent, soEnd };

/// A sequence of bytes with a position.
class OSTREVAN_EXPORT TStream : public TObject {
 public:
  ///@{
  /// Read and Write return how many bytes they moved (0 at the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  ///@}
  /// Moves the position; returns the new position.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  ///@{
  /// The number of bytes; setting it cuts or extends the stream.
  virtual int64_t Size();
  virtual void SetSize(int64_t value);
  ///@}

  ///@{
  /// The current position, from the start.
  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t value) { Seek(value, soBeginning); }
  ///@}
  ///@{
  /// As Read and Write, but a short transfer raises EStreamError.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  ///@}
};

/// One contiguous, growable block of bytes in memory.
class OSTREVAN_EXPORT TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  ~TMemoryStream() override;
  TMemoryStream(const TMemoryStream&) = delete;
  TMemoryStream& operator=(const TMemoryStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return Size_; }
  void SetSize(int64_t value) override;
  /// Start of the bytes; valid until the next change of size.
  virtual uint8_t* Memory() { return Memory_; }
  /// Size 0, position 0.
  virtual void Clear();

 protected:
  /// The whole block, whatever view a derived class gives of it.
  uint8_t* Block() const { return Memory_; }
  /// The block's size, whatever view a derived class gives.
  int64_t BlockSize() const { return Size_; }
  /// The block's position, whatever view a derived class gives.
  int64_t BlockPosition() const { return Position_; }
  /// Resizes the whole block.
  void SetBlockSize(int64_t value);
  /// Moves the position within the whole block; returns the new position.
  int64_t SeekBlock(int64_t offset, TSeekOrigin origin);

 private:
  void Reserve(int64_t capacity);

  uint8_t* Memory_ = nullptr;
  int64_t Size_ = 0;
  int64_t Capacity_ = 0;
  int64_t Position_ = 0;
};

/// File open modes (combinable with the share mode).
enum : uint32_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareDenyWrite = 0x0020,
  fmCreate = 0xFF00,
};

/// A file opened for reading or writing. Opening fails with EFOpenError.
class OSTREVAN_EXPORT TFileStream : public TStream {
 public:
  /// Opens fileName with mode: fmCreate, or fmOpenRead, fmOpenWrite or fmOpenReadWrite.
  TFileStream(const std::string& fileName, uint32_t mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override;
  void SetSize(int64_t value) override;
  /// The name the file was opened by.
  const std::string& FileName() const { return FileName_; }

 private:
  std::string FileName_;
  int Handle_ = -1;
};

/// True when fileName names an existing regular file.
OSTREVAN_EXPORT bool FileExists(const std::string& fileName);

}  // namespace ostrevan
