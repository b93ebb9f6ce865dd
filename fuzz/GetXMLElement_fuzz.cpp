// GetXMLElement: any result is a piece of the document, and in a document
// built around "<name>content</name>" (where nothing else looks like the
// tags) the result is exactly the content.

#include <string>

#include "fuzz/FuzzSupport.h"
#include "util/StringUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) {
    return 0;
  }
  tqfuzz::Reader in(data, size);
  const std::string name = in.Until('\0');
  const std::string prefix = in.Until('\0');
  const std::string content = in.Until('\0');
  const std::string suffix = in.Rest();

  // The raw input as a document.
  const std::string raw(reinterpret_cast<const char*>(data), size);
  const std::string found = GetXMLElement(raw, name);
  FUZZ_CHECK(found.empty() || raw.find(found) != std::string::npos,
             "result is not part of the document");

  const std::string open = "<" + name + ">";
  const std::string close = "</" + name + ">";
  const std::string document = prefix + open + content + close + suffix;
  const std::string got = GetXMLElement(document, name);
  FUZZ_CHECK(got.empty() || document.find(got) != std::string::npos,
             "result is not part of the built document");
  // The first opening and the first closing text are the ones built, and
  // the name cannot end the opening tag early.
  const bool plain = name.find('>') == std::string::npos &&
                     document.find(open) == prefix.size() &&
                     document.find("</" + name) ==
                         prefix.size() + open.size() + content.size();
  if (plain) {
    FUZZ_CHECK(got == content, "GetXMLElement(\"" + document + "\", \"" + name +
                                   "\") = \"" + got + "\"");
  }
  return 0;
}
