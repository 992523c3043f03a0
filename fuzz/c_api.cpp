// The C API under the fuzzer: everything it gives for the input (tests/c/dump.c, compiled here
// as C++) must be the text the C++ API gives (tests/cpp/dump.cpp), so that every status, error
// offset and message, and every array, agree bit for bit; nothing may escape it.
#include "c_api.hpp"

#include "../tests/c/dump.h"
#include "../tests/cpp/dump.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// What write(out) prints, as a string.
template <class F> std::string printed(F &&write) {
    char *text = nullptr;
    size_t length = 0;
    FILE *out = open_memstream(&text, &length);
    if (!out)
        std::abort();
    write(out);
    std::fclose(out);
    std::string s(text, length);
    std::free(text);
    return s;
}

} // namespace

void check_c_api(const uint8_t *data, size_t size) {
    orv_reader *r = nullptr;
    if (orv_open_memory(data, size, 0, &r, nullptr) != ORV_OK)
        std::abort(); // opening memory reads nothing: it cannot fail
    const std::string c = printed([&](FILE *out) { orv_dump(out, r); });
    orv_close(r);
    const orvelio::Reader reader = orvelio::Reader::from_memory({data, size});
    const std::string cxx = printed([&](FILE *out) { orvelio_cxx_dump(out, reader); });
    if (c != cxx) {
        std::fprintf(stderr, "the C API differs from the C++ API:\n--- C\n%s\n--- C++\n%s\n", c.c_str(), cxx.c_str());
        std::abort();
    }
}
