#include "tools/idp/FaultRequest.h"

#include <nlohmann/json.hpp>

namespace tqidp {

bool ParseFaultRequest(const std::string& body, std::optional<IdpFault>& out,
                       std::string& why) {
  using json = nlohmann::json;
  const json in = json::parse(body, nullptr, false);
  if (in.is_discarded() || !in.is_object()) {
    why = "the body must be a JSON object";
    return false;
  }
  IdpFault f;
  for (const auto& [name, value] : in.items()) {
    if (name == "delayMs" && value.is_number_integer() && value >= 0 &&
        value <= 600000) {
      f.delayMs = value.get<int>();
    } else if (name == "closeConnection" && value.is_boolean()) {
      f.closeConnection = value.get<bool>();
    } else if (name == "status" && value.is_number_integer() &&
               (value == 0 || (value >= 100 && value <= 599))) {
      f.status = value.get<int>();
    } else if (name == "body" && value.is_string()) {
      f.body = value.get<std::string>();
    } else if (name == "contentType" && value.is_string()) {
      f.contentType = value.get<std::string>();
    } else if (name == "expiresInJson" &&
               (value.is_string() || value.is_null())) {
      if (value.is_string()) {
        f.expiresInJson = value.get<std::string>();
      }
    } else if (name == "headers" && value.is_object()) {
      for (const auto& [h, v] : value.items()) {
        if (!v.is_string()) {
          why = "header values must be texts";
          return false;
        }
        f.headers.emplace(h, v.get<std::string>());
      }
    } else {
      why = "unknown member or bad value: '" + name + "'";
      return false;
    }
  }
  out.reset();
  if (!in.empty()) {
    out = std::move(f);
  }
  return true;
}

}  // namespace tqidp
