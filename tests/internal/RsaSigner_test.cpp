#include "internal/crypto/RsaSigner.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "internal/crypto/CertificateFile.h"
#include "platform/TQLibCurl.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestPki.h"

namespace {

using tqtest::CertToPem;
using tqtest::KeyToPem;
using tqtest::TempDir;
using tqtest::WriteFile;

const std::string kData =
    "eyJhbGciOiJSUzI1NiIsInR5cCI6IkpXVCJ9.eyJhdWQiOiJodHRwczovL3gvIn0";

struct Identity {
  PkeyPtr key;
  X509Ptr cert;
};

Identity MakeIdentity(PkeyPtr key) {
  tqtest::CertificateFields certFields;
  certFields.commonName = "app certificate";
  X509Ptr cert =
      tqtest::IssueCertificate(certFields, key.get(), nullptr, nullptr);
  return Identity{std::move(key), std::move(cert)};
}

// "Proc-Type: 4,ENCRYPTED" form of the key.
std::string TraditionalPem(EVP_PKEY* key, const std::string& password) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  EXPECT_EQ(
      PEM_write_bio_PrivateKey_traditional(
          bio.get(), key, EVP_aes_256_cbc(),
          reinterpret_cast<unsigned char*>(const_cast<char*>(password.data())),
          static_cast<int>(password.size()), nullptr, nullptr),
      1);
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(n));
}

bool Verifies(X509* cert, const std::string& data,
              const std::vector<unsigned char>& signature) {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  return EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr,
                              X509_get0_pubkey(cert)) == 1 &&
         EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(data.data()),
                          data.size()) == 1;
}

class RsaSignerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rsa =
        std::make_unique<Identity>(MakeIdentity(tqtest::GenerateRsaKey(2048)));
    other =
        std::make_unique<Identity>(MakeIdentity(tqtest::GenerateRsaKey(2048)));
  }
  static void TearDownTestSuite() {
    rsa.reset();
    other.reset();
  }

  std::string File(const std::string& name, const std::string& content) {
    const std::string path = dir.path() + "/" + name;
    WriteFile(path, content, 0400);
    return path;
  }

  // Signs through the HTTP client; on success the signature, else empty
  // after checking that buffer and length were left alone.
  std::vector<unsigned char> Sign(const std::string& file,
                                  const std::string& password,
                                  unsigned int capacity = 4096) {
    std::vector<unsigned char> buffer(capacity, 0xAB);
    unsigned int length = capacity;
    if (!client.SignSHA256withRSA(file, kData, password, buffer.data(),
                                  length)) {
      EXPECT_EQ(length, capacity);
      EXPECT_EQ(buffer, std::vector<unsigned char>(capacity, 0xAB));
      EXPECT_EQ(ERR_peek_error(), 0u);  // no stale OpenSSL errors
      return {};
    }
    buffer.resize(length);
    return buffer;
  }

  static inline std::unique_ptr<Identity> rsa;
  static inline std::unique_ptr<Identity> other;
  TempDir dir;
  TQLibCurl client;
};

TEST_F(RsaSignerTest, PemFormsAndPasswords) {
  const std::string cert = CertToPem(rsa->cert.get());
  struct Case {
    std::string name;
    std::string content;
    std::string password;
  };
  const Case cases[] = {
      {"cert-then-key", cert + KeyToPem(rsa->key.get()), ""},
      {"key-then-cert", KeyToPem(rsa->key.get()) + cert, ""},
      {"plain-key-any-password", cert + KeyToPem(rsa->key.get()), "ignored"},
      {"pkcs8-encrypted", cert + KeyToPem(rsa->key.get(), "pa55 word"),
       "pa55 word"},
      {"traditional-encrypted", cert + TraditionalPem(rsa->key.get(), "tr4d"),
       "tr4d"},
  };
  for (const Case& c : cases) {
    const std::vector<unsigned char> sig =
        Sign(File(c.name, c.content), c.password);
    ASSERT_EQ(sig.size(), 256u) << c.name;
    EXPECT_TRUE(Verifies(rsa->cert.get(), kData, sig)) << c.name;
  }
}

