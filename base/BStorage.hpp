// Heap blocks for the base library. A failed allocation is reported through the message
// system instead of throwing, so callers inside an ignore bracket see an empty pointer
// and decide themselves; outside a bracket the report is fatal.
#pragma once

#include <cstddef>

void BStorage_Init();

// p := a fresh block of size bytes. On failure ("BStorage", 0) is reported, and a request
// for 0 bytes is reported as ("BStorage", 1); p is empty (nullptr) in both cases.
void BStorage_ALLOCATE(void*& p, std::size_t size);
// Frees the block p (of size bytes) and empties p; an empty p is left alone.
void BStorage_DEALLOCATE(void*& p, std::size_t size);
