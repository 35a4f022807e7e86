// Internal to the message library: the storage of one field and the helpers
// that the field code and the XML code share.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "hostlib/msg/CNMessageBase.h"

struct CNMessageBase::Field {
  int number = 0;
  uint32_t key = 0;
  // The index order matches CNFieldType (string, int64, sub-object, list).
  std::variant<std::string, int64_t, std::unique_ptr<CNMessageBase>, std::vector<std::string>> value;
};

namespace CNMessageFields {
// An empty message of (group, number) of its registered C++ class, or a plain
// CNMessageBase when the class is not registered.
std::unique_ptr<CNMessageBase> NewObject(int group, int number);
// Deep copy; sub-objects are cloned as their registered C++ class.
std::unique_ptr<CNMessageBase::Field> CopyField(const CNMessageBase::Field& field);
}  // namespace CNMessageFields
