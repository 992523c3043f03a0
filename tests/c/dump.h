/* orv_dump: everything the C API gives for a file, as text (see dump.c). */
#ifndef ORVELIO_TESTS_DUMP_H
#define ORVELIO_TESTS_DUMP_H

#include <orvelio/orvelio.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

void orv_dump(FILE *out, const orv_reader *reader);

#ifdef __cplusplus
}
#endif

#endif
