#pragma once

#include <sqlite3.h>

#include <memory>

#include "platform/auto_handle.h"

// Owners of SQLite's handles, each released with SQLite's own function.
using DatabasePtr = std::unique_ptr<sqlite3, FnDeleter<sqlite3_close>>;
using StatementPtr = std::unique_ptr<sqlite3_stmt, FnDeleter<sqlite3_finalize>>;
