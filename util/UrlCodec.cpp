#include "util/UrlCodec.h"

#include <climits>
#include <cstring>

#include "platform/SecureMemory.h"

// constexpr (the header's declaration stays extern const) so the default
// table below is built at compile time: only constexpr arrays may be read in
// a constant expression.
constexpr char gDefaultUrlSafe[] = "-_.~/";

namespace {

// What one source byte becomes: out[0..len), len is 1 or 3. Four bytes so a
// whole entry can be stored at once; the fourth is the length.
struct EscapeEntry {
  char out[4];
};
struct EscapeTable {
  EscapeEntry entry[256];
};

constexpr char kHex[] = "0123456789ABCDEF";

// not isalnum(): that follows the process locale, and a URL must not carry
// raw bytes of 0x80 and above whatever locale the host process set.
constexpr bool IsAsciiAlnum(unsigned c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9');
}

constexpr void SetPlain(EscapeTable& t, unsigned c) {
  t.entry[c] = EscapeEntry{{static_cast<char>(c), 0, 0, 1}};
}

constexpr EscapeTable MakeAlnumTable() {
  EscapeTable t{};
  for (unsigned c = 0; c < 256; ++c) {
    if (IsAsciiAlnum(c)) {
      SetPlain(t, c);
    } else {
      t.entry[c] = EscapeEntry{{'%', kHex[c >> 4], kHex[c & 15], 3}};
    }
  }
  return t;
}

constexpr EscapeTable MakeTable(const char* safe) {
  EscapeTable t = MakeAlnumTable();
  for (; *safe != '\0'; ++safe) {
    SetPlain(t, static_cast<unsigned char>(*safe));
  }
  return t;
}

constexpr EscapeTable kAlnumOnly = MakeAlnumTable();
constexpr EscapeTable kDefaultSafe = MakeTable(gDefaultUrlSafe);

int EncodeBuffer(const EscapeTable& t, char* dest, const char* source,
                 int limit) {
  if (dest == nullptr) {
    return 0;
  }
  if (source == nullptr) {
    *dest = '\0';
    return 1;
  }
  // Exact-size writes: a caller may have sized dest for exactly this text.
  int taken = 0;
  for (; *source != '\0'; ++source) {
    if (taken >= limit) {
      *dest = '\0';
      return 0;
    }
    ++taken;
    const EscapeEntry& e = t.entry[static_cast<unsigned char>(*source)];
    dest[0] = e.out[0];
    if (e.out[3] == 3) {
      dest[1] = e.out[1];
      dest[2] = e.out[2];
    }
    dest += e.out[3];
  }
  *dest = '\0';
  return 1;
}

std::string EncodeString(const EscapeTable& t, const std::string& source) {
  const auto* in = reinterpret_cast<const unsigned char*>(source.data());
  const size_t n = source.size();
  size_t length = 0;
  for (size_t i = 0; i < n; ++i) {
    length += static_cast<size_t>(t.entry[in[i]].out[3]);
  }
  // Every byte stores a whole 4-byte entry and advances by 1 or 3: no
  // branch per byte. The last store reaches at most 3 bytes past the text.
  std::string out(length + 3, '\0');
  char* p = &out[0];
  for (size_t i = 0; i < n; ++i) {
    const EscapeEntry& e = t.entry[in[i]];
    std::memcpy(p, e.out, 4);
    p += e.out[3];
  }
  out.resize(length);
  return out;
}

// Hex digit values; 0xFF for anything else.
struct HexValues {
  unsigned char v[256];
};
constexpr HexValues MakeHexValues() {
  HexValues h{};
  for (unsigned c = 0; c < 256; ++c) {
    h.v[c] = 0xFF;
  }
  for (unsigned c = 0; c < 10; ++c) {
    h.v['0' + c] = static_cast<unsigned char>(c);
  }
  for (unsigned c = 0; c < 6; ++c) {
    h.v['a' + c] = static_cast<unsigned char>(10 + c);
    h.v['A' + c] = static_cast<unsigned char>(10 + c);
  }
  return h;
}
constexpr HexValues kHexValue = MakeHexValues();

// "+" is a space in form encoding; every other byte stands for itself.
struct PlusTable {
  char out[256];
};
constexpr PlusTable MakePlusTable() {
  PlusTable t{};
  for (unsigned c = 0; c < 256; ++c) {
    t.out[c] = static_cast<char>(c);
  }
  t.out[static_cast<unsigned char>('+')] = ' ';
  return t;
}
constexpr PlusTable kPlus = MakePlusTable();

// The byte strtol("0x0" x y, nullptr, 16) gives, low eight bits; written
// without branches so the compiler can select instead of jump.
char EscapedByte(unsigned char x, unsigned char y) {
  const unsigned hi = kHexValue.v[x];
  const unsigned lo = kHexValue.v[y];
  const unsigned value = lo > 15 ? hi : (hi << 4) | lo;
  return hi > 15 ? '\0' : static_cast<char>(value);
}

// Decodes n source bytes into out (room for n bytes: decoding never
// lengthens); returns the count written.
size_t DecodeInto(const char* source, size_t n, char* out) {
  const auto* in = reinterpret_cast<const unsigned char*>(source);
  size_t i = 0;
  size_t j = 0;
  // While two more characters follow, an escape needs no bounds checks.
  while (i + 2 < n) {
    if (in[i] == '%') {
      out[j++] = EscapedByte(in[i + 1], in[i + 2]);
      i += 3;
    } else {
      out[j++] = kPlus.out[in[i]];
      ++i;
    }
  }
  while (i < n) {
    if (in[i] == '%') {
      // Positions past the end read as NUL.
      const unsigned char x = i + 1 < n ? in[i + 1] : 0;
      out[j++] = EscapedByte(x, 0);
      i += 3;
    } else {
      out[j++] = kPlus.out[in[i]];
      ++i;
    }
  }
  return j;
}

}  // namespace

