// tqcloudauth-idp: the local Azure AD v2.0 token endpoint as a program.
// Prints "listening on <login endpoint>" once serving and serves until
// SIGINT or SIGTERM (exit 0). Bad arguments: exit 2; a failure to start
// (unreadable applications file, TLS files, busy port): exit 1.

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <stdexcept>
#include <string>

#include "tools/idp/IdpServer.h"
#include "tools/pki/Pki.h"
#include "tools/version/ToolVersion.h"

namespace {

constexpr int kUsageError = 2;
constexpr int kFailure = 1;

int Fail(const std::string& message) {
  std::fprintf(stderr, "tqcloudauth-idp: %s\n", message.c_str());
  return kFailure;
}

void LogLine(const std::string& line) {
  const time_t now = std::time(nullptr);
  struct tm tm {};
  gmtime_r(&now, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
  // One call per line keeps lines of concurrent requests whole.
  std::fprintf(stderr, "%s %s\n", stamp, line.c_str());
}

bool MakeDirectory(const std::string& dir, std::string& error) {
  if (::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      return true;
    }
  }
  error = "cannot create the folder " + dir + ": " + std::strerror(errno);
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "A local Azure AD v2.0 token endpoint (client-credentials grant) for "
      "running tqcloudauth offline.",
      "tqcloudauth-idp"};
  app.set_version_flag("--version", ToolVersionText("tqcloudauth-idp", ""));
  std::string appsFile;
  std::string portFile;
  std::string pkiDir;
  bool plainHttp = false;
  tqidp::IdpOptions options;
  app.add_option("--apps", appsFile,
                 "JSON file of registered applications: "
                 "{\"applications\":[{\"tenant\",\"client_id\","
                 "\"client_secret\",\"certificate\"}]}")
      ->required()
      ->check(CLI::ExistingFile);
  app.add_option("--host", options.host, "address to listen on")
      ->capture_default_str();
  app.add_option("--port", options.port, "port to listen on; 0: any free port")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--port-file", portFile,
                 "file to write the port number into once listening");
  CLI::Option* http =
      app.add_flag("--http", plainHttp, "serve plain HTTP instead of HTTPS");
  CLI::Option* cert = app.add_option("--cert", options.certFile,
                                     "server certificate chain (PEM)")
                          ->check(CLI::ExistingFile);
  CLI::Option* key =
      app.add_option("--key", options.keyFile, "server private key (PEM)")
          ->check(CLI::ExistingFile);
  CLI::Option* pki = app.add_option(
      "--generate-pki", pkiDir,
      "make a CA (DIR/ca.pem, for clients to trust) and a server "
      "certificate for localhost and 127.0.0.1 (DIR/server.pem, "
      "DIR/server.key), and serve with them");
  app.add_option("--expires-in", options.expiresIn,
                 "lifetime in seconds of issued tokens (expires_in)")
      ->check(CLI::Range(0L, 100L * 365 * 24 * 3600))
      ->capture_default_str();
  app.add_option("--clock-skew", options.clockSkewSeconds,
                 "seconds of clock skew allowed on client assertions")
      ->check(CLI::Range(0L, 24L * 3600))
      ->capture_default_str();
  app.add_flag("--control", options.control,
               "serve GET /_idp/stats and POST /_idp/fault to loopback "
               "clients");
  cert->needs(key);
  key->needs(cert);
  pki->excludes(cert);
  pki->excludes(key);
  http->excludes(cert);
  http->excludes(key);
  http->excludes(pki);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? 0 : kUsageError;
  }
  options.tls = !plainHttp;
  if (options.tls && options.certFile.empty() && pkiDir.empty()) {
    std::fprintf(stderr,
                 "tqcloudauth-idp: HTTPS needs --cert FILE --key FILE or "
                 "--generate-pki DIR (or --http for plain HTTP)\n");
    return kUsageError;
  }

  // Signals are taken by sigwait below; the server threads inherit the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  std::string error;
  if (!pkiDir.empty()) {
    if (!MakeDirectory(pkiDir, error)) {
      return Fail(error);
    }
    try {
      const tqpki::ServerPki made = tqpki::GenerateServerPki(pkiDir);
      options.certFile = made.certFile;
      options.keyFile = made.keyFile;
      std::fprintf(stderr, "tqcloudauth-idp: clients trust %s\n",
                   made.caFile.c_str());
    } catch (const std::exception& e) {
      return Fail(std::string("cannot make the certificates: ") + e.what());
    }
  }
  options.log = LogLine;
  // Records keep no request body: they may hold secrets.
  options.recordContent = false;
  // Every open connection is a descriptor: room for thousands of them.
  struct rlimit files {};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 &&
      files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  tqidp::IdpServer server(options);
  if (!server.LoadApplications(appsFile, error) || !server.Start(error)) {
    return Fail(error);
  }
  if (!portFile.empty()) {
    try {
      // Written whole under another name first: a watcher never reads half.
      const std::string temp = portFile + ".tmp";
      tqpki::WriteFile(temp, std::to_string(server.port()) + "\n", 0644);
      if (std::rename(temp.c_str(), portFile.c_str()) != 0) {
        throw std::runtime_error("cannot rename " + temp);
      }
    } catch (const std::exception& e) {
      server.Stop();
      return Fail(e.what());
    }
  }
  std::printf("listening on %s\n", server.LoginEndpoint().c_str());
  std::fflush(stdout);

  sigdelset(&signals, SIGPIPE);
  int received = 0;
  while (sigwait(&signals, &received) != 0) {
  }
  server.Stop();
  return 0;
}
