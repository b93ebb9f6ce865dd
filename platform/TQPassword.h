#pragma once

#include <string>

#include "platform/CKoError.h"
#include "platform/TQExport.h"

// TQPassword: the password service. Stored secrets (client secrets,
// certificate passwords) are encrypted with AES-256-GCM under a 32-byte key
// kept in "<home>/secret.key" (home as TQPI_Base finds it). The stored form
// is the text "ENC1:" + Base64(nonce (12 bytes) || ciphertext || tag (16
// bytes)), with "ENC1" as additional authenticated data and a fresh random
// nonce for every text. Key bytes and plain texts are wiped after use. The
// home and the key file are used only when TqHome's checks pass (a key that
// others may read or a link in its place is refused, never replaced).
// Tests: tests/platform/TQPassword_test.cpp
class TQ_EXPORT TQPassword {
 public:
  static constexpr size_t kKeySize = 32;
  // The longest secret a token request decrypts: its buffer holds this many
  // bytes and the NUL. The tqcloudauth command stores none longer.
  static constexpr size_t kMaxSecretSize = 2047;

  // decrypt: out holds *length bytes plus one. True with the plain text in
  // out, NUL-terminated, and its length (NUL bytes inside count) in
  // *length. False, with out[0..*length] zeroed and *length untouched, for
  // null arguments, a missing or unreadable key file, a key file that is not
  // exactly 32 bytes, a text that is not exactly the stored form (another
  // prefix, non-canonical Base64, too short), a text altered in any byte or
  // made with another key, or a plain text longer than *length, or a home or
  // key file that TqHome refuses. Never creates the key.
  bool decrypt(const char* encrypted, char* out, unsigned long* length);

  // Decrypt: decrypt with the reason of a failure: TqHome's refusal of the
  // home or the key file (kHomeRefused, naming the file and the fix), or 774
  // "Failed to decrypt password" (kCredentialInvalid) for every other cause
  // decrypt lists. out and *length as decrypt leaves them.
  CKoError Decrypt(const char* encrypted, char* out, unsigned long* length);

  // encrypt: true with the stored form of plain (any bytes) in encrypted.
  // On first use creates the home folder (0700, with missing parents) and
  // the key file (32 random bytes, 0600); when another process creates the
  // key at the same time, its key is used. False, with encrypted untouched,
  // when the key cannot be read or made (TqHome refuses the home or the key
  // file, or it is not 32 bytes) or encryption fails.
  bool encrypt(const std::string& plain, std::string& encrypted);

  // Encrypt: encrypt with the reason of a failure: TqHome's refusal of the
  // home or the key file, or its failure to make them (kHomeRefused); "<key
  // file> is not a key: it must hold exactly 32 bytes" (kCredentialInvalid);
  // "cannot encrypt the secret" (kInternal).
  CKoError Encrypt(const std::string& plain, std::string& encrypted);
};