TEST_F(RsaSignerTest, WrongPasswordsFail) {
  const std::string cert = CertToPem(rsa->cert.get());
  const std::string pkcs8 =
      File("pkcs8.pem", cert + KeyToPem(rsa->key.get(), "right"));
  const std::string traditional =
      File("trad.pem", cert + TraditionalPem(rsa->key.get(), "right"));
  const std::string p12 = File(
      "id.p12", tqtest::ToPkcs12(rsa->key.get(), rsa->cert.get(), "right"));
  for (const std::string& file : {pkcs8, traditional, p12}) {
    for (const std::string& wrong :
         {std::string("wrong"), std::string(""), std::string("righ"),
          std::string("right "), std::string(2000, 'r')}) {
      EXPECT_TRUE(Sign(file, wrong).empty()) << file << " / " << wrong.size();
    }
    // The right one after wrong ones, and a wrong one after the key is held.
    EXPECT_EQ(Sign(file, "right").size(), 256u) << file;
    EXPECT_TRUE(Sign(file, "wrong").empty()) << file;
    EXPECT_EQ(Sign(file, "right").size(), 256u) << file;
  }
}

TEST_F(RsaSignerTest, Pkcs12) {
  const std::string withPassword =
      File("a.p12", tqtest::ToPkcs12(rsa->key.get(), rsa->cert.get(), "p12"));
  EXPECT_TRUE(Verifies(rsa->cert.get(), kData, Sign(withPassword, "p12")));
  const std::string without =
      File("b.p12", tqtest::ToPkcs12(rsa->key.get(), rsa->cert.get(), ""));
  EXPECT_TRUE(Verifies(rsa->cert.get(), kData, Sign(without, "")));
}

TEST_F(RsaSignerTest, FilesWithoutAnRsaKeyFail) {
  const Identity ec = MakeIdentity(tqtest::GenerateEcKey());
  const std::string cert = CertToPem(rsa->cert.get());
  const std::string files[] = {
      dir.path() + "/missing.pem",
      dir.path(),
      File("cert-only.pem", cert),
      File("ec.pem", CertToPem(ec.cert.get()) + KeyToPem(ec.key.get())),
      File("ec.p12", tqtest::ToPkcs12(ec.key.get(), ec.cert.get(), "x")),
      File("empty.pem", ""),
      File("garbage.bin", std::string(3000, '\x30')),
      File("truncated.pem", cert + KeyToPem(rsa->key.get()).substr(0, 300)),
      File("huge.pem", cert + KeyToPem(rsa->key.get()) +
                           std::string(kMaxCertificateFileBytes, '\n')),
  };
  for (const std::string& file : files) {
    EXPECT_TRUE(Sign(file, "").empty()) << file;
    EXPECT_TRUE(Sign(file, "x").empty()) << file;
  }
}

TEST_F(RsaSignerTest, BufferMustHoldTheSignature) {
  const std::string file =
      File("id.pem", CertToPem(rsa->cert.get()) + KeyToPem(rsa->key.get()));
  EXPECT_TRUE(Sign(file, "", 255).empty());
  EXPECT_TRUE(Sign(file, "", 0).empty());
  EXPECT_EQ(Sign(file, "", 256).size(), 256u);
  unsigned int length = 4096;
  EXPECT_FALSE(client.SignSHA256withRSA(file, kData, "", nullptr, length));
  EXPECT_EQ(length, 4096u);

  const Identity big = MakeIdentity(tqtest::GenerateRsaKey(4096));
  const std::string bigFile =
      File("big.pem", CertToPem(big.cert.get()) + KeyToPem(big.key.get()));
  const std::vector<unsigned char> sig = Sign(bigFile, "");
  ASSERT_EQ(sig.size(), 512u);
  EXPECT_TRUE(Verifies(big.cert.get(), kData, sig));
}

// PKCS#1 v1.5 signatures are deterministic: ours equal OpenSSL's own.
TEST_F(RsaSignerTest, SameBytesAsOpenSsl) {
  const std::string file =
      File("id.pem", CertToPem(rsa->cert.get()) + KeyToPem(rsa->key.get()));
  for (const std::string& data :
       {std::string(), std::string("x"), kData, std::string(100000, '\0')}) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    std::vector<unsigned char> expected(256);
    size_t n = expected.size();
    ASSERT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr,
                                 rsa->key.get()),
              1);
    ASSERT_EQ(
        EVP_DigestSign(ctx.get(), expected.data(), &n,
                       reinterpret_cast<const unsigned char*>(data.data()),
                       data.size()),
        1);
    std::vector<unsigned char> sig(4096);
    unsigned int length = 4096;
    ASSERT_TRUE(client.SignSHA256withRSA(file, data, "", sig.data(), length));
    sig.resize(length);
    EXPECT_EQ(sig, expected);
  }
}

