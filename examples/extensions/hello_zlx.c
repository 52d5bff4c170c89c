/*
 * hello.zlx: a ZLX extension that answers with a small HTML page naming the script and
 * the query it was called with. Place it under the extension root and request
 * /scripts/hello.zlx?name=value.
 */
#include <stdlib.h>
#include <string.h>

#include "velnor/velnor.h"

/* The value of the variable named exactly `name`, or "" when the table has none. */
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

/* Both texts come from the client, so they go into the page escaped. */
static const char* entityFor(char c) {
    switch (c) {
    case '&':
        return "&amp;";
    case '<':
        return "&lt;";
    case '>':
        return "&gt;";
    case '"':
        return "&quot;";
    case '\'':
        return "&#39;";
    default:
        return NULL;
    }
}

/* Bytes `text` takes once escaped; writes them at `out` unless it is null. */
static size_t escape(const char* text, char* out) {
    size_t length = 0;
    for (; *text != '\0'; ++text) {
        const char* entity = entityFor(*text);
        const size_t size = entity != NULL ? strlen(entity) : 1;
        if (out != NULL) {
            if (entity != NULL)
                memcpy(out + length, entity, size);
            else
                out[length] = *text;
        }
        length += size;
    }
    return length;
}

static const char* const kParts[] = {
    "Content-Type: text/html\r\n\r\n"
    "<!DOCTYPE html>\n<html><head><title>hello</title></head><body>\n"
    "<p>Hello from ",
    NULL, /* SCRIPT_NAME */
    ".</p>\n<p>Query: ",
    NULL, /* QUERY_STRING */
    "</p>\n</body></html>\n",
};

VELNOR_EXPORT void fnZlx(VelnorTextTable* variables, VelnorByteBuffer* body,
                         VelnorByteBuffer* response) {
    const char* values[2];
    size_t total = 0;
    size_t i;
    size_t next = 0;
    char* block;
    size_t used = 0;
    (void)body;

    values[0] = variable(variables, "SCRIPT_NAME");
    values[1] = variable(variables, "QUERY_STRING");
    for (i = 0; i < sizeof kParts / sizeof kParts[0]; ++i)
        total += kParts[i] != NULL ? strlen(kParts[i]) : escape(values[next++], NULL);

    /* One more byte for the NUL the server expects after the answer. */
    block = velnor_alloc(total + 1);
    if (block == NULL)
        return; /* no answer: the server replies 500 */
    next = 0;
    for (i = 0; i < sizeof kParts / sizeof kParts[0]; ++i) {
        if (kParts[i] != NULL) {
            memcpy(block + used, kParts[i], strlen(kParts[i]));
            used += strlen(kParts[i]);
        } else {
            used += escape(values[next++], block + used);
        }
    }
    block[used] = '\0';
    response->data = block;
    response->length = (uint32_t)used;
}
