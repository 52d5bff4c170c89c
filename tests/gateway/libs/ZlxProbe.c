/* A ZLX extension whose answer, well formed or broken on purpose, is chosen by the
   request's query. */
#include <malloc.h>
#ifdef _WIN32
/* The Windows C runtime names the size of a heap block _msize. */
#define malloc_usable_size _msize
#endif
#include <stdlib.h>
#include <string.h>

#include "velnor/velnor.h"

static const char* variable(const VelnorTextTable* table, const char* name) {
    const char* entry = table->buffer != NULL ? table->buffer->data : NULL;
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

/* Leaves `length` bytes of `bytes` as the answer, in a block of `length` + 1 bytes. */
static void answer(VelnorByteBuffer* response, const char* bytes, size_t length,
                   uint32_t announced) {
    char* block = calloc(length + 1, 1);
    if (block == NULL)
        return;
    memcpy(block, bytes, length);
    response->data = block;
    response->length = announced;
}

#define ANSWER(text) answer(response, text, sizeof text - 1, (uint32_t)(sizeof text - 1))

/* "NAME=VALUE\n" for every variable, then what the body held, after one line telling
   whether the server left the cursor at the first entry. */
static void listVariables(VelnorTextTable* variables, VelnorByteBuffer* body,
                          VelnorByteBuffer* response) {
    static const char kHead[] = "Content-Type: text/plain\r\n\r\n";
    const char* first = variables->buffer != NULL ? variables->buffer->data : NULL;
    const char* cursorLine = variables->cursor == first ? "cursor=first\n" : "cursor=moved\n";
    const char* entry = first;
    size_t total = sizeof kHead - 1 + strlen(cursorLine) + 6 + (body->data ? body->length : 0);
    char* block;
    size_t used = 0;
    for (; entry != NULL && *entry != '\0'; entry += strlen(entry) + 1)
        total += strlen(entry) + 1;
    block = malloc(total + 1);
    if (block == NULL)
        return;
    memcpy(block, kHead, sizeof kHead - 1);
    used = sizeof kHead - 1;
    memcpy(block + used, cursorLine, strlen(cursorLine));
    used += strlen(cursorLine);
    for (entry = first; entry != NULL && *entry != '\0';) {
        const char* value = entry + strlen(entry) + 1;
        memcpy(block + used, entry, strlen(entry));
        used += strlen(entry);
        block[used++] = '=';
        memcpy(block + used, value, strlen(value));
        used += strlen(value);
        block[used++] = '\n';
        entry = value + strlen(value) + 1;
    }
    memcpy(block + used, "body=", 5);
    used += 5;
    if (body->data != NULL) {
        memcpy(block + used, body->data, body->length);
        used += body->length;
    }
    block[used++] = '\n';
    block[used] = '\0';
    response->data = block;
    response->length = (uint32_t)used;
    /* Walking the table is allowed; the server must not rely on where it is left. */
    variables->cursor = NULL;
}

VELNOR_EXPORT void fnZlx(VelnorTextTable* variables, VelnorByteBuffer* body,
                         VelnorByteBuffer* response) {
    const char* mode = variable(variables, "QUERY_STRING");
    if (strcmp(mode, "hello5") == 0) {
        ANSWER("Content-Type: text/html\r\n\r\nhello");
    } else if (strcmp(mode, "nohead") == 0) {
        ANSWER("Content-Type: text/plain\r\nhello");
    } else if (strcmp(mode, "location") == 0) {
        ANSWER("Location: http://example.org/\r\n\r\n");
    } else if (strcmp(mode, "location-lower") == 0) {
        ANSWER("location: http://example.org/\r\n\r\nmoved");
    } else if (strcmp(mode, "location-noblank") == 0) {
        ANSWER("Location:/x\r\n\r\n");
    } else if (strcmp(mode, "binary") == 0) {
        ANSWER("X-A: b\r\n\r\nab\0cd");
    } else if (strcmp(mode, "nul-in-head") == 0) {
        ANSWER("X-A: b\0\r\n\r\nbody");
    } else if (strcmp(mode, "length-zero") == 0) {
        answer(response, "X-A: b\r\n\r\nbody", 14, 0);
    } else if (strcmp(mode, "length-short") == 0) {
        answer(response, "X-A: b\r\n\r\nbody", 14, 7);
    } else if (strcmp(mode, "length-over") == 0) {
        /* A 31-byte block that claims 20000 bytes: the rest would be someone else's heap. */
        answer(response, "X-A: b\r\n\r\n0123456789abcdefghij", 30, 20000);
    } else if (strcmp(mode, "length-block") == 0 || strcmp(mode, "length-block+1") == 0) {
        /* The whole block as the allocator sized it, and one byte past it. */
        answer(response, "X-A: b\r\n\r\nbody", 14, 0);
        if (response->data != NULL)
            response->length = (uint32_t)malloc_usable_size(response->data) +
                               (strcmp(mode, "length-block+1") == 0 ? 1u : 0u);
    } else if (strcmp(mode, "null-data") == 0) {
        response->length = 5;
    } else if (strcmp(mode, "variables") == 0) {
        listVariables(variables, body, response);
    }
    /* Any other mode ("none") leaves no answer. */
}
