#pragma once

#include <cstdint>

// ForkGeneration: how many forks lie between this process and the one that
// loaded the library: 0 there, and in a child one more than its parent had
// at the fork. State made in one generation (pooled connections, TLS
// sessions, an open database, locks and requests in flight of other
// threads) is not the child's to use: its holders compare the generation
// they were made in with this one and start afresh, leaving the parent's
// state untouched. Reading it is one atomic load.
// Tests: tests/auth/Fork_test.cpp
uint64_t ForkGeneration() noexcept;
