#pragma once

#include <string>

#include "platform/CKoError.h"

// StagedCertificate: the certificate files staged for the signing service,
// <home>/certificates/Azure_<name>.crt, one per certificate name. Stored
// credentials may share a name: each use stages its own certificate, and a
// file goes only when no stored credential uses its name.
// Tests: tests/platform/HomeTrust_test.cpp,
// tests/auth/azure/TQCloudAuthAzureArgs_test.cpp,
// tests/tools/TQCloudAuthCli_test.cpp
namespace StagedCertificate {

// Stage: makes the staged file of name hold exactly certificate (the
// decoded bytes), and *outPath its path. A file there that holds them is
// kept; any other is replaced whole (written aside in the same folder,
// flushed, renamed over it; mode 0400), so a reader sees one certificate or
// the other, never a mixture. The certificates folder must exist. Fails
// with TqHome's refusal of the folder or of the file there (a link, a FIFO,
// a file of another user or one that others may read: never read nor
// replaced), or the file service's status with this location pushed;
// *outPath is then untouched. name must be a plain file name.
CKoError Stage(const std::string& name, const std::string& certificate,
               std::string* outPath);

}  // namespace StagedCertificate
