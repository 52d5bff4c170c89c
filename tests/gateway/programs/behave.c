/* A CGI program for the gateway tests that misbehaves as its query asks: never ends,
 * floods standard error, prints too little, writes before it reads, lingers after its
 * output... */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const char kHead[] = "Content-Type: text/plain\r\n\r\n";

static void writeAll(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, bytes, length);
        if (n <= 0)
            exit(3);
        bytes += n;
        length -= (size_t)n;
    }
}

static void say(const char* text) {
    writeAll(1, text, strlen(text));
}

static void waitForever(void) {
    for (;;)
        pause();
}

static size_t readInput(void) {
    char buffer[4096];
    size_t total = 0;
    ssize_t n;
    while ((n = read(0, buffer, sizeof buffer)) > 0)
        total += (size_t)n;
    return total;
}

static void floodErrors(size_t bytes) {
    char block[4096];
    memset(block, 'e', sizeof block);
    for (size_t sent = 0; bytes == 0 || sent < bytes; sent += sizeof block)
        writeAll(2, block, sizeof block);
}

int main(void) {
    const char* mode = getenv("QUERY_STRING");
    if (mode == NULL)
        mode = "";

    if (strcmp(mode, "forever") == 0) {
        waitForever();
    } else if (strcmp(mode, "stall") == 0) {
        say(kHead);
        say("started\n");
        waitForever();
    } else if (strcmp(mode, "flood") == 0) {
        floodErrors(1 << 20);
        say(kHead);
        say("flooded\n");
    } else if (strcmp(mode, "flood-forever") == 0) {
        floodErrors(0);
    } else if (strcmp(mode, "exit") == 0) {
        return 0;
    } else if (strcmp(mode, "ten") == 0) {
        say("0123456789");
    } else if (strcmp(mode, "eleven") == 0) {
        say("0123456789A");
    } else if (strcmp(mode, "location") == 0) {
        say("Location: /x\r\n\r\n");
    } else if (strcmp(mode, "lower-location") == 0) {
        say("location: /x\r\n\r\n");
    } else if (strcmp(mode, "tight-location") == 0) {
        say("Location:/x\r\n\r\n");
    } else if (strcmp(mode, "write-first") == 0) {
        /* More than any pipe holds, before a byte of input is read. */
        static char block[256 * 1024];
        memset(block, 'w', sizeof block);
        say(kHead);
        writeAll(1, block, sizeof block);
        char tail[64];
        snprintf(tail, sizeof tail, "\nread %zu\n", readInput());
        say(tail);
    } else if (strcmp(mode, "ignore-input") == 0) {
        say(kHead);
        say("ignored\n");
    } else if (strcmp(mode, "no-read") == 0) {
        waitForever();
    } else if (strcmp(mode, "linger") == 0) {
        say(kHead);
        say("lingering\n");
        close(1);
        close(2);
        waitForever();
    } else if (strcmp(mode, "finish-later") == 0) {
        /* Answers, lets go of its output, then finishes its work: a marker file in its
         * directory a moment later. */
        say(kHead);
        say("answered\n");
        close(1);
        close(2);
        usleep(300000);
        FILE* marker = fopen("finished.txt", "w");
        if (marker == NULL)
            return 4;
        fprintf(marker, "%d\n", (int)getpid());
        fclose(marker);
    } else {
        say(kHead);
        say("unknown mode\n");
    }
    return 0;
}
