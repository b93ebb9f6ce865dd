#pragma once

#include <memory>

#include "platform/CKoError.h"
#include "platform/StoredCredential.h"

class PgDatabase;

// FindStoredRow: (assocId, entity)'s row in database, or in the home's store
// when database is null. It reads no configuration: the caller chose the
// store (a provider keeps the one it was made from). Failures: kNotStored
// (no such credential or no store), kStoreFailed, kHomeRefused, as
// CredentialMgrHelper reports them.
CKoError FindStoredRow(const std::shared_ptr<PgDatabase>& database, int assocId,
                       int entity, StoredCredential& out);
