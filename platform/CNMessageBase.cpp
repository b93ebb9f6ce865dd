#include "platform/CNMessageBase.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

#include "internal/text/SecureJson.h"
#include "platform/SecureMemory.h"
#include "platform/internal/MessageRegistry.h"

namespace {

// JSON levels per record: the record object and its "fields" object.
constexpr unsigned int kMaxJsonDepth = 2 * CNMessageBase::kMaxRecordDepth;

std::unique_ptr<CNMessageBase> NewRecord(int type, int id) {
  const CNMessageClass* cls = FindMessageClass(type, id);
  return std::unique_ptr<CNMessageBase>(
      cls != nullptr ? cls->create() : new CNMessageBase(type, id));
}

const CNDeclaredField* DeclaredField(int type, int id, short number) {
  const CNMessageClass* cls = FindMessageClass(type, id);
  if (cls == nullptr) {
    return nullptr;
  }
  for (size_t i = 0; i < cls->fieldCount; ++i) {
    if (cls->fields[i].number == number) {
      return &cls->fields[i];
    }
  }
  return nullptr;
}

// The field number a key names, only for its canonical spelling ("3", "-2";
// not "03", "+3", " 3" or "3.0"), so a text maps to one message only.
bool ParseFieldKey(const SecureJsonString& key, short& out) {
  if (key.empty() || key.size() > 6) {
    return false;
  }
  short value = 0;
  const char* first = key.data();
  const char* last = first + key.size();
  const std::from_chars_result r = std::from_chars(first, last, value);
  if (r.ec != std::errc() || r.ptr != last) {
    return false;
  }
  char canonical[8];
  const std::to_chars_result w =
      std::to_chars(canonical, canonical + sizeof canonical, value);
  if (static_cast<size_t>(w.ptr - canonical) != key.size() ||
      std::memcmp(canonical, first, key.size()) != 0) {
    return false;
  }
  out = value;
  return true;
}

bool ReadInt64(const SecureJson& v, long long& out) {
  if (v.is_number_integer() && !v.is_number_unsigned()) {
    out = v.get<long long>();
    return true;
  }
  if (v.is_number_unsigned()) {
    const auto u = v.get<unsigned long long>();
    if (u > static_cast<unsigned long long>(
                std::numeric_limits<long long>::max())) {
      return false;
    }
    out = static_cast<long long>(u);
    return true;
  }
  return false;
}

bool ReadInt(const SecureJson& v, int& out) {
  long long wide = 0;
  if (!ReadInt64(v, wide) || wide < std::numeric_limits<int>::min() ||
      wide > std::numeric_limits<int>::max()) {
    return false;
  }
  out = static_cast<int>(wide);
  return true;
}

// The kind of a record object: exactly the members "type", "id", "fields".
bool ReadHeader(const SecureJson& j, int& type, int& id,
                const SecureJson*& fields) {
  if (!j.is_object() || j.size() != 3) {
    return false;
  }
  const auto t = j.find("type");
  const auto i = j.find("id");
  const auto f = j.find("fields");
  if (t == j.end() || i == j.end() || f == j.end() || !f->is_object()) {
    return false;
  }
  if (!ReadInt(*t, type) || !ReadInt(*i, id)) {
    return false;
  }
  fields = &*f;
  return true;
}

}  // namespace

// Conversion between messages and their JSON form; a friend of the class so
// that it can build field tables directly.
struct CNMessageCodec {
  using Field = CNMessageBase::Field;
  using FieldMap = CNMessageBase::FieldMap;

  // Reads the "fields" object of a record of kind (type, id) into out.
  static bool ReadFields(const SecureJson& fields, int type, int id, int depth,
                         FieldMap& out) {
    for (const auto& member : fields.items()) {
      short number = 0;
      if (!ParseFieldKey(member.key(), number)) {
        return false;
      }
      const SecureJson& v = member.value();
      const CNDeclaredField* declared = DeclaredField(type, id, number);
      Field& field = out[number];
      if (v.is_string()) {
        if (declared != nullptr && declared->kind != CNFieldKind::kText) {
          return false;
        }
        field.kind = Field::Kind::kText;
        const auto& s = v.get_ref<const SecureJsonString&>();
        field.text.assign(s.data(), s.size());
      } else if (v.is_number_integer()) {
        if (declared != nullptr && declared->kind != CNFieldKind::kInteger) {
          return false;
        }
        field.kind = Field::Kind::kInteger;
        if (!ReadInt64(v, field.integer)) {
          return false;
        }
      } else if (v.is_object()) {
        if (depth >= CNMessageBase::kMaxRecordDepth) {
          return false;
        }
        int subType = 0;
        int subId = 0;
        const SecureJson* subFields = nullptr;
        if (!ReadHeader(v, subType, subId, subFields)) {
          return false;
        }
        if (declared != nullptr &&
            (declared->kind != CNFieldKind::kRecord ||
             declared->subType != subType || declared->subId != subId)) {
          return false;
        }
        std::unique_ptr<CNMessageBase> record = NewRecord(subType, subId);
        if (!ReadFields(*subFields, subType, subId, depth + 1,
                        record->m_fields)) {
          return false;
        }
        field.kind = Field::Kind::kRecord;
        field.record = record.release();
      } else {
        // Reals, booleans, null and arrays have no field kind.
        return false;
      }
    }
    return true;
  }

