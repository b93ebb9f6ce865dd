#pragma once

#include <curl/curl.h>

#include <memory>

#include "platform/auto_handle.h"

// Owners of libcurl's handles, each released with libcurl's own function.
using CurlPtr = std::unique_ptr<CURL, FnDeleter<curl_easy_cleanup>>;
using CurlSharePtr = std::unique_ptr<CURLSH, FnDeleter<curl_share_cleanup>>;
using SlistPtr = std::unique_ptr<curl_slist, FnDeleter<curl_slist_free_all>>;
// Text libcurl allocated (curl_easy_escape and the like).
using CurlTextPtr = std::unique_ptr<char, FnDeleter<curl_free>>;
