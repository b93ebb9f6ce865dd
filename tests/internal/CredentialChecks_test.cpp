#include "internal/text/CredentialChecks.h"

#include <gtest/gtest.h>

#include <string>

#include "internal/text/Redact.h"

namespace {

TEST(CheckTenant, DomainNamesAndGuidsOnly) {
  const std::string label63(63, 'a');
  const struct {
    std::string tenant;
    bool ok;
  } cases[] = {
      {"72f988bf-86f1-41af-91ab-2d7cd011db47", true},
      {"contoso.onmicrosoft.com", true},
      {"tenant-1", true},
      {"common", true},
      {label63 + "." + label63, true},
      {std::string(126, 'a') + "." + std::string(126, 'b'), false},  // 253+
      {"", false},
      {label63 + "a", false},
      {"t1/oauth2/v2.0/token?", false},
      {"..", false},
      {".", false},
      {"a..b", false},
      {"a.", false},
      {".a", false},
      {"-a", false},
      {"a-", false},
      {"a-.b", false},
      {"t%2F", false},
      {"t\xc3\xa9nant", false},
      {"t\n", false},
      {"a b", false},
      {"t#", false},
  };
  for (const auto& c : cases) {
    std::string problem;
    EXPECT_EQ(CheckTenant(c.tenant, problem), c.ok) << c.tenant;
    EXPECT_EQ(problem,
              c.ok ? ""
                   : "Invalid tenant [" +
                         EscapeControls(c.tenant, LineBreaks::kEscape) + "]");
  }
}

TEST(CheckClientId, PrintableAsciiWithoutQuotes) {
  const struct {
    std::string id;
    bool ok;
  } cases[] = {
      {"00000000-0000-0000-0000-000000000000", true},
      {"client-1", true},
      {"c&client_secret=INJECTED", true},  // sent URL-encoded
      {std::string(256, 'c'), true},
      {std::string(257, 'c'), false},
      {"", false},
      {"c d", false},
      {"c\"", false},
      {"c\\", false},
      {"c\x7f", false},
      {"c\x1b[2J", false},
      {"c\xc3\xa9", false},
  };
  for (const auto& c : cases) {
    std::string problem;
    EXPECT_EQ(CheckClientId(c.id, problem), c.ok) << c.id;
    EXPECT_EQ(problem, c.ok ? ""
                            : "Invalid client id [" +
                                  EscapeControls(c.id, LineBreaks::kEscape) +
                                  "]");
  }
}

TEST(CheckCertificateName, PlainFileNamesOnly) {
  const struct {
    std::string name;
    bool ok;
  } cases[] = {
      {"app-cert_2.pem", true},
      {"A", true},
      {std::string(128, 'n'), true},
      {std::string(129, 'n'), false},
      {"", false},
      {".hidden", false},
      {"..", false},
      {"a/b", false},
      {"a b", false},
      {"caf\xc3\xa9", false},
      {"a\\b", false},
      {std::string("a\0b", 3), false},
  };
  for (const auto& c : cases) {
    std::string problem;
    EXPECT_EQ(CheckCertificateName(c.name, problem), c.ok) << c.name;
  }
}

TEST(CheckLoginEndpoint, PlainHttpOnlyToThisMachine) {
  const std::string exposed =
      "] is plain HTTP to another host: that would expose the credential; "
      "use https://";
  const struct {
    std::string url;
    std::string problem;  // after "Login endpoint [<url>"
  } cases[] = {
      {"", ""},
      {"https://login.microsoftonline.com/", ""},
      {"HTTPS://login.example/", ""},
      {"http://127.0.0.1:8080/", ""},
      {"http://127.255.0.9/", ""},
      {"http://localhost:1/", ""},
      {"http://LOCALHOST/", ""},
      {"http://[::1]:9000/", ""},
      {"http://[0:0:0:0:0:0:0:1]/", ""},
      {"http://127.0.0.1", ""},
      {"http://login.example/", exposed},
      {"http://10.0.0.1/", exposed},
      {"http://128.0.0.1/", exposed},
      {"http://127.1:8080/", exposed},
      {"http://0177.0.0.1/", exposed},
      {"http://[::ffff:127.0.0.1]/", exposed},
      {"http://127.0.0.1@login.example/", exposed},
      {"http://user:pw@127.0.0.1/", exposed},
      {"http://localhost.login.example/", exposed},
      {"http://127.0.0.1:80x/", exposed},
      {"http://127.0.0.1.nip.io/", exposed},
      {"http:///", exposed},
      {"https://login.example/\"x", "] holds a character a URL cannot"},
      {"https://login.example/ x", "] holds a character a URL cannot"},
      {"https://login.example/\\", "] holds a character a URL cannot"},
      {"https://login.example/\xff", "] holds a character a URL cannot"},
      {"https://l\xc3\xa9gin.example/", ""},
      {"https://login.example/%22?a=1&b=$", ""},
      {"ftp://127.0.0.1/", "] is not an http(s) URL"},
      {"127.0.0.1/", "] is not an http(s) URL"},
  };
  for (const auto& c : cases) {
    std::string problem;
    EXPECT_EQ(CheckLoginEndpoint(c.url, problem), c.problem.empty()) << c.url;
    EXPECT_EQ(problem, c.problem.empty()
                           ? ""
                           : "Login endpoint [" +
                                 EscapeControls(c.url, LineBreaks::kEscape) +
                                 c.problem);
  }
}

}  // namespace
