#pragma once

// The body of POST /_idp/fault: how later token requests misbehave.

#include <optional>
#include <string>

#include "tools/idp/IdpServer.h"

namespace tqidp {

// ParseFaultRequest: true with the fault body describes in out ({}: none,
// out empty). false with why for anything else: not a JSON object, an
// unknown member, or a value of the wrong type or range.
bool ParseFaultRequest(const std::string& body, std::optional<IdpFault>& out,
                       std::string& why);

}  // namespace tqidp
