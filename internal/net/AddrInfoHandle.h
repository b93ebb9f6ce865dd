#pragma once

#include <netdb.h>

#include <memory>

#include "platform/auto_handle.h"

// The owner of a getaddrinfo result list.
using AddrInfoPtr = std::unique_ptr<addrinfo, FnDeleter<freeaddrinfo>>;
