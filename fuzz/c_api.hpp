// check_c_api: the C API's answers for an input against the C++ API's (fuzz/c_api.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

void check_c_api(const uint8_t *data, size_t size);
