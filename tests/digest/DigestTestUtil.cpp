#include "tests/digest/DigestTestUtil.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdlib>
#include <fstream>

namespace digest_test {
namespace {

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) {
    return "";
  }
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

bool DecodeValue(const std::string& v, Bytes& out) {
  out.clear();
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') {
    out.assign(v.begin() + 1, v.end() - 1);
    return true;
  }
  if (v.size() % 2 != 0) {
    return false;
  }
  for (size_t i = 0; i < v.size(); i += 2) {
    char* end = nullptr;
    const std::string pair = v.substr(i, 2);
    const long b = std::strtol(pair.c_str(), &end, 16);
    if (end != pair.c_str() + 2 || pair[0] == '-' || pair[0] == '+') {
      return false;
    }
    out.push_back(static_cast<unsigned char>(b));
  }
  return true;
}

}  // namespace

bool VectorRecord::Has(const std::string& name) const {
  return m_attrs.count(name) != 0;
}

Bytes VectorRecord::GetBytes(const std::string& name) {
  m_used.insert(name);
  Bytes out;
  auto it = m_attrs.find(name);
  if (it == m_attrs.end()) {
    ADD_FAILURE() << where << ": no " << name;
  } else if (!DecodeValue(it->second, out)) {
    ADD_FAILURE() << where << ": " << name << " is not hex or \"text\"";
  }
  return out;
}

long VectorRecord::GetCount(const std::string& name, long fallback) {
  m_used.insert(name);
  auto it = m_attrs.find(name);
  if (it == m_attrs.end()) {
    return fallback;
  }
  char* end = nullptr;
  const long n = std::strtol(it->second.c_str(), &end, 10);
  if (it->second.empty() || *end != '\0' || n < 1) {
    ADD_FAILURE() << where << ": " << name << " is not a positive count";
    return fallback;
  }
  return n;
}

Bytes VectorRecord::Message() {
  const Bytes piece = GetBytes("Input");
  const long repeat = GetCount("Repeat", 1);
  Bytes msg;
  msg.reserve(piece.size() * static_cast<size_t>(repeat));
  for (long i = 0; i < repeat; ++i) {
    msg.insert(msg.end(), piece.begin(), piece.end());
  }
  return msg;
}

std::vector<std::string> VectorRecord::Unused() const {
  std::vector<std::string> unused;
  for (const auto& attr : m_attrs) {
    if (m_used.count(attr.first) == 0) {
      unused.push_back(attr.first);
    }
  }
  return unused;
}

void VectorRecord::Set(const std::string& name, const std::string& value) {
  m_attrs[name] = value;
}

void ForEachVector(const std::string& file,
                   const std::function<void(VectorRecord&)>& fn) {
  const char* root = std::getenv("TQ_TEST_SOURCE_DIR");
  const std::string path =
      std::string(root != nullptr ? root : ".") + "/tests/vectors/" + file;
  std::ifstream in(path);
  ASSERT_TRUE(in) << "cannot read " << path;

  std::vector<VectorRecord> records;
  std::string line, comment;
  bool inRecord = false;
  for (int lineNo = 1; std::getline(in, line); ++lineNo) {
    line = Trim(line);
    if (line.empty()) {
      inRecord = false;
      comment.clear();
      continue;
    }
    if (line[0] == '#') {
      comment = line;
      continue;
    }
    const size_t eq = line.find('=');
    ASSERT_NE(eq, std::string::npos) << file << ":" << lineNo << ": no '='";
    const std::string name = Trim(line.substr(0, eq));
    if (!inRecord) {
      records.emplace_back();
      records.back().where =
          file + ":" + std::to_string(lineNo) + "  " + comment;
      inRecord = true;
    }
    ASSERT_FALSE(records.back().Has(name))
        << file << ":" << lineNo << ": " << name << " given twice";
    records.back().Set(name, Trim(line.substr(eq + 1)));
  }
  ASSERT_FALSE(records.empty()) << path << " holds no vectors";

  for (VectorRecord& r : records) {
    SCOPED_TRACE(r.where);
    fn(r);
    for (const std::string& name : r.Unused()) {
      ADD_FAILURE() << r.where << ": attribute " << name << " was not used";
    }
  }
}

std::vector<size_t> RandomPieces(size_t total, size_t maxPiece,
                                 std::mt19937& rng) {
  std::uniform_int_distribution<size_t> size(0, maxPiece);
  std::vector<size_t> pieces;
  for (size_t left = total; left != 0;) {
    const size_t n = std::min(size(rng), left);
    pieces.push_back(n);
    left -= n;
  }
  return pieces;
}

Bytes RandomBytes(size_t n, std::mt19937& rng) {
  Bytes b(n);
  for (unsigned char& c : b) {
    c = static_cast<unsigned char>(rng());
  }
  return b;
}

Bytes OpenSslDigest(const char* name, const Bytes& msg) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int len = 0;
  const EVP_MD* md = EVP_get_digestbyname(name);
  EXPECT_EQ(EVP_Digest(msg.data(), msg.size(), out.data(), &len, md, nullptr),
            1);
  out.resize(len);
  return out;
}

Bytes OpenSslHmac(const char* name, const Bytes& key, const Bytes& msg) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int len = 0;
  // HMAC() takes a null key as "reuse the previous one": pass a real
  // pointer for the empty key.
  static const unsigned char kNone = 0;
  EXPECT_NE(HMAC(EVP_get_digestbyname(name), key.empty() ? &kNone : key.data(),
                 static_cast<int>(key.size()), msg.data(), msg.size(),
                 out.data(), &len),
            nullptr);
  out.resize(len);
  return out;
}

std::string Hex(const unsigned char* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

void ExpectDigest(const Bytes& expected, const unsigned char* got,
                  size_t fullSize, const std::string& how) {
  ASSERT_GE(expected.size(), 12u) << how << ": Output too short to mean much";
  ASSERT_LE(expected.size(), fullSize) << how << ": Output too long";
  EXPECT_EQ(Hex(got, expected.size()), Hex(expected)) << how;
}

void OnEachBackend::SetUp() {
  if (!tqdigest::SelectShaBackend(GetParam())) {
    GTEST_SKIP() << "this CPU has no SHA extensions";
  }
  ASSERT_EQ(tqdigest::ActiveShaBackend(), GetParam());
}

void OnEachBackend::TearDown() {
  tqdigest::SelectShaBackend(tqdigest::ShaBackend::kAuto);
}

std::string BackendName(
    const ::testing::TestParamInfo<tqdigest::ShaBackend>& info) {
  return info.param == tqdigest::ShaBackend::kShaNi ? "ShaNi" : "Portable";
}

}  // namespace digest_test
