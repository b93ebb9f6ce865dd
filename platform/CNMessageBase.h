#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "platform/TQExport.h"

// CNMessageBase: a message of the message library. A message has a kind
// (type, id) and fields addressed by field number; a field holds a 64-bit
// integer, a text or an embedded message (a "record"). Slots, class codes
// and field codes are the caller's bookkeeping: they are accepted and never
// checked. Text fields may hold credential material (certificates, keys), so
// their storage is wiped when a field is replaced or the message destroyed.
//
// The serialized form is a JSON object:
//   {"type":30,"id":2011,"fields":{"3":{"type":30,"id":2183,"fields":{...}}}}
// with field numbers as canonical decimal keys, integers as JSON integers,
// texts as JSON strings and records as nested objects of the same shape.
// Tests: tests/platform/CNMessageBase_test.cpp
class TQ_EXPORT CNMessageBase {
 public:
  // Results of unserialize.
  enum : int {
    kUnserializeOk = 0,
    kUnserializeMalformed = 1,     // null text or not JSON
    kUnserializeBadShape = 2,      // JSON, but not a message of this form
    kUnserializeWrongMessage = 3,  // a message of another (type, id)
  };

  // Records nest at most this deep (the outermost message is level 1).
  static constexpr int kMaxRecordDepth = 16;

  // An empty message of kind (type, id).
  CNMessageBase(int type, int id);
  // A deep copy: kind and every field, embedded records included.
  CNMessageBase(const CNMessageBase& other);
  // operator=: replaces kind and every field with deep copies of other's.
  // Pointers obtained from getObjectAccessor before are invalid afterwards.
  CNMessageBase& operator=(const CNMessageBase& other);
  virtual ~CNMessageBase();

  int getType() const noexcept { return m_type; }
  int getId() const noexcept { return m_id; }

  // getint64: the integer in field `field`; 0 when the field is absent or
  // holds a text or a record.
  long long getint64(short field, unsigned long classCode,
                     unsigned int fieldCode) const;

  // getstring: a copy of the text in field `field`; "" when the field is
  // absent or holds an integer or a record.
  std::string getstring(short field, short slot, unsigned long classCode,
                        unsigned int fieldCode) const;

  // setstring / setint64: field `field` holds value afterwards, whatever it
  // held before (a record held there is destroyed).
  void setstring(short field, short slot, const std::string& value,
                 unsigned long classCode, unsigned int fieldCode);
  void setint64(short field, long long value, unsigned long classCode,
                unsigned int fieldCode);

  // getObjectAccessor: a reference to this message's pointer to the record
  // in field `field`, valid until the field is replaced (setstring,
  // setint64, operator=, unserialize) or the message destroyed.
  // - A field that holds no record (absent, or an integer or text, which is
  //   then dropped) is made a record field whose pointer is null.
  // - With create true a null pointer is replaced by a new empty record of
  //   the class registered for (subType, subId) (CNMessageBase itself for
  //   an unregistered kind), so the result is then never null and may be
  //   static_cast to that class. An existing record is returned as it is.
  // The message owns the record the pointer designates: a caller that
  // stores another pointer through the reference hands that record over and
  // must delete the one it replaced. `reserved` is ignored.
  CNMessageBase*& getObjectAccessor(bool create, bool reserved, short field,
                                    short slot, unsigned long classCode,
                                    unsigned int fieldCode, int subType,
                                    int subId);

  // getObject: the record in field `field`, or null when it holds none (it
  // is absent, or holds an integer or a text); for readers, which change
  // nothing.
  const CNMessageBase* getObject(short field, unsigned long classCode,
                                 unsigned int fieldCode) const noexcept;

  // unserialize: replaces every field with those of the serialized message
  // `text` (the form serialize writes) and returns kUnserializeOk. On any
  // other result the message is unchanged:
  // - kUnserializeMalformed: null, or not one JSON value;
  // - kUnserializeBadShape: not an object of exactly "type", "id" and
  //   "fields"; "type"/"id" not integers of int range; a field key that is
  //   not the canonical decimal of a short; a value that is not an integer
  //   of 64-bit range, a string or a record of the same shape; records
  //   nested deeper than kMaxRecordDepth; a field whose kind differs from
  //   the one the registered class declares for it (for a record: another
  //   (type, id));
  // - kUnserializeWrongMessage: a message of another (type, id).
  int unserialize(const char* text);

  // serialize: the text unserialize reads back into an equal message. Null
  // record pointers are left out. Texts must be UTF-8 (NUL bytes allowed):
  // std::invalid_argument is thrown for one that is not, since JSON cannot
  // carry it.
  std::string serialize() const;

 private:
  struct Field {
    enum class Kind { kInteger, kText, kRecord };
    Field() noexcept = default;
    ~Field();
    Field(const Field&) = delete;
    Field& operator=(const Field&) = delete;
    void Clear() noexcept;

    Kind kind = Kind::kInteger;
    long long integer = 0;
    std::string text;
    CNMessageBase* record = nullptr;  // owned
  };
  using FieldMap = std::map<short, Field>;
  friend struct CNMessageCodec;

  static void CopyFields(const FieldMap& from, FieldMap& to);
  Field& Slot(short field);

  int m_type;
  int m_id;
  FieldMap m_fields;
};
