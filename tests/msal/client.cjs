// A client no one here wrote: MSAL for Node gets tokens from the local token
// endpoint as it would from the identity platform, discovering the
// endpoint's metadata itself. Reads a JSON request file (argv[2]):
//   {"authority", "clientId", "scope", "calls",
//    "secret"? , "certificate"?: {"privateKey", "thumbprintSha256"?,
//    "thumbprint"?}}
// and prints one JSON line per call: {"token", "source"}; on a failure one
// line {"error": <MSAL's error code>} and exit status 1.
"use strict";

const fs = require("fs");
const msal = require("@azure/msal-node");

async function main() {
  const request = JSON.parse(fs.readFileSync(process.argv[2], "utf8"));
  const host = new URL(request.authority).host;
  const auth = {
    clientId: request.clientId,
    authority: request.authority,
    // Instance discovery would ask the public cloud about this host.
    knownAuthorities: [host],
  };
  if (request.secret !== undefined) {
    auth.clientSecret = request.secret;
  } else {
    auth.clientCertificate = request.certificate;
  }
  const app = new msal.ConfidentialClientApplication({ auth });
  for (let i = 0; i < request.calls; ++i) {
    const result = await app.acquireTokenByClientCredential({
      scopes: [request.scope],
    });
    const source = result.fromCache ? "cache" : "endpoint";
    process.stdout.write(
      JSON.stringify({ token: result.accessToken, source }) + "\n");
  }
}

main().catch((e) => {
  process.stdout.write(
    JSON.stringify({ error: e.errorCode || e.name || "error",
                     message: String(e.message).slice(0, 300) }) + "\n");
  process.exit(1);
});
