#include "platform/AppMessages.h"

#include <iterator>

#include "platform/internal/MessageRegistry.h"

namespace {

template <class T>
CNMessageBase* Create() {
  return new T();
}

constexpr CNDeclaredField Text(const FieldRef& f) {
  return CNDeclaredField{f.number, CNFieldKind::kText, 0, 0};
}

namespace cred = App::AzureCredentialInfoField;

constexpr CNDeclaredField kAzureCredentialInfoFields[] = {
    {cred::authType.number, CNFieldKind::kInteger, 0, 0},
    Text(cred::applicationId),
    Text(cred::tenantId),
    Text(cred::certificateName),
    Text(cred::certificateFile),
    Text(cred::certificateThumbprint),
    {cred::endpoints.number, CNFieldKind::kRecord, App::AzureEndpoints::kType,
     App::AzureEndpoints::kId},
};

constexpr CNDeclaredField kAzureEndpointsFields[] = {
    Text(App::AzureEndpointsField::loginEndpoint),
};

constexpr CNDeclaredField kAdditionalCredInfoFields[] = {
    {App::AdditionalCredInfoField::azureCredentialInfo.number,
     CNFieldKind::kRecord, App::AzureCredentialInfo::kType,
     App::AzureCredentialInfo::kId},
};

constexpr CNMessageClass kClasses[] = {
    {App::AzureCredentialInfo::kType, App::AzureCredentialInfo::kId,
     &Create<App::AzureCredentialInfo>, kAzureCredentialInfoFields,
     std::size(kAzureCredentialInfoFields)},
    {App::AzureEndpoints::kType, App::AzureEndpoints::kId,
     &Create<App::AzureEndpoints>, kAzureEndpointsFields,
     std::size(kAzureEndpointsFields)},
    {App::AdditionalCredInfo::kType, App::AdditionalCredInfo::kId,
     &Create<App::AdditionalCredInfo>, kAdditionalCredInfoFields,
     std::size(kAdditionalCredInfoFields)},
};

}  // namespace

const CNMessageClass* FindMessageClass(int type, int id) noexcept {
  for (const CNMessageClass& cls : kClasses) {
    if (cls.type == type && cls.id == id) {
      return &cls;
    }
  }
  return nullptr;
}
