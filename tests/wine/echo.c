/* A CGI program for the Windows end-to-end run: a plain-text head, the request method and
 * length the server passed, then the posted body byte for byte. Standard input and output
 * are switched to binary first: in text mode the C runtime would add a CR before every LF
 * and stop reading at a Ctrl-Z. */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

int main(void) {
    const char* method = getenv("REQUEST_METHOD");
    const char* length = getenv("CONTENT_LENGTH");
    char buffer[4096];
    size_t n;
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    printf("Content-Type: text/plain\r\n\r\n%s %s\n", method ? method : "-", length ? length : "-");
    while ((n = fread(buffer, 1, sizeof buffer, stdin)) > 0)
        fwrite(buffer, 1, n, stdout);
    return 0;
}
