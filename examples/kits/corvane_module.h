/* corvane_module.h: Corvane module kit for C and C++ in one header (C99, nothing beyond libc).
 *
 * A filter is one function that changes the pixels in place; the kit does everything else:
 *
 *     #include "corvane_module.h"
 *
 *     static int Invert(int32_t width, int32_t height, unsigned char *pixels, size_t length) {
 *         size_t i;
 *         for (i = 0; i < length; i++) pixels[i] = (unsigned char)(255 - pixels[i]);
 *         return 0;
 *     }
 *     int main(void) { return corvane_run(Invert); }
 *
 * `pixels` holds width * height * 3 bytes (`length`): red, green, blue for each pixel, the top row
 * first, each row left to right, nothing between rows. The picture keeps its size. Return 0 when
 * the pixels are ready, anything else when the filter cannot answer.
 *
 * Include this header before any other (it asks libc for POSIX 2008), or build in the compiler's
 * default GNU mode: cc -O2 -o mymodule mymodule.c.  Start the module with its folder as the working
 * directory, before or after the host.
 *
 * What corvane_run does for the filter:
 * - locks the folder (flock), so a second copy of a module there stops at once with exit 1;
 * - prints "Waiting ..." and waits for "go.flag" (inotify on Linux, so it wakes at once, with a
 *   one-second look behind it; a 50 ms poll elsewhere; a flag already there is taken at once);
 * - removes the flag, reads "image.xml" (a regular file, never through a link) and removes it;
 * - reads it with the same tolerance and the same messages as Corvane's own reader;
 * - writes "../image.xml" into a temporary file in ".." and renames it into place, then raises
 *   "../go.flag" the same way, so a link or an old file at either name is replaced, never written
 *   through;
 * - once it has taken the host's flag and cannot answer (a bad document, too little memory, a
 *   filter that fails, a full disk), it removes its partial answer, raises "../go.flag" without a
 *   document so the host stops waiting and reports the failure, and returns 1.
 * Progress and error messages go to standard output, as with Corvane's own modules. corvane_run
 * returns the exit code: 0 when the answer is written, else 1.
 */
#ifndef CORVANE_MODULE_H
#define CORVANE_MODULE_H

#if !defined(_GNU_SOURCE) && !defined(_DEFAULT_SOURCE) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 200809L
#endif

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <poll.h>
#include <sys/inotify.h>
#endif

#if !defined(O_NOFOLLOW) || !defined(O_DIRECTORY)
#error "corvane_module.h needs POSIX 2008: include it before any other header, or build without -std=c99"
#endif

#if defined(__GNUC__)
#define CORVANE_FUNCTION static __attribute__((unused))
#else
#define CORVANE_FUNCTION static
#endif

typedef int (*corvane_filter)(int32_t width, int32_t height, unsigned char* pixels, size_t length);

/* Everything below is the kit's own; only corvane_run is meant to be called. */

#define CORVANE_LARGEST_NUMBER 2147483647L
/* The largest count whose payload size still fits in 32 bits: the same limit as Corvane's reader. */
#define CORVANE_LARGEST_PIXEL_COUNT 1431655765UL

struct corvane_cursor {
    const unsigned char* at;
    const unsigned char* end;
};

struct corvane_piece {
    const void* bytes;
    size_t length;
};

