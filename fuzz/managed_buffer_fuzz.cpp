// SPDX-License-Identifier: MIT
// The connection's input buffer against a plain string as the model: any
// sequence of appends, takes, discards, seeks and compactions leaves both
// with the same unread bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ostrevan/conn/errors.h"
#include "ostrevan/conn/managed_buffer.h"

using namespace ostrevan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TIdManagedBuffer buffer;
  buffer.SetCompactThreshold(64);  // small, so that compaction happens often
  std::string model;
  size_t i = 0;
  auto next = [&]() -> uint8_t { return i < size ? data[i++] : 0; };
  while (i < size) {
    uint8_t op = next();
    int32_t count = next();
    switch (op % 5) {
      case 0: {  // append count bytes
        std::string bytes(static_cast<size_t>(count), static_cast<char>(op));
        buffer.Seek(0, soEnd);
        buffer.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
        model += bytes;
        break;
      }
      case 1:  // take
        try {
          std::string taken = buffer.TakeText(count);
          if (taken != model.substr(0, static_cast<size_t>(count))) __builtin_trap();
          model.erase(0, static_cast<size_t>(count));
        } catch (const EIdNotEnoughDataInBuffer&) {
          if (static_cast<size_t>(count) <= model.size()) __builtin_trap();
        }
        break;
      case 2:  // discard
        try {
          buffer.Discard(count);
          model.erase(0, static_cast<size_t>(count));
        } catch (const EIdNotEnoughDataInBuffer&) {
          if (static_cast<size_t>(count) <= model.size()) __builtin_trap();
        }
        break;
      case 3:
        buffer.Compact();
        break;
      case 4:  // a seek from the beginning lands on unread bytes
        if (buffer.Seek(0, soBeginning) != 0) __builtin_trap();
        break;
    }
    if (buffer.Size() != static_cast<int64_t>(model.size())) __builtin_trap();
    if (!model.empty() && std::string(reinterpret_cast<char*>(buffer.Memory()), model.size()) != model) {
      __builtin_trap();
    }
  }
  return 0;
}
