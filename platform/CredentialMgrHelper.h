#pragma once

#include <string>
#include <vector>

#include "platform/CKoError.h"
#include "platform/StoredCredential.h"
#include "platform/TQExport.h"

// AdaptersBase: the base of the product's service adapters.
class TQ_EXPORT AdaptersBase {
 public:
  AdaptersBase() = default;
  virtual ~AdaptersBase();
  AdaptersBase(const AdaptersBase&) = delete;
  AdaptersBase& operator=(const AdaptersBase&) = delete;
};

// CredentialMgrHelper: the credential client, over the SQLite store
// $TQ_HOME/credentials.db (owner-only), one row per (assocId, entity).
// Reading never creates the store. The store and SQLite's journal files are
// used only when TqHome's checks pass (the user's own regular files that no
// one else may read or write); a refusal is a failure whose lastError()
// names the file and the fix. Error texts name no secret. The store's
// schema is numbered (PRAGMA user_version, 1): a newer one is refused,
// naming both versions; one made before numbering is numbered at the next
// write. Lookups share one open store per process (its statement prepared),
// used while the file at its path is the one opened and passes the checks;
// a row read is kept (its password encrypted, as stored) and given again
// while the file has not changed since (and was not changed within the two
// seconds before, which file times cannot tell apart).
// Tests: tests/platform/CredentialMgrHelper_test.cpp
class TQ_EXPORT CredentialMgrHelper : public AdaptersBase {
 public:
  enum : int { kOk = 0, kNotFound = 1, kStoreError = 2 };

  CredentialMgrHelper() = default;
  ~CredentialMgrHelper() override;

  // getCredentialsFromAssocIdForEntity: 0 and the credential's values;
  // kNotFound when there is no such credential (or no store), kStoreError
  // when the store cannot be read (corrupt, locked past the busy timeout,
  // refused by TqHome's checks).
  // The out-values are written only on success. The last argument is
  // reserved and ignored.
  int getCredentialsFromAssocIdForEntity(int assocId, int entity,
                                         int& credentialType,
                                         std::string& userName,
                                         std::string& password,
                                         std::string& additionalInfo,
                                         int& other, void* reserved);

  // addCredential: stores c, creating $TQ_HOME (0700) and the store (0600)
  // when missing. An existing (assocId, entity) is replaced only when
  // replace is true. One transaction: on failure the store is as it was.
  bool addCredential(const StoredCredential& c, bool replace);

  // removeCredential: false when there is no such credential; an absent
  // store is not created.
  bool removeCredential(int assocId, int entity);

  // listCredentials: every credential, ordered by assocId and entity, with
  // the password left empty. An absent store lists nothing.
  bool listCredentials(std::vector<StoredCredential>& out);

  // What the last failed call found, for people ("no credential for ...",
  // "credential store <path>: <problem>").
  const std::string& lastError() const { return m_lastError; }

  // The last call's status: success, or its failure with the reason:
  // kNotStored (no such credential or no store), kStoreFailed (the store
  // cannot be opened or read: corrupt, locked past the busy timeout, another
  // layout, a newer schema version), kHomeRefused (TqHome's checks refuse
  // the home, the store or a companion), kInvalidArgument (the credential
  // exists already).
  const CKoError& lastStatus() const { return m_lastStatus; }

  static std::string DatabasePath();

 private:
  // Keeps st as the last status; kNotFound or kStoreError for it.
  int Fail(const CKoError& st);

  std::string m_lastError;
  CKoError m_lastStatus;
};
