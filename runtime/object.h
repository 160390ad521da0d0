// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <typeinfo>

#include "ostrevan/export.h"

namespace ostrevan {

/// The class name of a type as the framework shows it in messages: the
/// unqualified C++ name ("TIdSocketHandle"), without the namespace.
OSTREVAN_EXPORT std::string ClassNameOf(const std::type_info& type);

/// Root of every object that has a runtime class name.
class OSTREVAN_EXPORT TObject {
 public:
  virtual ~TObject() = default;
  /// The unqualified name of the object's class (see ClassNameOf).
  std::string ClassName() const { return ClassNameOf(typeid(*this)); }
};

/// An object that can copy its state from another one. Assign asks the source
/// to copy itself into this object; an unsupported pair raises EConvertError
/// with "Cannot assign a <source class> to a <target class>".
class OSTREVAN_EXPORT TPersistent : public TObject {
 public:
  /// Copies the state of source into this object (see the class).
  virtual void Assign(const TPersistent* source);

 protected:
  /// Copies this object into dest; the base raises the conversion error.
  virtual void AssignTo(TPersistent* dest) const;
};

}  // namespace ostrevan
