#pragma once

// The fields of an application/x-www-form-urlencoded body, as the local
// token endpoint reads a token request.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tqidp {

// Form fields in the order sent; the values (a secret, an assertion) are
// wiped when the fields go.
struct FormFields {
  std::vector<std::pair<std::string, std::string>> items;

  FormFields() = default;
  FormFields(const FormFields&) = delete;
  FormFields& operator=(const FormFields&) = delete;
  ~FormFields();
  // Find: the value of the first field called name, or null.
  const std::string* Find(std::string_view name) const;
};

// ParseForm: true and every "name=value" part of body in out ("+" is a
// space, "%XY" a byte, empty parts skipped). false when a "%" is not
// followed by two hex digits; out then holds the parts before it.
bool ParseForm(std::string_view body, FormFields& out);

// IsFormContentType: true when a Content-Type value names
// application/x-www-form-urlencoded (any case, parameters allowed).
bool IsFormContentType(const std::string& value);

}  // namespace tqidp
