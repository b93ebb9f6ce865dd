#pragma once

#include <memory>
#include <string>

#include "platform/CKoError.h"

class PgDatabase;

// One credential as its store holds it (the password encrypted).
struct StoredRow {
  int credentialType = 0;
  std::string userName;
  std::string password;
  std::string additionalInfo;
  int other = 0;
};

// FindStoredRow: (assocId, entity)'s row in database, or in the home's store
// when database is null. It reads no configuration: the caller chose the
// store (a provider keeps the one it was made from). Failures: kNotStored
// (no such credential or no store), kStoreFailed, kHomeRefused, as
// CredentialMgrHelper reports them.
CKoError FindStoredRow(const std::shared_ptr<PgDatabase>& database, int assocId,
                       int entity, StoredRow& out);
