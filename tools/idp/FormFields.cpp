#include "tools/idp/FormFields.h"

#include <openssl/crypto.h>

#include "tools/idp/IdpText.h"

namespace tqidp {
namespace {

bool DecodeComponent(std::string_view in, std::string& out) {
  out.clear();
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    const char c = in[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%') {
      const int hi = i + 2 < in.size() ? HexValue(in[i + 1]) : -1;
      const int lo = hi >= 0 ? HexValue(in[i + 2]) : -1;
      if (lo < 0) {
        return false;
      }
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += c;
    }
  }
  return true;
}

}  // namespace

FormFields::~FormFields() {
  for (auto& item : items) {
    OPENSSL_cleanse(item.second.data(), item.second.size());
  }
}

const std::string* FormFields::Find(std::string_view name) const {
  for (const auto& item : items) {
    if (item.first == name) {
      return &item.second;
    }
  }
  return nullptr;
}

bool ParseForm(std::string_view body, FormFields& out) {
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find('&', start);
    if (end == std::string_view::npos) {
      end = body.size();
    }
    const std::string_view part = body.substr(start, end - start);
    if (!part.empty()) {
      const size_t eq = part.find('=');
      std::pair<std::string, std::string> item;
      const bool ok =
          DecodeComponent(part.substr(0, eq), item.first) &&
          DecodeComponent(eq == std::string_view::npos ? std::string_view()
                                                       : part.substr(eq + 1),
                          item.second);
      if (!ok) {
        OPENSSL_cleanse(item.second.data(), item.second.size());
        return false;
      }
      out.items.push_back(std::move(item));
    }
    start = end + 1;
  }
  return true;
}

bool IsFormContentType(const std::string& value) {
  const std::string_view type =
      std::string_view(value).substr(0, value.find(';'));
  constexpr std::string_view kForm = "application/x-www-form-urlencoded";
  if (type.size() < kForm.size()) {
    return false;
  }
  for (size_t i = 0; i < kForm.size(); ++i) {
    char c = type[i];
    c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (c != kForm[i]) {
      return false;
    }
  }
  for (size_t i = kForm.size(); i < type.size(); ++i) {
    if (type[i] != ' ' && type[i] != '\t') {
      return false;
    }
  }
  return true;
}

}  // namespace tqidp
