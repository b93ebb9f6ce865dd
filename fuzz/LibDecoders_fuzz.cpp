// The library object's codecs: base64decode and base64urldecode agree with
// the exported Base64Decode (on the URL-safe spelling translated back), and
// base64encode / base64urlencode round-trip the fuzz bytes.

#include <string>

#include "auth/TQCloudAuthLib.h"
#include "fuzz/FuzzSupport.h"
#include "util/Base64Codec.h"

namespace {

std::string BucketBytes(const TqcBucket& b) {
  FUZZ_CHECK((b.getSize() == 0) == (b.getData() == nullptr),
             "bucket size and pointer disagree");
  return b.getSize() == 0
             ? std::string()
             : std::string(reinterpret_cast<const char*>(b.getData()),
                           static_cast<size_t>(b.getSize()));
}

std::string Decode(const std::string& text) {
  return Base64Decode(reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) {
    return 0;
  }
  const std::string input(reinterpret_cast<const char*>(data), size);
  const int length = static_cast<int>(size);

  FUZZ_CHECK(
      BucketBytes(TQCloudAuthLib::base64decode(input)) == Decode(input),
      "base64decode differs from Base64Decode for " + tqfuzz::Hex(input));
  FUZZ_CHECK(BucketBytes(TQCloudAuthLib::base64urldecode(input)) ==
                 Decode(tqfuzz::Translate(input, '-', '+', '_', '/')),
             "base64urldecode differs for " + tqfuzz::Hex(input));

  // Bytes -> text -> bytes.
  const std::string standard = TQCloudAuthLib::base64encode(data, length);
  FUZZ_CHECK(standard == Base64Encode(data, length),
             "base64encode differs from Base64Encode");
  FUZZ_CHECK(BucketBytes(TQCloudAuthLib::base64decode(standard)) == input,
             "base64decode(base64encode(x)) != x for " + tqfuzz::Hex(input));
  const std::string url = TQCloudAuthLib::base64urlencode(data, length, false);
  const std::string unpadded = standard.substr(0, standard.find('='));
  FUZZ_CHECK(url == tqfuzz::Translate(unpadded, '+', '-', '/', '_'),
             "base64urlencode is not unpadded Base64URL");
  FUZZ_CHECK(
      BucketBytes(TQCloudAuthLib::base64urldecode(url)) == input,
      "base64urldecode(base64urlencode(x)) != x for " + tqfuzz::Hex(input));

  // The fuzz bytes as standard Base64 text, only converted.
  const std::string converted =
      TQCloudAuthLib::base64urlencode(data, length, true);
  FUZZ_CHECK(
      converted == tqfuzz::Translate(input.substr(0, input.find('=')), '+', '-',
                                     '/', '_'),
      "base64urlencode(text, true) conversion for " + tqfuzz::Hex(input));
  return 0;
}
