/* orvel_cdump FILE...: for each file, "== FILE" and everything the C API gives for it (dump.c),
 * opened by path; opened through a descriptor and from memory it must give the same text. */
#define _POSIX_C_SOURCE 200809L
#include "dump.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* The dump of one reader, or NULL when the file cannot be opened that way (said on out). */
static char *dump_of(orv_status status, orv_reader *r, orv_error *e) {
    char *text = NULL;
    size_t length = 0;
    FILE *out = open_memstream(&text, &length);
    if (!out)
        abort();
    if (status == ORV_OK)
        orv_dump(out, r);
    else
        fprintf(out, "open: %s %s\n", orv_status_name(status), orv_error_message(e));
    orv_error_free(e);
    orv_close(r);
    fclose(out);
    return text;
}

int main(int argc, char **argv) {
    int i, failed = 0;
    for (i = 1; i < argc; ++i) {
        orv_reader *r = NULL;
        orv_error *e = NULL;
        char *by_path, *by_fd, *by_memory;
        unsigned char *bytes = NULL;
        size_t size = 0;
        FILE *f;
        int fd;
        orv_status s = orv_open(argv[i], &r, &e);
        by_path = dump_of(s, r, e);

        fd = open(argv[i], O_RDONLY);
        r = NULL;
        e = NULL;
        s = orv_open_fd(fd, &r, &e);
        by_fd = dump_of(s, r, e);
        if (fd >= 0)
            close(fd);

        f = fopen(argv[i], "rb");
        if (f) {
            long n;
            fseek(f, 0, SEEK_END);
            n = ftell(f);
            fseek(f, 0, SEEK_SET);
            size = n > 0 ? (size_t)n : 0;
            bytes = (unsigned char *)malloc(size ? size : 1);
            if (!bytes || fread(bytes, 1, size, f) != size)
                abort();
            fclose(f);
        }
        r = NULL;
        e = NULL;
        s = orv_open_memory(bytes, size, 0, &r, &e);
        by_memory = dump_of(s, r, e);

        printf("== %s\n%s", argv[i], by_path);
        if (f && (strcmp(by_path, by_fd) != 0 || strcmp(by_path, by_memory) != 0)) {
            fprintf(stderr, "%s: the descriptor or memory reader gives another answer:\n%s\n%s", argv[i], by_fd,
                    by_memory);
            failed = 1;
        }
        free(by_path);
        free(by_fd);
        free(by_memory);
        free(bytes);
    }
    return failed;
}
