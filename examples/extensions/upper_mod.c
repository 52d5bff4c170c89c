/*
 * upper.mod: a handler module. Placed next to the velnor executable it takes over every
 * file ending in ".upper" and answers with the file's text in capitals, as text/plain.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "velnor/velnor.h"

static const char kHead[] = "Content-Type: text/plain\r\n\r\n";

/* Files past this size are refused rather than held in memory whole. */
#define UPPER_FILE_LIMIT (16u * 1024u * 1024u)

static const char* variable(const VelnorTextTable* table, const char* name) {
    const char* entry = table->buffer != NULL ? table->buffer->data : NULL;
    if (entry == NULL)
        return NULL;
    while (*entry != '\0') {
        const char* value = entry + strlen(entry) + 1;
        if (strcmp(entry, name) == 0)
            return value;
        entry = value + strlen(value) + 1;
    }
    return NULL;
}

/* DOCUMENT_ROOT and SCRIPT_NAME together name the requested file: a new block, or NULL. */
static char* requestedFile(const VelnorTextTable* variables) {
    const char* root = variable(variables, "DOCUMENT_ROOT");
    const char* script = variable(variables, "SCRIPT_NAME");
    size_t rootLength;
    size_t scriptLength;
    char* path;
    if (root == NULL || script == NULL || *script == '\0')
        return NULL;
    rootLength = strlen(root);
    scriptLength = strlen(script);
    path = malloc(rootLength + scriptLength + 1);
    if (path == NULL)
        return NULL;
    memcpy(path, root, rootLength);
    memcpy(path + rootLength, script, scriptLength + 1);
    return path;
}

/* The head followed by the whole file: a block for the server (velnor_alloc) with its NUL,
   or NULL. */
static char* readAfterHead(FILE* file, size_t* length) {
    size_t capacity = 4096;
    size_t used = sizeof kHead - 1;
    char* block = velnor_alloc(capacity);
    if (block == NULL)
        return NULL;
    memcpy(block, kHead, used);
    for (;;) {
        size_t got;
        if (capacity - used < 2) {
            char* grown;
            if (capacity - (sizeof kHead - 1) >= UPPER_FILE_LIMIT) {
                velnor_free(block);
                return NULL;
            }
            grown = velnor_realloc(block, capacity * 2);
            if (grown == NULL) {
                velnor_free(block);
                return NULL;
            }
            block = grown;
            capacity *= 2;
        }
        got = fread(block + used, 1, capacity - used - 1, file);
        used += got;
        if (got == 0)
            break;
    }
    if (ferror(file)) {
        velnor_free(block);
        return NULL;
    }
    block[used] = '\0';
    *length = used;
    return block;
}

VELNOR_EXPORT void fnZlx(VelnorTextTable* variables, VelnorByteBuffer* body,
                         VelnorByteBuffer* response) {
    char* path = requestedFile(variables);
    FILE* file;
    char* block;
    size_t length = 0;
    size_t i;
    (void)body;

    if (path == NULL)
        return; /* no answer: the server replies 500 */
    file = fopen(path, "rb");
    free(path);
    if (file == NULL)
        return;
    block = readAfterHead(file, &length);
    fclose(file);
    if (block == NULL)
        return;
    /* ASCII letters only: the bytes of multi-byte characters stay as they are. */
    for (i = sizeof kHead - 1; i < length; ++i) {
        if (block[i] >= 'a' && block[i] <= 'z')
            block[i] = (char)(block[i] - 'a' + 'A');
    }
    response->data = block;
    response->length = (uint32_t)length;
}
