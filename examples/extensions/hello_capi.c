/*
 * hello.dll: a CAPI extension that writes its whole answer, status line included.
 * Place it under the extension root and request /scripts/hello.dll.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "velnor/velnor.h"

/* The value of the variable named exactly `name` in an entries block, or `fallback`. */
static const char* variable(const char* entries, uint32_t length, const char* name,
                            const char* fallback) {
    const char* entry = entries;
    const char* end = entries + length;
    if (entries == NULL)
        return fallback;
    while (entry < end && *entry != '\0') {
        const char* value = entry + strlen(entry) + 1;
        if (strcmp(entry, name) == 0)
            return value;
        entry = value + strlen(value) + 1;
    }
    return fallback;
}

VELNOR_EXPORT int fnCAPI(const char* variables, uint32_t variablesLength, const char* head,
                         uint32_t headLength, const char* body, uint32_t bodyLength,
                         char** response) {
    const char* protocol = variable(variables, variablesLength, "SERVER_PROTOCOL", "HTTP/1.0");
    const char* script = variable(variables, variablesLength, "SCRIPT_NAME", "");
    const char* method = variable(variables, variablesLength, "REQUEST_METHOD", "GET");
    char text[1024];
    int textLength;
    size_t size;
    char* block;
    int written;
    (void)head;
    (void)headLength;
    (void)body;

    textLength = snprintf(text, sizeof text, "Hello from %.900s (%u body bytes).\n", script,
                          (unsigned)bodyLength);
    if (textLength < 0 || (size_t)textLength >= sizeof text)
        return -1; /* nothing is sent */

    /* The answer goes out as written: HEAD gets the head alone because we leave the body
       out ourselves. */
    size = 256 + strlen(protocol) + (size_t)textLength;
    block = velnor_alloc(size);
    if (block == NULL)
        return -1;
    written = snprintf(block, size,
                       "%s 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n"
                       "Connection: close\r\n\r\n%s",
                       protocol, textLength, strcmp(method, "HEAD") == 0 ? "" : text);
    if (written < 0 || (size_t)written >= size) {
        velnor_free(block);
        return -1;
    }
    *response = block;
    return written;
}
