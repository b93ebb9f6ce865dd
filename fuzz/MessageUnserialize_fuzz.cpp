// CNMessageBase::unserialize on arbitrary texts, for each registered record
// kind and an unregistered one. A failure leaves the message as it was; a
// success gives a message whose serialized form reads back into an equal
// one (unserialize(serialize(m)) == m), and whose copy is equal too.

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/CNMessageBase.h"
#include "platform/internal/AzureCredentialRecord.h"

namespace {

std::unique_ptr<CNMessageBase> NewMessage(int kind) {
  switch (kind % 4) {
    case 0:
      return std::make_unique<App::AdditionalCredInfo>();
    case 1:
      return std::make_unique<App::AzureCredentialInfo>();
    case 2:
      return std::make_unique<App::AzureEndpoints>();
    default:
      return std::make_unique<CNMessageBase>(7, 7);
  }
}

std::string Serialize(const CNMessageBase& m, const std::string& text) {
  try {
    return m.serialize();
  } catch (const std::invalid_argument&) {
    FUZZ_CHECK(false, "serialize throws after unserialize succeeded for " +
                          tqfuzz::Hex(text));
  }
  return std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) {
    return 0;
  }
  tqfuzz::Reader in(data, size);
  const int kind = in.Byte();
  const std::string rest = in.Rest();
  std::vector<char> text(rest.begin(), rest.end());
  text.push_back('\0');

  std::unique_ptr<CNMessageBase> message = NewMessage(kind);
  // A field the text must replace or leave, depending on the result.
  message->setint64(30000, 7, 0, 0);
  const std::string before = message->serialize();
  const int rc = message->unserialize(text.data());
  FUZZ_CHECK(rc >= CNMessageBase::kUnserializeOk &&
                 rc <= CNMessageBase::kUnserializeWrongMessage,
             "unknown result");
  if (rc != CNMessageBase::kUnserializeOk) {
    FUZZ_CHECK(message->serialize() == before,
               "a failed unserialize changed the message");
    return 0;
  }
  const std::string once = Serialize(*message, rest);
  std::unique_ptr<CNMessageBase> again = NewMessage(kind);
  FUZZ_CHECK(again->unserialize(once.c_str()) == CNMessageBase::kUnserializeOk,
             "serialized form does not read back: " + once);
  FUZZ_CHECK(Serialize(*again, rest) == once,
             "unserialize(serialize(m)) != m: " + once);
  const CNMessageBase copy(*message);
  FUZZ_CHECK(Serialize(copy, rest) == once, "copy differs");

  // What the factory reads: the embedded Azure record and its fields.
  if (kind % 4 == 0) {
    namespace R = AzureCredentialRecord;
    App::AzureCredentialInfo record;
    R::Extract(static_cast<App::AdditionalCredInfo&>(*message), record);
    FUZZ_CHECK(record.getType() == App::AzureCredentialInfo::kType &&
                   record.getId() == App::AzureCredentialInfo::kId,
               "embedded record of another kind");
    (void)R::GetAuthType(record);
    (void)R::GetCertificateFile(record);
    (void)R::GetLoginEndpoint(record);
  }
  return 0;
}
