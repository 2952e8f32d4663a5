// Identifier pool: every identifier text is kept once for the whole process, so that
// identifiers compare by address and their texts stay valid until the process ends.
#pragma once

#include <string_view>

void SIdPool_Init();

// The pooled copy of text (the same address for the same text).
const char* SIdPool_Put(std::string_view text);
// Number of distinct identifiers pooled so far.
std::size_t SIdPool_Count();
