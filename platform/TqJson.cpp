#include "platform/TqJson.h"

#include <limits>
#include <stdexcept>
#include <utility>

#include "internal/text/SecureJson.h"

struct TqJsonValueImpl {
  SecureJson value;
};

namespace {

std::unique_ptr<TqJsonValueImpl> Wrap(SecureJson&& value) {
  if (value.is_null()) {
    return nullptr;
  }
  auto impl = std::make_unique<TqJsonValueImpl>();
  impl->value = std::move(value);
  return impl;
}

[[noreturn]] void WrongType(const char* wanted) {
  throw std::runtime_error(std::string("value is not ") + wanted);
}

}  // namespace

TqJsonValue::TqJsonValue() noexcept = default;

TqJsonValue::TqJsonValue(std::unique_ptr<TqJsonValueImpl> impl) noexcept
    : m_impl(std::move(impl)) {}

TqJsonValue::TqJsonValue(const TqJsonValue& other)
    : m_impl(other.m_impl ? std::make_unique<TqJsonValueImpl>(*other.m_impl)
                          : nullptr) {}

TqJsonValue& TqJsonValue::operator=(const TqJsonValue& other) {
  if (this != &other) {
    TqJsonValue copy(other);
    m_impl = std::move(copy.m_impl);
  }
  return *this;
}

TqJsonValue::TqJsonValue(TqJsonValue&& other) noexcept = default;
TqJsonValue& TqJsonValue::operator=(TqJsonValue&& other) noexcept = default;
TqJsonValue::~TqJsonValue() = default;

int TqJsonValue::type() const noexcept {
  if (!m_impl) {
    return null_type;
  }
  switch (m_impl->value.type()) {
    case nlohmann::json::value_t::object:
      return obj_type;
    case nlohmann::json::value_t::array:
      return array_type;
    case nlohmann::json::value_t::string:
      return str_type;
    case nlohmann::json::value_t::boolean:
      return bool_type;
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
      return int_type;
    case nlohmann::json::value_t::number_float:
      return real_type;
    default:
      return null_type;
  }
}

long long TqJsonValue::get_int64() const {
  if (type() != int_type) {
    WrongType("an integer");
  }
  const SecureJson& v = m_impl->value;
  if (v.is_number_unsigned()) {
    const auto u = v.get<unsigned long long>();
    if (u > static_cast<unsigned long long>(
                std::numeric_limits<long long>::max())) {
      WrongType("a 64-bit integer");
    }
    return static_cast<long long>(u);
  }
  return v.get<long long>();
}

int TqJsonValue::get_int() const {
  const long long v = get_int64();
  if (v < std::numeric_limits<int>::min() ||
      v > std::numeric_limits<int>::max()) {
    WrongType("an int");
  }
  return static_cast<int>(v);
}

double TqJsonValue::get_real() const {
  if (type() != real_type && type() != int_type) {
    WrongType("a number");
  }
  return m_impl->value.get<double>();
}

bool TqJsonValue::get_bool() const {
  if (type() != bool_type) {
    WrongType("a boolean");
  }
  return m_impl->value.get<bool>();
}

std::string TqJsonValue::get_str() const {
  if (type() != str_type) {
    WrongType("a text");
  }
  const auto& s = m_impl->value.get_ref<const SecureJsonString&>();
  return std::string(s.data(), s.size());
}

TqJsonMap TqJsonValue::get_obj() const {
  if (type() != obj_type) {
    WrongType("an object");
  }
  TqJsonMap members;
  for (const auto& [name, value] :
       m_impl->value.get_ref<const SecureJson::object_t&>()) {
    members[std::string(name.data(), name.size())] =
        TqJsonValue(Wrap(SecureJson(value)));
  }
  return members;
}

std::vector<TqJsonValue> TqJsonValue::get_array() const {
  if (type() != array_type) {
    WrongType("an array");
  }
  std::vector<TqJsonValue> items;
  items.reserve(m_impl->value.size());
  for (const SecureJson& value : m_impl->value) {
    items.push_back(TqJsonValue(Wrap(SecureJson(value))));
  }
  return items;
}

bool TqJson::Unserialize(const std::string& text, TqJsonMap& members) {
  try {
    SecureJson parsed;
    if (!ParseJsonBounded(text.data(), text.size(), kMaxDepth, parsed) ||
        !parsed.is_object()) {
      return false;
    }
    TqJsonMap result;
    for (auto& [name, value] : parsed.get_ref<SecureJson::object_t&>()) {
      result[std::string(name.data(), name.size())] =
          TqJsonValue(Wrap(std::move(value)));
    }
    members.swap(result);
    return true;
  } catch (...) {
    // Allocation failure: the caller asked for no exceptions.
    return false;
  }
}

bool TqJson::FindValue(const TqJsonMap& members, const std::string& name,
                       TqJsonValue& out) {
  const auto it = members.find(name);
  if (it == members.end()) {
    return false;
  }
  out = it->second;
  return true;
}

std::string TqJson::GetStringValue(const TqJsonMap& members,
                                   const std::string& name) {
  const auto it = members.find(name);
  if (it == members.end() || it->second.type() != TqJsonValue::str_type) {
    return std::string();
  }
  return it->second.get_str();
}
