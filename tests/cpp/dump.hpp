// orvelio_cxx_dump: everything the C++ API gives for a file, as the text tests/c/dump.c writes
// from the C API (see dump.cpp).
#pragma once

#include <orvelio/orvelio.hpp>

#include <cstdio>

void orvelio_cxx_dump(std::FILE *out, const orvelio::Reader &reader);
