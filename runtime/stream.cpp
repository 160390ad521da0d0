// SPDX-License-Identifier: MIT
#include "ostrevan/runtime/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ostrevan/runtime/exception.h"
#include "ostrevan/runtime/format.h"
#include "ostrevan/runtime/sysutils.h"

namespace ostrevan {

int64_t TStream::Size() {
  int64_t position = Seek(0, soCurrent);
  int64_t size = Seek(0, soEnd);
  Seek(position, soBeginning);
  return size;
}

void TStream::SetSize(int64_t) { throw EStreamError("Stream size cannot be changed"); }

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EStreamError("Stream write error");
}

TMemoryStream::~TMemoryStream() { std::free(Memory_); }

void TMemoryStream::Reserve(int64_t capacity) {
  if (capacity <= Capacity_) return;
  int64_t grown = std::max<int64_t>(capacity, Capacity_ + Capacity_ / 2);
  grown = (grown + 4095) & ~int64_t{4095};
  auto* memory = static_cast<uint8_t*>(std::realloc(Memory_, static_cast<size_t>(grown)));
  if (memory == nullptr) throw std::bad_alloc();
  Memory_ = memory;
  Capacity_ = grown;
}

void TMemoryStream::SetBlockSize(int64_t value) {
  if (value < 0) value = 0;
  Reserve(value);
  Size_ = value;
  if (Position_ > Size_) Position_ = Size_;
}

void TMemoryStream::SetSize(int64_t value) { SetBlockSize(value); }

void TMemoryStream::Clear() {
  // Keep a modest block for reuse; give back a large one.
  constexpr int64_t kKeepCapacity = 1 << 20;
  if (Capacity_ > kKeepCapacity) {
    std::free(Memory_);
    Memory_ = nullptr;
    Capacity_ = 0;
  }
  Size_ = 0;
  Position_ = 0;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  int64_t available = Size_ - Position_;
  int64_t n = std::clamp<int64_t>(count, 0, std::max<int64_t>(available, 0));
  if (n > 0) {
    std::memcpy(buffer, Memory_ + Position_, static_cast<size_t>(n));
    Position_ += n;
  }
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  int64_t end = Position_ + count;
  if (end > Size_) {
    Reserve(end);
    Size_ = end;
  }
  std::memcpy(Memory_ + Position_, buffer, static_cast<size_t>(count));
  Position_ = end;
  return count;
}

int64_t TMemoryStream::SeekBlock(int64_t offset, TSeekOrigin origin) {
  switch (origin) {
    case soBeginning: Position_ = offset; break;
    case soCurrent: Position_ += offset; break;
    case soEnd: Position_ = Size_ + offset; break;
  }
  if (Position_ < 0) Position_ = 0;
  return Position_;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) { return SeekBlock(offset, origin); }

TFileStream::TFileStream(const std::string& fileName, uint32_t mode) : FileName_(fileName) {
  int flags = O_CLOEXEC;
  if (mode == fmCreate || (mode & 0xFF00) == fmCreate) {
    flags |= O_RDWR | O_CREAT | O_TRUNC;
  } else {
    switch (mode & 0x3) {
      case fmOpenWrite: flags |= O_WRONLY; break;
      case fmOpenReadWrite: flags |= O_RDWR; break;
      default: flags |= O_RDONLY; break;
    }
  }
  Handle_ = ::open(fileName.c_str(), flags, 0644);
  if (Handle_ < 0) {
    int error = errno;
    throw EFOpenError(Format("Cannot open file \"%s\". %s", fileName.c_str(), SysErrorMessage(error).c_str()));
  }
}

TFileStream::~TFileStream() {
  if (Handle_ >= 0) ::close(Handle_);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  ssize_t n;
  do {
    n = ::read(Handle_, buffer, static_cast<size_t>(count));
  } while (n < 0 && errno == EINTR);
  return n < 0 ? 0 : n;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  ssize_t n;
  do {
    n = ::write(Handle_, buffer, static_cast<size_t>(count));
  } while (n < 0 && errno == EINTR);
  return n < 0 ? 0 : n;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
  off_t result = ::lseek(Handle_, offset, whence);
  return result < 0 ? -1 : result;
}

int64_t TFileStream::Size() {
  struct stat info {};
  if (::fstat(Handle_, &info) != 0) return -1;
  return info.st_size;
}

void TFileStream::SetSize(int64_t value) {
  if (::ftruncate(Handle_, value) != 0) throw EStreamError("Stream size cannot be changed");
}

bool FileExists(const std::string& fileName) {
  struct stat info {};
  return ::stat(fileName.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace ostrevan
