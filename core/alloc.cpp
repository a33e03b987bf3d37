#include "core/alloc.h"

#include <cstdlib>

namespace {
int fail_countdown = -1;

bool should_fail() {
    if (fail_countdown < 0) return false;
    if (fail_countdown-- == 0) return true;
    return false;
}
}  // namespace

void* zv_calloc(std::size_t size) {
    return should_fail() ? nullptr : std::calloc(1, size);
}

void* zv_realloc(void* block, std::size_t size) {
    return should_fail() ? nullptr : std::realloc(block, size);
}

void zv_free(void* block) {
    std::free(block);
}

void zv_alloc_fail_after(int after) {
    fail_countdown = after;
}
