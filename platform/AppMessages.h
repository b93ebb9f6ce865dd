#pragma once

#include "platform/CNMessageBase.h"
#include "platform/TQExport.h"

// The address of one message field: its number, slot and field code, as the
// message library's calls take them.
struct FieldRef {
  short number;
  short slot;
  unsigned int code;
};

// Records of the management server's credential messages. Each is a
// CNMessageBase of a fixed kind; their fields are reached through the
// CNMessageBase calls with the FieldRef constants below and the class's
// kClassCode. getObjectAccessor creates these classes for their kinds.
// Tests: tests/platform/AppMessages_test.cpp
namespace App {

// The login endpoints of an Azure cloud; embedded in AzureCredentialInfo.
class TQ_EXPORT AzureEndpoints : public CNMessageBase {
 public:
  static constexpr int kType = 30;
  static constexpr int kId = 2209;
  static constexpr unsigned long kClassCode = 514916794;
  AzureEndpoints() : CNMessageBase(kType, kId) {}
};

// An Azure application credential.
class TQ_EXPORT AzureCredentialInfo : public CNMessageBase {
 public:
  static constexpr int kType = 30;
  static constexpr int kId = 2183;
  static constexpr unsigned long kClassCode = 506744308;
  AzureCredentialInfo() : CNMessageBase(kType, kId) {}
};

// The additional information of a stored credential.
class TQ_EXPORT AdditionalCredInfo : public CNMessageBase {
 public:
  static constexpr int kType = 30;
  static constexpr int kId = 2011;
  static constexpr unsigned long kClassCode = 504118403;
  AdditionalCredInfo() : CNMessageBase(kType, kId) {}
};

// The values of AzureCredentialInfo's authType. A record may hold any
// other value, which equals neither of these.
enum class AzureAuthType : int {
  kCertificate = 1,  // signed JWT client assertion
  kClientSecret = 2,
};

namespace AzureCredentialInfoField {
// AzureAuthType: 1 = certificate (signed assertion), 2 = client secret; an
// integer.
inline constexpr FieldRef authType{1, 0, 6212866};
inline constexpr FieldRef applicationId{2, 2, 12057227};
inline constexpr FieldRef tenantId{4, 10, 1929061};
inline constexpr FieldRef certificateName{5, 14, 9781522};
inline constexpr FieldRef certificateFile{6, 18, 6242711};
inline constexpr FieldRef certificateThumbprint{7, 22, 5833614};
// An AzureEndpoints record.
inline constexpr FieldRef endpoints{12, 42, 1873278};
}  // namespace AzureCredentialInfoField

namespace AzureEndpointsField {
inline constexpr FieldRef loginEndpoint{1, 1, 7655612};
}  // namespace AzureEndpointsField

namespace AdditionalCredInfoField {
// An AzureCredentialInfo record.
inline constexpr FieldRef azureCredentialInfo{3, 9, 16433867};
}  // namespace AdditionalCredInfoField

}  // namespace App
