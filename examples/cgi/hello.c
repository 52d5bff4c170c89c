/* A small CGI program: answers with plain text naming the query and the size of the
 * posted body. The text is plain on purpose: the query is echoed as the client sent it. */
#include <stdio.h>
#include <stdlib.h>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

int main(void) {
    const char* query = getenv("QUERY_STRING");
    char buffer[4096];
    unsigned long total = 0;
    size_t n;
#ifdef _WIN32
    /* The head's line ends reach the server as written, never as CR CR LF, and the body
     * is counted byte for byte. */
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    /* The server closes standard input after the body (at once for GET and HEAD), so
     * reading to its end counts exactly the bytes that were posted. */
    while ((n = fread(buffer, 1, sizeof buffer, stdin)) > 0)
        total += (unsigned long)n;
    printf("Content-Type: text/plain\r\n\r\n"
           "Hello from CGI.\nQUERY_STRING=%s\nbody=%lu bytes\n",
           query ? query : "", total);
    return 0;
}
