#include "internal/net/HttpFailureReason.h"

// Why a transfer failed, from what libcurl found. viaProxy: the request
// went through a proxy, so a connection refused is the proxy's.
TqFailureReason TransferReason(CURLcode code, bool viaProxy,
                               long connectStatus) noexcept {
  if (connectStatus >= 300) {
    return TqFailureReason::kProxyFailed;  // the proxy refused the tunnel
  }
  switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_PROXY:
      return TqFailureReason::kProxyFailed;
    case CURLE_COULDNT_CONNECT:
      return viaProxy ? TqFailureReason::kProxyFailed
                      : TqFailureReason::kConnectFailed;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return TqFailureReason::kConnectFailed;
    case CURLE_OPERATION_TIMEDOUT:
      return TqFailureReason::kTimedOut;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
      return TqFailureReason::kTlsFailed;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return TqFailureReason::kInvalidArgument;
    default:
      return TqFailureReason::kInternal;
  }
}

// Why a response of status (400 or more) failed.
TqFailureReason StatusReason(long status, int64_t retryAfterSeconds) noexcept {
  if (status == 429 || (status == 503 && retryAfterSeconds >= 0)) {
    return TqFailureReason::kThrottled;
  }
  if (status == 407) {
    return TqFailureReason::kProxyFailed;
  }
  return status >= 500 ? TqFailureReason::kServerError
                       : TqFailureReason::kInvalidRequest;
}
