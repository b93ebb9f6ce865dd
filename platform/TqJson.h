#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/TQExport.h"

class TqJsonValue;
using TqJsonMap = std::map<std::string, TqJsonValue>;
struct TqJsonValueImpl;

// TqJsonValue: one JSON value, typed as json_spirit numbers its types. Texts
// in it (an access token, say) are wiped when the value is destroyed; the
// copies the accessors return are the caller's to wipe.
// Tests: tests/platform/TqJson_test.cpp
class TQ_EXPORT TqJsonValue {
 public:
  enum Type {
    obj_type = 0,
    array_type = 1,
    str_type = 2,
    bool_type = 3,
    int_type = 4,  // any integer, also beyond int or 64-bit signed range
    real_type = 5,
    null_type = 6,
  };

  TqJsonValue() noexcept;  // null
  TqJsonValue(const TqJsonValue& other);
  TqJsonValue& operator=(const TqJsonValue& other);
  TqJsonValue(TqJsonValue&& other) noexcept;
  TqJsonValue& operator=(TqJsonValue&& other) noexcept;
  ~TqJsonValue();

  // type: one of Type.
  int type() const noexcept;
  bool is_null() const noexcept { return type() == null_type; }

  // The accessors throw std::runtime_error when the value is not of their
  // kind: get_int unless an integer within int range, get_int64 unless an
  // integer within 64-bit signed range, get_real unless a number (integers
  // convert), get_bool unless a boolean, get_str unless a text, get_obj
  // unless an object, get_array unless an array.
  int get_int() const;
  long long get_int64() const;
  double get_real() const;
  bool get_bool() const;
  std::string get_str() const;
  TqJsonMap get_obj() const;
  std::vector<TqJsonValue> get_array() const;

 private:
  friend class TqJson;
  explicit TqJsonValue(std::unique_ptr<TqJsonValueImpl> impl) noexcept;

  std::unique_ptr<TqJsonValueImpl> m_impl;  // null for a null value
};

// TqJson: the JSON wrapper through which token replies are read.
// Tests: tests/platform/TqJson_test.cpp
class TQ_EXPORT TqJson {
 public:
  // Arrays and objects nest at most this deep (the text's object is 1).
  static constexpr unsigned int kMaxDepth = 64;

  // Unserialize: true when text is one JSON object (white space around it
  // allowed), with its members replacing the content of members (a name
  // given twice keeps its last value). False, with members untouched, for
  // anything else: malformed JSON, trailing content, another kind of value,
  // nesting beyond kMaxDepth. Never throws.
  static bool Unserialize(const std::string& text, TqJsonMap& members);

  // FindValue: true with a copy of the member's value in out; false with
  // out untouched when there is no member of that name.
  static bool FindValue(const TqJsonMap& members, const std::string& name,
                        TqJsonValue& out);

  // GetStringValue: the member's text; "" when it is absent or not a text.
  static std::string GetStringValue(const TqJsonMap& members,
                                    const std::string& name);
};