  static SecureJson Write(const CNMessageBase& message) {
    SecureJson fields = SecureJson::object();
    char key[8];
    for (const auto& [number, field] : message.m_fields) {
      const std::to_chars_result w =
          std::to_chars(key, key + sizeof key, number);
      const SecureJsonString name(key, w.ptr);
      switch (field.kind) {
        case Field::Kind::kInteger:
          fields[name] = field.integer;
          break;
        case Field::Kind::kText:
          fields[name] = SecureJsonString(field.text.data(), field.text.size());
          break;
        case Field::Kind::kRecord:
          if (field.record != nullptr) {
            fields[name] = Write(*field.record);
          }
          break;
      }
    }
    SecureJson out = SecureJson::object();
    out["type"] = message.m_type;
    out["id"] = message.m_id;
    out["fields"] = std::move(fields);
    return out;
  }
};

CNMessageBase::Field::~Field() { Clear(); }

void CNMessageBase::Field::Clear() noexcept {
  WipeString(text);
  delete record;
  record = nullptr;
  integer = 0;
}

CNMessageBase::CNMessageBase(int type, int id) : m_type(type), m_id(id) {}

CNMessageBase::CNMessageBase(const CNMessageBase& other)
    : m_type(other.m_type), m_id(other.m_id) {
  CopyFields(other.m_fields, m_fields);
}

CNMessageBase& CNMessageBase::operator=(const CNMessageBase& other) {
  if (this != &other) {
    // Copy first: other may be one of our own records.
    FieldMap copy;
    CopyFields(other.m_fields, copy);
    m_type = other.m_type;
    m_id = other.m_id;
    m_fields.swap(copy);
  }
  return *this;
}

CNMessageBase::~CNMessageBase() = default;

void CNMessageBase::CopyFields(const FieldMap& from, FieldMap& to) {
  for (const auto& [number, source] : from) {
    Field& field = to[number];
    field.kind = source.kind;
    field.integer = source.integer;
    field.text = source.text;
    if (source.record != nullptr) {
      std::unique_ptr<CNMessageBase> record =
          NewRecord(source.record->m_type, source.record->m_id);
      CopyFields(source.record->m_fields, record->m_fields);
      field.record = record.release();
    }
  }
}

CNMessageBase::Field& CNMessageBase::Slot(short field) {
  Field& slot = m_fields[field];
  slot.Clear();
  return slot;
}

long long CNMessageBase::getint64(short field, unsigned long /*classCode*/,
                                  unsigned int /*fieldCode*/) const {
  const auto it = m_fields.find(field);
  return it != m_fields.end() && it->second.kind == Field::Kind::kInteger
             ? it->second.integer
             : 0;
}

std::string CNMessageBase::getstring(short field, short /*slot*/,
                                     unsigned long /*classCode*/,
                                     unsigned int /*fieldCode*/) const {
  const auto it = m_fields.find(field);
  return it != m_fields.end() && it->second.kind == Field::Kind::kText
             ? it->second.text
             : std::string();
}

void CNMessageBase::setstring(short field, short /*slot*/,
                              const std::string& value,
                              unsigned long /*classCode*/,
                              unsigned int /*fieldCode*/) {
  // value may be this very field's text: copy it before the field is wiped.
  std::string copy = value;
  Field& slot = Slot(field);
  slot.kind = Field::Kind::kText;
  slot.text.swap(copy);
}

void CNMessageBase::setint64(short field, long long value,
                             unsigned long /*classCode*/,
                             unsigned int /*fieldCode*/) {
  Field& slot = Slot(field);
  slot.kind = Field::Kind::kInteger;
  slot.integer = value;
}

CNMessageBase*& CNMessageBase::getObjectAccessor(bool create, bool /*reserved*/,
                                                 short field, short /*slot*/,
                                                 unsigned long /*classCode*/,
                                                 unsigned int /*fieldCode*/,
                                                 int subType, int subId) {
  Field* slot = nullptr;
  const auto it = m_fields.find(field);
  if (it != m_fields.end() && it->second.kind == Field::Kind::kRecord) {
    slot = &it->second;
  } else {
    slot = &Slot(field);
    slot->kind = Field::Kind::kRecord;
  }
  if (create && slot->record == nullptr) {
    slot->record = NewRecord(subType, subId).release();
  }
  return slot->record;
}

const CNMessageBase* CNMessageBase::getObject(
    short field, unsigned long /*classCode*/,
    unsigned int /*fieldCode*/) const noexcept {
  const auto it = m_fields.find(field);
  return it != m_fields.end() && it->second.kind == Field::Kind::kRecord
             ? it->second.record
             : nullptr;
}

int CNMessageBase::unserialize(const char* text) {
  if (text == nullptr) {
    return kUnserializeMalformed;
  }
  SecureJson parsed;
  if (!ParseJsonBounded(text, std::strlen(text), kMaxJsonDepth, parsed)) {
    return kUnserializeMalformed;
  }
  int type = 0;
  int id = 0;
  const SecureJson* fields = nullptr;
  if (!ReadHeader(parsed, type, id, fields)) {
    return kUnserializeBadShape;
  }
  if (type != m_type || id != m_id) {
    return kUnserializeWrongMessage;
  }
  FieldMap replacement;
  if (!CNMessageCodec::ReadFields(*fields, type, id, 1, replacement)) {
    return kUnserializeBadShape;
  }
  m_fields.swap(replacement);
  return kUnserializeOk;
}

std::string CNMessageBase::serialize() const {
  SecureJsonString text;
  try {
    text = CNMessageCodec::Write(*this).dump();
  } catch (const SecureJson::type_error&) {
    // JSON texts are UTF-8; replacing bytes would corrupt the field silently.
    throw std::invalid_argument("CNMessageBase: a text field is not UTF-8");
  }
  return std::string(text.data(), text.size());
}
