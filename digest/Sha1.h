#pragma once

#include "platform/TQExport.h"

// SHA-1 (FIPS 180-4) and HMAC-SHA1 (RFC 2104). The engine below HMAC_SHA1
// is digest/internal/Sha1Engine.h. Tests: tests/digest/Sha1_test.cpp

// HMAC_SHA1: writes HMAC-SHA1(key, msg) (RFC 2104, 20 bytes) to out. Never
// fails. A key longer than 64 bytes is replaced by its SHA-1 digest; a key of
// 64 bytes or fewer is used as it is. A negative keyLen counts as an empty
// key, and a negative msgLen as an empty message (nothing is read); key or msg
// may be null when their length is 0 or less. out must hold 20 bytes and may
// not overlap the inputs. Nothing derived from the key is left behind on the
// stack.
TQ_EXPORT void HMAC_SHA1(unsigned char* out, const unsigned char* key,
                         int keyLen, const unsigned char* msg, int msgLen);
