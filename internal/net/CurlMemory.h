#pragma once

// InitCurlOnce: curl_global_init, once per process, with memory functions
// that wipe every block libcurl gives back (its request buffers hold the
// request body, a client secret or an assertion in it) before it is freed,
// and that never leave a copy behind when a block moves. libcurl takes them
// only when this is the process's first initialisation of libcurl: a
// process that initialised it before keeps its own.
// Tests: tests/auth/azure/SecretsInMemory_test.cpp
void InitCurlOnce();
