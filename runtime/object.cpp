// SPDX-License-Identifier: MIT
#include "ostrevan/runtime/object.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

#include "ostrevan/runtime/exception.h"
#include "ostrevan/runtime/format.h"

namespace ostrevan {

std::string ClassNameOf(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  std::string name = (status == 0 && demangled) ? demangled.get() : type.name();
  auto colon = name.rfind("::");
  if (colon != std::string::npos) name.erase(0, colon + 2);
  return name;
}

void TPersistent::Assign(const TPersistent* source) {
  if (source != nullptr) {
    source->AssignTo(this);
    return;
  }
  throw EConvertError(Format("Cannot assign a %s to a %s", "nil", ClassName().c_str()));
}

void TPersistent::AssignTo(TPersistent* dest) const {
  throw EConvertError(
      Format("Cannot assign a %s to a %s", ClassName().c_str(), dest->ClassName().c_str()));
}

}  // namespace ostrevan
