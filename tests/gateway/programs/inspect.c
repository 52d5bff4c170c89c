/* A CGI program for the gateway tests: reports what it was started with (its environment
 * in order, working directory, open descriptors, blocked and ignored signals, whether it
 * leads a session of its own) and then echoes its standard input. */
#define _GNU_SOURCE
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern char** environ;

static void listDescriptors(void) {
    DIR* directory = opendir("/proc/self/fd");
    if (directory == NULL)
        return;
    printf("fds");
    struct dirent* entry;
    while ((entry = readdir(directory)) != NULL) {
        if (entry->d_name[0] == '.' || atoi(entry->d_name) == dirfd(directory))
            continue;
        printf(" %s", entry->d_name);
    }
    printf("\n");
    closedir(directory);
}

static void printSignalLines(void) {
    FILE* status = fopen("/proc/self/status", "r");
    if (status == NULL)
        return;
    char line[256];
    while (fgets(line, sizeof line, status) != NULL) {
        if (strncmp(line, "SigBlk:", 7) == 0 || strncmp(line, "SigIgn:", 7) == 0)
            fputs(line, stdout);
    }
    fclose(status);
}

int main(void) {
    printf("Content-Type: text/plain\r\n\r\n");
    for (char** variable = environ; *variable != NULL; ++variable)
        printf("env %s\n", *variable);
    char directory[4096];
    printf("cwd %s\n", getcwd(directory, sizeof directory) ? directory : "?");
    /* Listed before anything else is opened, so only inherited descriptors show. */
    listDescriptors();
    printSignalLines();
    printf("session-leader %s\n", getsid(0) == getpid() ? "yes" : "no");

    static char input[1 << 20];
    size_t total = 0, n;
    while (total < sizeof input && (n = fread(input + total, 1, sizeof input - total, stdin)) > 0)
        total += n;
    printf("stdin %zu\n", total);
    fwrite(input, 1, total, stdout);
    return 0;
}
