/* A CAPI extension whose answer, well formed or broken on purpose, is chosen by the
   request's query. */
#include <malloc.h>
#ifdef _WIN32
/* The Windows C runtime names the size of a heap block _msize. */
#define malloc_usable_size _msize
#endif
#include <stdlib.h>
#include <string.h>

#include "velnor/velnor.h"

static const char* variable(const char* entries, const char* name) {
    const char* entry = entries;
    if (entry == NULL)
        return "";
    while (*entry != '\0') {
        const char* value = entry + strlen(entry) + 1;
        if (strcmp(entry, name) == 0)
            return value;
        entry = value + strlen(value) + 1;
    }
    return "";
}

static char* copyOf(const char* bytes, size_t length) {
    char* block = calloc(length + 1, 1);
    if (block != NULL)
        memcpy(block, bytes, length);
    return block;
}

#define COPY(text) copyOf(text, sizeof text - 1)

/* The three arguments laid end to end, NULs of the entries block shown as '|'. */
static int echo(const char* variables, uint32_t variablesLength, const char* head,
                uint32_t headLength, const char* body, uint32_t bodyLength, char** response) {
    static const char kStatus[] = "HTTP/1.0 200 OK\r\n\r\n";
    const size_t total = sizeof kStatus - 1 + variablesLength + 1 + headLength + 1 + bodyLength;
    char* block = calloc(total + 1, 1);
    size_t used = 0;
    uint32_t i;
    if (block == NULL)
        return 0;
    memcpy(block, kStatus, sizeof kStatus - 1);
    used = sizeof kStatus - 1;
    /* The final NUL after the entries must be there, so it is shown too. */
    for (i = 0; i <= variablesLength; ++i)
        block[used++] = variables[i] == '\0' ? '|' : variables[i];
    if (head != NULL)
        memcpy(block + used, head, headLength);
    used += headLength;
    block[used++] = '#';
    if (body != NULL)
        memcpy(block + used, body, bodyLength);
    used += bodyLength;
    *response = block;
    return (int)used;
}

VELNOR_EXPORT int fnCAPI(const char* variables, uint32_t variablesLength, const char* head,
                         uint32_t headLength, const char* body, uint32_t bodyLength,
                         char** response) {
    const char* mode = variable(variables, "QUERY_STRING");
    if (*response != NULL)
        return 0; /* the server promised a null pointer; an answer would hide that */
    if (strcmp(mode, "full") == 0) {
        *response = COPY("HTTP/1.0 200 OK\r\nX-A: b\r\n\r\nbody");
        return 31;
    }
    if (strcmp(mode, "zero") == 0) {
        *response = COPY("HTTP/1.0 200 OK\r\n\r\nab\0cd");
        return 0;
    }
    if (strcmp(mode, "part") == 0) {
        *response = COPY("HTTP/1.0 200 OK\r\n\r\nbody");
        return 8;
    }
    if (strcmp(mode, "negative") == 0) {
        *response = COPY("HTTP/1.0 200 OK\r\n\r\nbody");
        return -1;
    }
    if (strcmp(mode, "count-over") == 0) {
        /* 32 bytes that claim 20000: the rest would be someone else's heap. */
        *response = COPY("HTTP/1.0 200 OK\r\nX-A: b\r\n\r\nbody");
        return 20000;
    }
    if (strcmp(mode, "count-block") == 0 || strcmp(mode, "count-block+1") == 0) {
        /* The whole block as the allocator sized it, and one byte past it. */
        *response = COPY("HTTP/1.0 200 OK\r\n\r\nbody");
        if (*response == NULL)
            return 0;
        return (int)malloc_usable_size(*response) + (strcmp(mode, "count-block+1") == 0);
    }
    if (strcmp(mode, "zero-unterminated") == 0) {
        /* A text answer whose block holds no NUL at all. */
        char* block = malloc(32);
        if (block != NULL)
            memset(block, 'x', malloc_usable_size(block));
        *response = block;
        return 0;
    }
    if (strcmp(mode, "echo") == 0)
        return echo(variables, variablesLength, head, headLength, body, bodyLength, response);
    return 5; /* "null": a count but no answer */
}
