// Zero-filled allocation for the gateway's records, with a failure switch for tests.
// Product code allocates only through here, so every "memory exhausted" path can be
// exercised without starving the process.
#pragma once

#include <cstddef>

void* zv_calloc(std::size_t size);
void* zv_realloc(void* block, std::size_t size);
void zv_free(void* block);

// Tests: make the allocation that comes `after` successful ones from now fail (0 = the
// next one), once. A negative value switches failures off.
void zv_alloc_fail_after(int after);
