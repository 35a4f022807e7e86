// Message classes of the message library's own tests (group 900), so that
// its tests do not lean on the service's catalogue.
#pragma once

#include "hostlib/msg/CNMessageBase.h"

namespace MsgTest {

constexpr int kGroup = 900;
constexpr uint32_t kParentTag = 0x38400001u;
constexpr uint32_t kChildTag = 0x38400002u;
constexpr uint32_t kBareTag = 0x38400003u;

class Parent : public CNMessageBase {
 public:
  Parent();
};

class Child : public CNMessageBase {
 public:
  Child();
};

// Registers Parent (900/1), Child (900/2) and a class without a factory,
// "Bare" (900/3); safe to call from every test.
inline void Register() {
  static const bool done = [] {
    CNMessageRegistry::Register(kGroup, 1, kParentTag, "MsgTestParent",
                                [] { return static_cast<CNMessageBase*>(new Parent()); });
    CNMessageRegistry::Register(kGroup, 2, kChildTag, "MsgTestChild",
                                [] { return static_cast<CNMessageBase*>(new Child()); });
    CNMessageRegistry::Register(kGroup, 3, kBareTag, "MsgTestBare", nullptr);
    return true;
  }();
  (void)done;
}

inline Parent::Parent() : CNMessageBase(kGroup, (Register(), 1)) {}
inline Child::Child() : CNMessageBase(kGroup, (Register(), 2)) {}

}  // namespace MsgTest
