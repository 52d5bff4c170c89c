/* A small CGI program: answers with plain text naming the query and the size of the
 * posted body. The text is plain on purpose: the query is echoed as the client sent it. */
#include <stdio.h>
#include <stdlib.h>

int main(void) {
    const char* query = getenv("QUERY_STRING");
    char buffer[4096];
    unsigned long total = 0;
    size_t n;
    /* The server closes standard input after the body (at once for GET and HEAD), so
     * reading to its end counts exactly the bytes that were posted. */
    while ((n = fread(buffer, 1, sizeof buffer, stdin)) > 0)
        total += (unsigned long)n;
    printf("Content-Type: text/plain\r\n\r\n"
           "Hello from CGI.\nQUERY_STRING=%s\nbody=%lu bytes\n",
           query ? query : "", total);
    return 0;
}
