#pragma once

#include <cstddef>

#include "platform/CNMessageBase.h"

// The registry of the message library (platform/CNMessageBase.h); its table
// is in platform/AppMessages.cpp. Not exported.
// Tests: tests/platform/CNMessageBase_test.cpp

// What the message library knows about a registered record class: how to
// create it and, for the fields it declares, their kinds. unserialize checks
// declared fields; other field numbers may hold any kind.
enum class CNFieldKind { kInteger, kText, kRecord };
// A field a record class declares: its number and the kind it must hold.
struct CNDeclaredField {
  short number;
  CNFieldKind kind;
  int subType;  // for kRecord: the kind of the embedded record
  int subId;
};
struct CNMessageClass {
  int type;
  int id;
  CNMessageBase* (*create)();
  const CNDeclaredField* fields;
  size_t fieldCount;
};

// FindMessageClass: the registered class of kind (type, id), or null. The
// registry is the table of AppMessages.cpp.
const CNMessageClass* FindMessageClass(int type, int id) noexcept;