/* Flushed line by line: a log written to a file keeps the order of events. */
CORVANE_FUNCTION void corvane_say(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

CORVANE_FUNCTION int corvane_blank(unsigned char c) {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

CORVANE_FUNCTION int corvane_digit(unsigned char c) {
    return c >= '0' && c <= '9';
}

/* The tolerant reader: TAB, LF, CR and space may stand before tags and numbers, never at the start
 * of the payload, which begins right after "<pixels>". Its messages end without a line end. */
CORVANE_FUNCTION int corvane_tag(struct corvane_cursor* cursor, const char* expected) {
    const unsigned char* close;
    size_t length;
    while (cursor->at != cursor->end && corvane_blank(*cursor->at)) cursor->at++;
    if (cursor->at != cursor->end && *cursor->at != '<') {
        printf("Tag %s not found.  Expected character '<' not found", expected);
        return 0;
    }
    close = cursor->at == cursor->end
                ? NULL
                : (const unsigned char*)memchr(cursor->at, '>', (size_t)(cursor->end - cursor->at));
    if (close == NULL) {
        printf("Tag %s not found.  The document ends early", expected);
        return 0;
    }
    length = (size_t)(close - cursor->at) + 1;
    if (length != strlen(expected) || memcmp(cursor->at, expected, length) != 0) {
        fputs("Wrong Tag: ", stdout);
        fwrite(cursor->at, 1, length, stdout);
        printf(" found but %s expected", expected);
        return 0;
    }
    cursor->at = close + 1;
    return 1;
}

/* Base 10 digit by digit: leading zeros are allowed and never mean octal ("010" is 10). */
CORVANE_FUNCTION int corvane_number(struct corvane_cursor* cursor, long* value) {
    long number = 0;
    while (cursor->at != cursor->end && corvane_blank(*cursor->at)) cursor->at++;
    if (cursor->at == cursor->end) {
        fputs("Number expected.  The document ends early", stdout);
        return 0;
    }
    if (!corvane_digit(*cursor->at)) {
        fputs("Number expected.  Invalid character not within 0-9", stdout);
        return 0;
    }
    for (; cursor->at != cursor->end && corvane_digit(*cursor->at); cursor->at++) {
        number = number * 10 + (*cursor->at - '0');
        if (number > CORVANE_LARGEST_NUMBER) {
            printf("Number too large.  Exceeds %ld", CORVANE_LARGEST_NUMBER);
            return 0;
        }
    }
    *value = number;
    return 1;
}

/* On success `*pixels` points at the payload inside the document itself: nothing is copied. */
CORVANE_FUNCTION int corvane_parse(unsigned char* document, size_t size, long* width, long* height,
                                   unsigned char** pixels, size_t* length) {
    struct corvane_cursor cursor;
    long version;
    unsigned long count;
    cursor.at = document;
    cursor.end = document + size;
    if (!corvane_tag(&cursor, "<image>") || !corvane_tag(&cursor, "<header>") ||
        !corvane_tag(&cursor, "<version>") || !corvane_number(&cursor, &version)) {
        return 0;
    }
    if (version > 1) {
        printf("Warning! This is a version 1.0 module and you passed a version %ld.0 image.xml file!\n",
               version);
    }
    if (!corvane_tag(&cursor, "</version>") || !corvane_tag(&cursor, "<width>") ||
        !corvane_number(&cursor, width) || !corvane_tag(&cursor, "</width>") ||
        !corvane_tag(&cursor, "<height>") || !corvane_number(&cursor, height) ||
        !corvane_tag(&cursor, "</height>") || !corvane_tag(&cursor, "</header>") ||
        !corvane_tag(&cursor, "<pixels>")) {
        return 0;
    }
    /* Both are at most 2^31 - 1, so the division cannot mislead where the product would overflow. */
    if (*height != 0 && (unsigned long)*width > CORVANE_LARGEST_PIXEL_COUNT / (unsigned long)*height) {
        printf("Image too large.  More than %lu pixels", CORVANE_LARGEST_PIXEL_COUNT);
        return 0;
    }
    count = (unsigned long)*width * (unsigned long)*height;
    if ((size_t)(cursor.end - cursor.at) / 3 < count) {
        fputs("Pixels expected.  The document ends early", stdout);
        return 0;
    }
    *pixels = document + (cursor.at - document);
    *length = (size_t)count * 3;
    cursor.at += *length;
    return corvane_tag(&cursor, "</pixels>") && corvane_tag(&cursor, "</image>");
}

CORVANE_FUNCTION void corvane_wait_for_flag(void) {
    int watch = -1;
    corvane_say("Waiting ...\n");
#ifdef __linux__
    /* The watch is set before the first look, so a flag raised in between is not missed. */
    watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch >= 0 && inotify_add_watch(watch, ".", IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
        close(watch);
        watch = -1;
    }
#endif
    while (access("go.flag", F_OK) != 0) {
#ifdef __linux__
        if (watch >= 0) {
            char events[4096];
            struct pollfd ready;
            ready.fd = watch;
            ready.events = POLLIN;
            ready.revents = 0;
            /* The one-second bound covers file systems that send no events (network mounts). */
            if (poll(&ready, 1, 1000) > 0) {
                while (read(watch, events, sizeof events) > 0) continue;
            }
            continue;
        }
#endif
        {
            struct timespec pause;
            pause.tv_sec = 0;
            pause.tv_nsec = 50L * 1000L * 1000L;
            nanosleep(&pause, NULL);
        }
    }
    if (watch >= 0) close(watch);
}

/* Reads the whole of "image.xml" without following a link and without blocking on a FIFO. */
CORVANE_FUNCTION unsigned char* corvane_read_document(size_t* size) {
    struct stat status;
    unsigned char* document = NULL;
    size_t got = 0;
    int fd = open("image.xml", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return NULL;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size >= 0 &&
        (uintmax_t)status.st_size < (uintmax_t)SIZE_MAX) {
        document = (unsigned char*)malloc((size_t)status.st_size + 1);
        while (document != NULL && got < (size_t)status.st_size) {
            size_t want = (size_t)status.st_size - got;
            ssize_t count = read(fd, document + got, want > (1u << 30) ? (1u << 30) : want);
            if (count == 0) break; /* cut short while we read: the parse refuses it */
            if (count < 0 && errno == EINTR) continue;
            if (count < 0) {
                free(document);
                document = NULL;
                break;
            }
            got += (size_t)count;
        }
    }
    close(fd);
    *size = got;
    return document;
}

CORVANE_FUNCTION int corvane_write_all(int fd, const unsigned char* bytes, size_t length) {
    while (length > 0) {
        ssize_t count = write(fd, bytes, length > (1u << 30) ? (1u << 30) : length);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return 0;
        bytes += count;
        length -= (size_t)count;
    }
    return 1;
}

/* Writes into a new file next to `path` and renames it over `path`: whatever stood there (an old
 * file, a link planted by someone else) is replaced, never written through. */
CORVANE_FUNCTION int corvane_write_safely(const char* path, const struct corvane_piece* pieces, int count) {
    char temporary[64];
    int fd;
    int ok = 1;
    int i;
    snprintf(temporary, sizeof temporary, "../.%s.%ld", path + 3, (long)getpid());
    unlink(temporary); /* ours by name; a link there is removed, not followed */
    fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    for (i = 0; i < count && ok; i++) {
        ok = corvane_write_all(fd, (const unsigned char*)pieces[i].bytes, pieces[i].length);
    }
    if (close(fd) != 0) ok = 0;
    if (ok && rename(temporary, path) == 0) return 1;
    unlink(temporary);
    return 0;
}

CORVANE_FUNCTION int corvane_raise_flag(void) {
    struct corvane_piece content;
    content.bytes = "finished";
    content.length = 8;
    return corvane_write_safely("../go.flag", &content, 1);
}

/* The failure flag: no answer, but the host is told at once instead of waiting for ever. */
CORVANE_FUNCTION int corvane_fail(const char* message) {
    if (message != NULL) corvane_say(message);
    corvane_say("\n");
    if (corvane_raise_flag()) {
        corvane_say("Error: no answer; ../go.flag raised without image.xml so the host stops waiting\n");
    } else {
        corvane_say("Error: no answer, and ../go.flag could not be raised either\n");
    }
    return 1;
}

/* Runs one exchange with `filter`; returns the exit code for main (0 answered, 1 not). */
CORVANE_FUNCTION int corvane_run(corvane_filter filter) {
    static const char tail[] = "</pixels></image>";
    struct corvane_piece answer[3];
    char head[160];
    unsigned char* document;
    unsigned char* pixels = NULL;
    size_t size = 0;
    size_t length = 0;
    long width = 0;
    long height = 0;
    int folder;
    /* A write over the file-size limit must fail with an error we report, not end the process. */
    signal(SIGXFSZ, SIG_IGN);
    folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0 && flock(folder, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        corvane_say("Another module is already waiting in this folder; this one stops\n");
        return 1;
    }
    /* `folder` stays open, and locked, until the process ends. */
    corvane_wait_for_flag();
    if (remove("go.flag") != 0) {
        /* Not taken part: a later run must not answer this flag's document twice. */
        printf("go.flag could not be removed (%s); not answering\n", strerror(errno));
        fflush(stdout);
        return 1;
    }
    corvane_say("Read XML\n");
    document = corvane_read_document(&size);
    if (document == NULL) return corvane_fail("image.xml cannot be opened");
    if (remove("image.xml") != 0) {
        free(document);
        return corvane_fail(
            "image.xml could not be removed after reading; a second run would answer it again");
    }
    corvane_say("Parse XML\n");
    if (!corvane_parse(document, size, &width, &height, &pixels, &length)) {
        free(document);
        return corvane_fail(NULL);
    }
    corvane_say("Converting Image\n");
    if (filter((int32_t)width, (int32_t)height, pixels, length) != 0) {
        free(document);
        return corvane_fail("The filter failed");
    }
    corvane_say("Save XML\n");
    snprintf(head, sizeof head,
             "<image><header><version>1</version><width>%ld</width><height>%ld</height></header><pixels>",
             width, height);
    answer[0].bytes = head;
    answer[0].length = strlen(head);
    answer[1].bytes = pixels;
    answer[1].length = length;
    answer[2].bytes = tail;
    answer[2].length = sizeof tail - 1;
    if (!corvane_write_safely("../image.xml", answer, 3)) {
        free(document);
        return corvane_fail("../image.xml could not be written");
    }
    free(document);
    corvane_say("Start Corvane\n");
    if (!corvane_raise_flag()) {
        remove("../image.xml");
        return corvane_fail("../go.flag could not be raised");
    }
    return 0;
}

#endif /* CORVANE_MODULE_H */