// PS256 as a verifier checks it: RSASSA-PSS, SHA-256, MGF1-SHA-256 and a
// salt of exactly 32 bytes; a new salt each time, so no two are alike.
TEST_F(RsaSignerTest, Ps256VerifiesAsPssWithSalt32) {
  const auto verifiesPss = [](EVP_PKEY* key, const std::string& data,
                              const std::vector<unsigned char>& sig,
                              int saltLength) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    return EVP_DigestVerifyInit(ctx.get(), &pctx, EVP_sha256(), nullptr, key) ==
               1 &&
           EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) == 1 &&
           EVP_PKEY_CTX_set_rsa_mgf1_md(pctx, EVP_sha256()) == 1 &&
           EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, saltLength) == 1 &&
           EVP_DigestVerify(ctx.get(), sig.data(), sig.size(),
                            reinterpret_cast<const unsigned char*>(data.data()),
                            data.size()) == 1;
  };
  const Identity big = MakeIdentity(tqtest::GenerateRsaKey(3072));
  struct Case {
    const char* name;
    const Identity* id;
    std::string password;
    std::string data;
  };
  const Case cases[] = {
      {"2048, plain key", rsa.get(), "", kData},
      {"2048, encrypted key", rsa.get(), "pss pw", kData},
      {"2048, empty input", rsa.get(), "", ""},
      {"2048, 100000 NULs", rsa.get(), "", std::string(100000, '\0')},
      {"3072", &big, "", kData},
  };
  for (const Case& c : cases) {
    const std::string file = File(
        std::string(c.name) + ".pem",
        CertToPem(c.id->cert.get()) + KeyToPem(c.id->key.get(), c.password));
    std::vector<unsigned char> first(4096);
    std::vector<unsigned char> second(4096);
    unsigned int n1 = 4096;
    unsigned int n2 = 4096;
    ASSERT_TRUE(
        client.SignSHA256withRSAPSS(file, c.data, c.password, first.data(), n1))
        << c.name;
    ASSERT_TRUE(client.SignSHA256withRSAPSS(file, c.data, c.password,
                                            second.data(), n2))
        << c.name;
    first.resize(n1);
    second.resize(n2);
    EVP_PKEY* pub = X509_get0_pubkey(c.id->cert.get());
    EXPECT_EQ(static_cast<int>(n1), EVP_PKEY_get_size(pub)) << c.name;
    EXPECT_TRUE(verifiesPss(pub, c.data, first, 32)) << c.name;
    EXPECT_TRUE(verifiesPss(pub, c.data, second, 32)) << c.name;
    EXPECT_FALSE(verifiesPss(pub, c.data, first, 20)) << c.name;
    EXPECT_FALSE(Verifies(c.id->cert.get(), c.data, first)) << c.name;
    EXPECT_NE(first, second) << c.name;
  }
  ERR_clear_error();  // the refused verifications' entries
}

TEST_F(RsaSignerTest, KeyIsParsedOnceAndReloadedOnChange) {
  RsaSigner signer;
  const std::string path = dir.path() + "/staged.pem";
  const std::string first =
      CertToPem(rsa->cert.get()) + KeyToPem(rsa->key.get(), "pw");
  WriteFile(path, first, 0600);
  auto sign = [&](const std::string& password) {
    std::vector<unsigned char> sig(4096);
    unsigned int length = 4096;
    if (!signer.Sign(path, kData, password, RsaScheme::kPkcs1Sha256, sig.data(),
                     length)) {
      return std::vector<unsigned char>();
    }
    sig.resize(length);
    return sig;
  };
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(Verifies(rsa->cert.get(), kData, sign("pw")));
  }
  EXPECT_EQ(signer.LoadCount(), 1u);

  // Rewritten in place (same inode) with another identity.
  const std::string second =
      CertToPem(other->cert.get()) + KeyToPem(other->key.get(), "pw");
  {
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fwrite(second.data(), 1, second.size(), f);
    std::fclose(f);
  }
  EXPECT_TRUE(Verifies(other->cert.get(), kData, sign("pw")));
  EXPECT_EQ(signer.LoadCount(), 2u);

  // Replaced by rename, as a careful writer does.
  const std::string temp = dir.path() + "/staged.tmp";
  WriteFile(temp, first, 0600);
  ASSERT_EQ(std::rename(temp.c_str(), path.c_str()), 0);
  EXPECT_TRUE(Verifies(rsa->cert.get(), kData, sign("pw")));
  EXPECT_EQ(signer.LoadCount(), 3u);

  // Another password is checked against the file again.
  EXPECT_TRUE(sign("other").empty());
  EXPECT_TRUE(Verifies(rsa->cert.get(), kData, sign("pw")));
  EXPECT_TRUE(Verifies(rsa->cert.get(), kData, sign("pw")));
  EXPECT_EQ(signer.LoadCount(), 5u);

  // Removed: the held key is not used for a file that is gone.
  ASSERT_EQ(std::remove(path.c_str()), 0);
  EXPECT_TRUE(sign("pw").empty());
}

}  // namespace
