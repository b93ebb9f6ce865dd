// What stays in the process's memory: after a request completes, neither
// the decrypted secret nor the signed assertion (nor the request body that
// carried them) is anywhere in it, libcurl's and OpenSSL's buffers
// included; after the providers are gone, none of their tokens either. The
// process reads its own memory (/proc/self/mem) for each. The endpoint runs
// in a process of its own, so its copies are not ours.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/rand.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "auth/azure/TQCloudAuthAzureLib.h"
#include "platform/SecureMemory.h"
#include "platform/TQPassword.h"
#include "tests/auth/azure/AzureTestCredentials.h"
#include "tests/support/IdpProcess.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestHelpers.h"
#include "tests/support/TestPki.h"

namespace {

const char kPassword[] = "memscan-certificate-password";
const char kScope[] = "https://vault.azure.net/.default";
// The provider's clock, fixed for the test so the assertion is known.
int64_t g_now = 0;

// Texts searched for, kept in pages of their own that the scan skips: the
// only copies the test itself holds.
class Needles {
 public:
  static constexpr size_t kSize = 64 * 1024;
  Needles() {
    m_base = static_cast<char*>(::mmap(nullptr, kSize, PROT_READ | PROT_WRITE,
                                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  }
  ~Needles() { ::munmap(m_base, kSize); }
  Needles(const Needles&) = delete;
  Needles& operator=(const Needles&) = delete;

  // Add: a slot holding size bytes of data; its index.
  size_t Add(const char* data, size_t size) {
    std::memcpy(m_base + m_used, data, size);
    m_slots.push_back({m_used, size});
    m_used += size;
    return m_slots.size() - 1;
  }
  std::string_view Get(size_t i) const {
    return {m_base + m_slots[i].first, m_slots[i].second};
  }
  bool Contains(const void* p) const {
    return p >= m_base && p < m_base + kSize;
  }

 private:
  char* m_base = nullptr;
  size_t m_used = 0;
  std::vector<std::pair<size_t, size_t>> m_slots;
};

// Found: whether needle is anywhere in the process's readable memory but
// the needles' pages and the scan's own buffer.
bool Found(const Needles& needles, std::string_view needle) {
  static char* buffer =
      static_cast<char*>(::mmap(nullptr, 1 << 20, PROT_READ | PROT_WRITE,
                                MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  std::ifstream maps("/proc/self/maps");
  const int mem = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
  bool found = false;
  std::string line;
  while (!found && std::getline(maps, line)) {
    unsigned long begin = 0;
    unsigned long end = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &begin, &end, perms) != 3 ||
        perms[0] != 'r' || line.find("[vvar]") != std::string::npos ||
        line.find("[vsyscall]") != std::string::npos ||
        needles.Contains(reinterpret_cast<void*>(begin)) ||
        reinterpret_cast<char*>(begin) == buffer) {
      continue;
    }
    // Chunks overlap by the needle's length, so no match falls between.
    const size_t step = (1 << 20) - needle.size();
    for (unsigned long at = begin; at < end && !found; at += step) {
      const size_t want = std::min<unsigned long>(1 << 20, end - at);
      const ssize_t n = ::pread(mem, buffer, want, static_cast<off_t>(at));
      if (n <= 0) {
        break;
      }
      found = ::memmem(buffer, static_cast<size_t>(n), needle.data(),
                       needle.size()) != nullptr;
    }
  }
  ::close(mem);
  return found;
}

// Base64UrlInto: text in Base64URL without "=" into out (large enough);
// its length. Made here, with no copy on the heap.
size_t Base64UrlInto(const std::string& text, char* out) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  size_t n = 0;
  size_t i = 0;
  for (; i + 2 < text.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(text[i]) << 16 |
                       static_cast<unsigned char>(text[i + 1]) << 8 |
                       static_cast<unsigned char>(text[i + 2]);
    out[n++] = kAlphabet[v >> 18];
    out[n++] = kAlphabet[(v >> 12) & 63];
    out[n++] = kAlphabet[(v >> 6) & 63];
    out[n++] = kAlphabet[v & 63];
  }
  if (i < text.size()) {
    const bool two = i + 1 < text.size();
    const unsigned v = static_cast<unsigned char>(text[i]) << 16 |
                       (two ? static_cast<unsigned char>(text[i + 1]) << 8 : 0);
    out[n++] = kAlphabet[v >> 18];
    out[n++] = kAlphabet[(v >> 12) & 63];
    if (two) {
      out[n++] = kAlphabet[(v >> 6) & 63];
    }
  }
  return n;
}

class FixedClockLib : public TQCloudAuthAzureLib {
 public:
  static int64_t Now() { return g_now; }
  FixedClockLib() { clock = &Now; }
};

TEST(SecretsInMemory, SecretAssertionAndTokensLeaveNoCopy) {
  if (tqtest::kUnderAddressSanitizer) {
    GTEST_SKIP() << "ASan's shadow memory makes the scan of the address space "
                    "take hours; the plain build runs it";
  }
  if (tqtest::IdpBinary().empty()) {
    GTEST_SKIP() << "TQ_IDP_BINARY is not set";
  }
  g_now = static_cast<int64_t>(std::time(nullptr));
  Needles needles;
  // A secret made here, in the needles' page alone.
  unsigned char random[16];
  ASSERT_EQ(RAND_bytes(random, sizeof random), 1);
  char secret[48];
  std::snprintf(secret, sizeof secret, "MEMSCAN-");
  for (size_t i = 0; i < sizeof random; ++i) {
    std::snprintf(secret + 8 + 2 * i, 3, "%02x", random[i]);
  }
  const size_t secretNeedle = needles.Add(secret, std::strlen(secret));
  SecureWipe(secret, sizeof secret);
  SecureWipe(random, sizeof random);

  tqtest::ScopedTqHome home;
  tqtest::TempDir dir;
  const tqtest::ClientCertificate client =
      tqtest::MakeClientCertificate("memscan app", kPassword);
  tqtest::WriteFile(dir.path() + "/app.pem", client.certificatePem);
  {
    // The applications file, written from the needle without a copy.
    const std::string apps = dir.path() + "/apps.json";
    FILE* f = std::fopen(apps.c_str(), "w");
    ASSERT_NE(f, nullptr);
    const std::string_view s = needles.Get(secretNeedle);
    std::fprintf(f,
                 "{\"applications\":[{\"tenant\":\"tenant-1\",\"client_id\":"
                 "\"client-1\",\"client_secret\":\"%.*s\"},{\"tenant\":"
                 "\"tenant-1\",\"client_id\":\"client-2\",\"certificate\":"
                 "\"app.pem\"}]}",
                 static_cast<int>(s.size()), s.data());
    std::fclose(f);
  }
  tqtest::IdpProcess idp(dir.path(), dir.path() + "/apps.json");
  ASSERT_TRUE(idp.running());
  home.WriteConfig("[Http]\nCAFile=" + idp.CaFile() + "\n");
  ASSERT_EQ(::mkdir((home.path() + "/certificates").c_str(), 0700), 0);

  tqtest::AzureCredential secretCredential;
  secretCredential.loginEndpoint = idp.LoginEndpoint();
  {
    std::string plain(needles.Get(secretNeedle));
    ASSERT_TRUE(TQPassword().encrypt(plain, secretCredential.storedPassword));
    WipeString(plain);
  }
  tqtest::AzureCredential certificate;
  certificate.authType = tqtest::AuthType::kCertificate;
  certificate.clientId = "client-2";
  certificate.loginEndpoint = idp.LoginEndpoint();
  certificate.certificateName = "memscan";
  certificate.certificateBase64 =
      tqtest::Base64Of(client.certificatePem + client.keyPem);
  certificate.thumbprintHex = client.thumbprintHex;
  ASSERT_TRUE(TQPassword().encrypt(kPassword, certificate.storedPassword));
  // The assertion's payload, as the provider makes it at g_now: with the
  // signature after it, it is a credential.
  const std::string url = idp.LoginEndpoint() + "tenant-1/oauth2/v2.0/token";
  const std::string payload =
      R"({"aud":")" + url + R"(", "sub":"client-2", "iss":"client-2", "exp":)" +
      std::to_string(g_now + 3600) + R"(, "nbf":)" + std::to_string(g_now) +
      "}";
  char encoded[1024];
  const size_t assertionNeedle =
      needles.Add(encoded, Base64UrlInto(payload, encoded));
  SecureWipe(encoded, sizeof encoded);

  std::vector<size_t> tokenNeedles;
  {
    FixedClockLib bySecret;
    ASSERT_FALSE(
        bySecret.Init(tqtest::MakeAzureArgs(secretCredential)).IsError());
    FixedClockLib byCertificate;
    const CKoError init =
        byCertificate.Init(tqtest::MakeAzureArgs(certificate));
    ASSERT_FALSE(init.IsError()) << init.ToString();
    for (TQCloudAuthAzureLib* lib :
         {static_cast<TQCloudAuthAzureLib*>(&bySecret),
          static_cast<TQCloudAuthAzureLib*>(&byCertificate)}) {
      TQCloudAuth::GetAuthTokenArgs args;
      args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
      args.azureArgs->scope = kScope;
      TQCloudAuth::GetAuthTokenRet ret;
      const CKoError st = lib->getAuthToken(&args, &ret);
      ASSERT_FALSE(st.IsError()) << st.ToString();
      tokenNeedles.push_back(
          needles.Add(ret.accessToken.data(), ret.accessToken.size()));
      WipeString(ret.accessToken);
    }
    // Requests done, providers alive and idle.
    EXPECT_FALSE(Found(needles, needles.Get(secretNeedle)))
        << "the decrypted secret";
    EXPECT_FALSE(Found(needles, needles.Get(assertionNeedle)))
        << "the signed assertion";
  }
  for (size_t token : tokenNeedles) {
    EXPECT_FALSE(Found(needles, needles.Get(token))) << "a token";
  }
}

}  // namespace