int urlEncodeUseSafeChar(char* dest, const char* source, int limit,
                         const char* safe) {
  if (safe == nullptr || *safe == '\0') {
    return EncodeBuffer(kAlnumOnly, dest, source, limit);
  }
  EscapeTable table = kAlnumOnly;
  for (; *safe != '\0'; ++safe) {
    SetPlain(table, static_cast<unsigned char>(*safe));
  }
  return EncodeBuffer(table, dest, source, limit);
}

int urlEncode(char* dest, const char* source, int limit) {
  return EncodeBuffer(kDefaultSafe, dest, source, limit);
}

std::string urlEncodeUseSafeChar(const std::string& source,
                                 const std::string& safe) {
  EscapeTable table = kAlnumOnly;
  for (const char c : safe) {
    SetPlain(table, static_cast<unsigned char>(c));
  }
  return EncodeString(table, source);
}

std::string urlEncode(const std::string& source) {
  return EncodeString(kDefaultSafe, source);
}

std::string urlDecode(const std::string& source) {
  std::string out(source.size(), '\0');
  out.resize(DecodeInto(source.data(), source.size(), &out[0]));
  return out;
}

void urlDecode(char* dest, const char* source, int length) {
  if (dest == nullptr) {
    return;
  }
  if (source == nullptr || length <= 0) {
    *dest = '\0';
    return;
  }
  dest[DecodeInto(source, static_cast<size_t>(length), dest)] = '\0';
}

const char* UrlEncode(const char* value, std::vector<char>& storage) {
  // Wipe what the caller's vector held before it may be reallocated.
  storage.resize(storage.capacity());
  SecureWipe(storage.data(), storage.size());
  storage.clear();

  const size_t length = value != nullptr ? std::strlen(value) : 0;
  // Sized for the worst case before the first byte is written, so the
  // vector never reallocates with the encoded value in it.
  storage.resize(3 * length + 1);
  const int limit = length > static_cast<size_t>(INT_MAX)
                        ? INT_MAX
                        : static_cast<int>(length);
  urlEncode(storage.data(), value, limit);
  return storage.data();
}
