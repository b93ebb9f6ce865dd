// TQCloudAuthAzureLib::getAuthToken fed arbitrary token endpoint replies: a
// real plain-HTTP server on loopback, in this process, answers the request
// with the fuzz input (status chosen by the first byte, the rest as body).
// The provider holds a client secret, encrypted in a private TQ_HOME.
// Properties: success only with a non-empty token, which is the reply's
// access_token; a reply that carries a usable token succeeds; a failure
// leaves ret alone; no failure message or log line shows the token value or
// the client secret.

#include <httplib.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "auth/azure/TQCloudAuthAzureLib.h"
#include "fuzz/FuzzSupport.h"
#include "platform/TQPassword.h"
#include "platform/TqJson.h"
#include "platform/internal/AzureCredentialRecord.h"
#include "util/UrlCodec.h"

namespace {

constexpr char kClientSecret[] = "SECRET-SENTINEL-7f3a client+secret";
constexpr int kStatuses[] = {200, 200, 200, 200, 201, 302, 400, 401, 500, 503};

struct Reply {
  int status = 200;
  std::string body;
};

// The loopback endpoint; lives for the whole process.
struct Endpoint {
  httplib::Server server;
  std::thread thread;
  int port = 0;
  std::mutex mutex;
  Reply next;
};

Endpoint& TheEndpoint() {
  static Endpoint* endpoint = new Endpoint();  // never destroyed: the
  return *endpoint;                            // thread serves until exit
}

std::string& StoredSecret() {
  static std::string stored;
  return stored;
}

// The part of a failure message that comes from the reply, or "" for a
// message that has none.
std::string ReplyPart(const std::string& message) {
  static const char* const kPrefixes[] = {
      "Failed to unserialize auth response [",
      "Auth request failed with error [",
  };
  for (const char* prefix : kPrefixes) {
    if (message.compare(0, std::strlen(prefix), prefix) == 0) {
      return message.substr(std::strlen(prefix));
    }
  }
  const size_t at = message.find("] Message [");
  if (message.compare(0, 31, "Request failed with ErrorCode [") == 0 &&
      at != std::string::npos) {
    return message.substr(at + 11);
  }
  return std::string();
}

// What getAuthToken must accept: a JSON object without "error", with a
// non-empty access_token and no expires_in, or a plainly usable one.
bool Usable(const TqJsonMap& members) {
  if (!TqJson::GetStringValue(members, "error").empty() ||
      TqJson::GetStringValue(members, "access_token").empty()) {
    return false;
  }
  TqJsonValue expires;
  if (!TqJson::FindValue(members, "expires_in", expires)) {
    return true;
  }
  if (expires.type() == TqJsonValue::int_type) {
    try {
      const long long v = expires.get_int64();
      return v >= 0 && v <= 1000000000;
    } catch (const std::exception&) {
      return false;
    }
  }
  if (expires.type() == TqJsonValue::str_type) {
    const std::string s = expires.get_str();
    return !s.empty() && s.size() <= 9 &&
           s.find_first_not_of("0123456789") == std::string::npos;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  const std::string& home = tqfuzz::PrivateHome();
  tqfuzz::WriteWholeFile(
      home + "/tqcloudauth.ini",
      "[Http]\nConnectTimeoutSeconds=5\nTimeoutSeconds=10\n");
  TQPassword password;
  if (!password.encrypt(kClientSecret, StoredSecret())) {
    std::abort();
  }

  Endpoint& e = TheEndpoint();
  e.server.Post(".*", [&e](const httplib::Request&, httplib::Response& res) {
    Reply reply;
    {
      std::lock_guard<std::mutex> lock(e.mutex);
      reply = e.next;
    }
    res.status = reply.status;
    res.set_content(reply.body, "application/json");
  });
  e.port = e.server.bind_to_any_port("127.0.0.1");
  if (e.port <= 0) {
    std::abort();
  }
  e.thread = std::thread([&e] { e.server.listen_after_bind(); });
  e.thread.detach();
  for (int i = 0; i < 500 && !e.server.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) {
    return 0;
  }
  tqfuzz::Reader in(data, size);
  Reply reply;
  reply.status = kStatuses[in.Byte() % (sizeof kStatuses / sizeof *kStatuses)];
  reply.body = in.Rest();
  Endpoint& e = TheEndpoint();
  {
    std::lock_guard<std::mutex> lock(e.mutex);
    e.next = reply;
  }
  const std::string logPath = tqfuzz::PrivateHome() + "/logs/tqcloudauth.log";
  std::remove(logPath.c_str());

  TQCloudAuth::AzureArgs args;
  args.password = StoredSecret();
  namespace R = AzureCredentialRecord;
  R::SetAuthType(args.credentialInfo, R::AuthType::kClientSecret);
  R::SetApplicationId(args.credentialInfo, "client-1");
  R::SetTenantId(args.credentialInfo, "tenant-1");
  R::SetLoginEndpoint(args.credentialInfo,
                      "http://127.0.0.1:" + std::to_string(e.port) + "/");

  TQCloudAuthAzureLib provider;
  const CKoError init = provider.Init(args);
  FUZZ_CHECK(!init.IsError(), "Init failed: " + init.GetMessage());
  TQCloudAuth::GetAuthTokenArgs request;
  request.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
  request.azureArgs->scope = "https://vault.azure.net/.default";
  TQCloudAuth::GetAuthTokenRet ret;
  ret.accessToken = "untouched";
  const CKoError st = provider.getAuthToken(&request, &ret);

  // The reply as the library reads it: the body up to its first NUL.
  const std::string text(reply.body.c_str());
  TqJsonMap members;
  const bool parsed = TqJson::Unserialize(text, members);
  const std::string token =
      parsed ? TqJson::GetStringValue(members, "access_token") : "";
  const bool ok2xx = reply.status < 400;

  if (!st.IsError()) {
    FUZZ_CHECK(ok2xx && parsed && !token.empty() && ret.accessToken == token,
               "success without the reply's token: " + tqfuzz::Hex(text));
    FUZZ_CHECK(ret.tokenType == TqJson::GetStringValue(members, "token_type"),
               "token type");
    return 0;
  }
  const std::string message = st.GetMessage();
  FUZZ_CHECK(!(ok2xx && !text.empty() && parsed && Usable(members)),
             "a usable reply was refused: " + message);
  FUZZ_CHECK(ret.accessToken == "untouched" && ret.tokenType.empty() &&
                 ret.expireTime == 0,
             "a failure wrote ret");
  const std::string secretEncoded = urlEncode(kClientSecret);
  std::string logText;
  tqfuzz::ReadWholeFile(logPath, logText);
  const std::string& log = logText;
  // Unless the reply itself spells the secret out (the fuzzer can learn it
  // from the comparison below), no message or log line may show it.
  const bool replyHasSecret =
      reply.body.find(kClientSecret) != std::string::npos ||
      reply.body.find(secretEncoded) != std::string::npos;
  for (const std::string* shown : {&message, &log}) {
    FUZZ_CHECK(
        replyHasSecret || (shown->find(kClientSecret) == std::string::npos &&
                           shown->find(secretEncoded) == std::string::npos),
        "the client secret is shown: " + *shown);
  }
  // Token values are masked as "***". Tokens shorter than 8 bytes are only
  // masked where they stand (elsewhere they cannot be told from ordinary
  // words), and one that could be confused with the mask or the message's
  // brackets is not checked.
  if (token.size() >= 8 && token.find_first_of("*[]") == std::string::npos) {
    FUZZ_CHECK(ReplyPart(message).find(token) == std::string::npos,
               "the failure message shows the token: " + message);
    const size_t at = log.find("Message [");
    FUZZ_CHECK(
        at == std::string::npos || log.find(token, at + 9) == std::string::npos,
        "the log shows the token: " + log);
  }
  return 0;
}
