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
 * first, each row left to right, nothing between rows. Return 0 when the pixels are ready,
 * anything else when the filter cannot answer.
 *
 * An answer of another size (a thumbnail, a crop, a quarter turn) asks the kit for its pixels:
 *
 *     unsigned char *out = corvane_reshape(new_width, new_height);   (NULL: too large, or no memory)
 *
 * gives room for that many pixels of the picture's form, zero, which the kit answers instead of
 * `pixels` once the filter returns 0; a second call replaces the first.
 *
 * A filter that takes parameters gets main's argc and argv (argv[0] is the program):
 *
 *     static int Brighten(int32_t width, int32_t height, unsigned char *pixels, size_t length,
 *                         int argc, char **argv);   (say, argc > 1 ? atoi(argv[1]) : 16)
 *     int main(int argc, char **argv) { return corvane_run_args(Brighten, argc, argv); }
 *
 * Usage of a module on corvane_run_args or corvane_run_forms: mymodule [--timeout SECONDS] [ARGS...]
 *   --timeout SECONDS (or --timeout=SECONDS), first: give up when no picture comes within that
 *   long, with the line "No picture from the host within SECONDS s; giving up", return 1 and write
 *   nothing (whole seconds, 1 to 4294967295; without it the module waits for ever). The kit takes
 *   it off argv before the filter sees the rest (argv[0] stays); a value that is missing, not a
 *   whole number or 0 is refused with one line ("Error: --timeout needs a value") and a return
 *   of 2, before anything else. corvane_run has no command line: it waits for ever.
 *
 * A filter for version 2 documents (the host's --alpha and --depth 16) says so through
 * corvane_run_forms, with CORVANE_ANY_FORM for every form or CORVANE_ALPHA_FORM for pictures with
 * alpha only, and gets the form instead of the width and height:
 *
 *     static int Fade(const struct corvane_form *form, unsigned char *pixels, size_t length,
 *                     int argc, char **argv);
 *     int main(int argc, char **argv) { return corvane_run_forms(Fade, CORVANE_ANY_FORM, argc, argv); }
 *
 * form->channels is 3 (red, green, blue) or 4 (then alpha, straight: 0 transparent, the largest
 * value opaque), form->depth 8 or 16 bits per sample. Each pixel is channels * depth / 8 bytes, a
 * 16-bit sample two bytes, most significant first. A version 1 document comes as 3 channels of 8
 * bits. The answer is written in the version and form it was read in. corvane_run and
 * corvane_run_args read version 1 only, and refuse a version 2 document with the line "This module
 * reads version 1 documents only: run corvane without --alpha and --depth 16" (and the failure
 * flag); with CORVANE_ALPHA_FORM a picture without alpha is refused with "This module needs alpha
 * (4 channels): run corvane with --alpha".
 *
 * A grey picture (the host's --grey) comes as 1 channel (grey) or 2 (grey, then alpha), in a
 * version 2 document, only to a filter that says it takes grey besides its forms, by adding
 * CORVANE_GREY_FORM to them:
 *
 *     return corvane_run_forms(Level, CORVANE_ANY_FORM | CORVANE_GREY_FORM, argc, argv);
 *
 * form->channels then tells grey (1 or 2) from colour (3 or 4), and the answer keeps that many
 * channels. With CORVANE_ALPHA_FORM | CORVANE_GREY_FORM, pictures of 2 or 4 channels come through.
 * A filter without CORVANE_GREY_FORM still gets 3 and 4 channels only, and the kit refuses a grey
 * picture with "This module needs colour (3 or 4 channels): run corvane without --grey";
 * corvane_run and corvane_run_args refuse it as any version 2 document, with "This module reads
 * version 1 documents only: run corvane without --grey, --alpha and --depth 16".
 *
 * An animation (the host's --frames all) comes as its frames, all of one size. A filter written for
 * one picture is called once for each frame (`pixels` and `length` of that frame) and answers each
 * at one size; corvane_run_frames(filter, forms, argc, argv) hands a filter of the form above all
 * frames at once instead: `pixels` holds form->frames frames back to back, the first first, and
 * corvane_reshape gives room for as many. A still picture is then one frame.
 *
 * Include this header before any other (it asks libc for POSIX 2008), or build in the compiler's
 * default GNU mode: cc -O2 -o mymodule mymodule.c.  Start the module with its folder as the working
 * directory, before or after the host.
 *
 * What corvane_run, corvane_run_args and corvane_run_forms do for the filter:
 * - lock the folder (flock), so a second copy of a module there stops at once with exit 1;
 * - print "Waiting ..." and wait for "go.flag" (inotify on Linux, so it wakes at once, with a
 *   one-second look behind it; a 50 ms poll elsewhere; a flag already there is taken at once),
 *   for ever or until --timeout;
 * - hold ".corvane-busy" in the folder with flock from just before they remove the flag until the
 *   answer or failure flag is raised, so a later host can tell a module still at work;
 * - remove the flag, read "image.xml" (a regular file, never through a link) and remove it; a
 *   document longer than its own head allows (plus 4 KiB of blanks) is refused before the rest of
 *   it is read;
 * - read it with the same tolerance and the same messages as Corvane's own reader;
 * - write "../image.xml" into a new temporary file in ".." (".corvane-module-PID-XXXXXX", from
 *   mkstemp) and rename it into place, then raise "../go.flag" the same way, so a link or an old
 *   file at either name is replaced, never written through;
 * - once they have taken the host's flag and cannot answer (a bad document, too little memory, a
 *   filter that fails, a full disk, SIGINT, SIGTERM or SIGHUP), remove the partial answer, raise
 *   "../go.flag" without a document so the host stops waiting and reports the failure, and return
 *   1 (exit with 130, 143 or 129 after a signal). A flag that cannot hold its word on a full disk
 *   is raised as an empty file.
 * The kit owns the handlers of those three signals while it runs, and ignores SIGXFSZ. Progress and
 * error messages go to standard output, as with Corvane's own modules. corvane_run returns the
 * exit code: 0 when the answer is written, 2 for a wrong --timeout, else 1.
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
typedef int (*corvane_filter_args)(int32_t width, int32_t height, unsigned char* pixels, size_t length,
                                   int argc, char** argv);

/* What a document holds: its size, 1 to 4 samples per pixel (grey, grey and alpha, colour, colour
 * and alpha), 8 or 16 bits per sample, and its frames (1 for a still picture, and for each frame a filter of
 * one picture is called on). */
struct corvane_form {
    int32_t width;
    int32_t height;
    int channels;
    int depth;
    int frames;
};
typedef int (*corvane_filter_form)(const struct corvane_form* form, unsigned char* pixels, size_t length,
                                   int argc, char** argv);

/* What corvane_run_forms lets through besides version 1: every form, or pictures with alpha. */
#define CORVANE_ANY_FORM 1
#define CORVANE_ALPHA_FORM 2
/* Added to either (CORVANE_ANY_FORM | CORVANE_GREY_FORM): grey pictures, 1 or 2 channels, too. */
#define CORVANE_GREY_FORM 4

/* Everything below is the kit's own; only corvane_run, corvane_run_args and corvane_run_forms are
 * meant to be called. */

/* corvane_run and corvane_run_args: version 1 documents only. */
#define CORVANE_VERSION_1_ONLY 0
#define CORVANE_LARGEST_NUMBER 2147483647L
/* A payload must fit in 32 bits: the same limit as Corvane's reader, in pixels of each size. */
#define CORVANE_LARGEST_PAYLOAD 4294967295UL
/* The newest version read; the warning about newer ones still names the old module version. */
#define CORVANE_NEWEST_VERSION 2
/* The first bytes read: enough for any head the writers make, with room for blanks. */
#define CORVANE_HEAD_WINDOW 65536u
/* Blanks beyond the written form that a document may carry before it counts as too large. */
#define CORVANE_SLACK 4096u
/* No expected tag is longer than 18 bytes; a longer one is shown cut, not echoed whole. */
#define CORVANE_TAG_WINDOW 64u
/* The host's own limit for its --timeout. */
#define CORVANE_LONGEST_TIMEOUT 4294967295UL

struct corvane_cursor {
    const unsigned char* at;
    const unsigned char* end;
    int quiet; /* the head check reads ahead without a word */
};

struct corvane_piece {
    const void* bytes;
    size_t length;
};

/* Only version 2 names its channels and depth (and frames, 2 or more); every other version has 3
 * channels of 8 bits, and one frame. */
struct corvane_head {
    long version;
    long width;
    long height;
    long channels;
    long depth;
    long frames;
};

struct corvane_document {
    unsigned char* bytes;
    size_t size;
    uintmax_t longest; /* set when the file is longer than its head allows */
    struct corvane_head head;
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
    const unsigned char* close = NULL;
    size_t left;
    size_t length;
    while (cursor->at != cursor->end && corvane_blank(*cursor->at)) cursor->at++;
    left = (size_t)(cursor->end - cursor->at);
    if (left != 0 && *cursor->at != '<') {
        if (!cursor->quiet) printf("Tag %s not found.  Expected character '<' not found", expected);
        return 0;
    }
    if (left != 0) {
        close = (const unsigned char*)memchr(cursor->at, '>',
                                             left < CORVANE_TAG_WINDOW ? left : CORVANE_TAG_WINDOW);
    }
    if (close == NULL && left <= CORVANE_TAG_WINDOW) {
        if (!cursor->quiet) printf("Tag %s not found.  The document ends early", expected);
        return 0;
    }
    length = close == NULL ? CORVANE_TAG_WINDOW : (size_t)(close - cursor->at) + 1;
    if (close == NULL || length != strlen(expected) || memcmp(cursor->at, expected, length) != 0) {
        if (!cursor->quiet) {
            fputs("Wrong Tag: ", stdout);
            fwrite(cursor->at, 1, length, stdout);
            printf("%s found but %s expected", close == NULL ? "..." : "", expected);
        }
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
        if (!cursor->quiet) fputs("Number expected.  The document ends early", stdout);
        return 0;
    }
    if (!corvane_digit(*cursor->at)) {
        if (!cursor->quiet) fputs("Number expected.  Invalid character not within 0-9", stdout);
        return 0;
    }
    for (; cursor->at != cursor->end && corvane_digit(*cursor->at); cursor->at++) {
        number = number * 10 + (*cursor->at - '0');
        if (number > CORVANE_LARGEST_NUMBER) {
            if (!cursor->quiet) printf("Number too large.  Exceeds %ld", CORVANE_LARGEST_NUMBER);
            return 0;
        }
    }
    *value = number;
    return 1;
}

/* <name>number</name>; with `first` nonzero, a value other than `first` and `second` is refused
 * once its closing tag is read. The names are short: the tags fit in 16 bytes. */
CORVANE_FUNCTION int corvane_field(struct corvane_cursor* cursor, const char* name, long* value, long first,
                                   long second) {
    char open[16];
    char close[16];
    snprintf(open, sizeof open, "<%s>", name);
    snprintf(close, sizeof close, "</%s>", name);
    if (!corvane_tag(cursor, open) || !corvane_number(cursor, value) || !corvane_tag(cursor, close)) return 0;
    if (first == 0 || *value == first || *value == second) return 1;
    if (!cursor->quiet) printf("Wrong value: %s%ld%s must be %ld or %ld", open, *value, close, first, second);
    return 0;
}

/* Whether the next tag, after blanks, is `tag`; only the blanks are taken. */
CORVANE_FUNCTION int corvane_next_is(struct corvane_cursor* cursor, const char* tag) {
    size_t length = strlen(tag);
    while (cursor->at != cursor->end && corvane_blank(*cursor->at)) cursor->at++;
    return (size_t)(cursor->end - cursor->at) >= length && memcmp(cursor->at, tag, length) == 0;
}

/* Reads up to and including "<pixels>". */
CORVANE_FUNCTION int corvane_parse_head(struct corvane_cursor* cursor, struct corvane_head* head) {
    head->channels = 3;
    head->depth = 8;
    head->frames = 1;
    if (!corvane_tag(cursor, "<image>") || !corvane_tag(cursor, "<header>") ||
        !corvane_tag(cursor, "<version>") || !corvane_number(cursor, &head->version)) {
        return 0;
    }
    if (head->version > CORVANE_NEWEST_VERSION && !cursor->quiet) {
        printf("Warning! This is a version 1.0 module and you passed a version %ld.0 image.xml file!\n",
               head->version);
    }
    if (!corvane_tag(cursor, "</version>") || !corvane_field(cursor, "width", &head->width, 0, 0) ||
        !corvane_field(cursor, "height", &head->height, 0, 0)) {
        return 0;
    }
    if (head->version == 2 && !corvane_field(cursor, "channels", &head->channels, 0, 0)) return 0;
    if (head->channels < 1 || head->channels > 4) {
        if (!cursor->quiet)
            printf("Wrong value: <channels>%ld</channels> must be 1, 2, 3 or 4", head->channels);
        return 0;
    }
    if (head->version == 2 && !corvane_field(cursor, "depth", &head->depth, 8, 16)) return 0;
    if (head->version == 2 && corvane_next_is(cursor, "<frames>")) {
        if (!corvane_field(cursor, "frames", &head->frames, 0, 0)) return 0;
        if (head->frames < 2) {
            if (!cursor->quiet) printf("Wrong value: <frames>%ld</frames> must be 2 or more", head->frames);
            return 0;
        }
    }
    return corvane_tag(cursor, "</header>") && corvane_tag(cursor, "<pixels>");
}

CORVANE_FUNCTION unsigned long corvane_pixel_bytes(const struct corvane_head* head) {
    return (unsigned long)(head->channels * head->depth / 8);
}

/* Of each frame. */
CORVANE_FUNCTION unsigned long corvane_largest_count(const struct corvane_head* head) {
    return CORVANE_LARGEST_PAYLOAD / corvane_pixel_bytes(head) / (unsigned long)head->frames;
}

/* Both are at most 2^31 - 1, so the division cannot mislead where the product would overflow. */
CORVANE_FUNCTION int corvane_too_many_pixels(const struct corvane_head* head) {
    return head->height != 0 &&
           (unsigned long)head->width > corvane_largest_count(head) / (unsigned long)head->height;
}

/* On success `*pixels` points at the payload inside the document itself: nothing is copied. */
CORVANE_FUNCTION int corvane_parse(unsigned char* document, size_t size, struct corvane_head* head,
                                   unsigned char** pixels, size_t* length) {
    struct corvane_cursor cursor;
    unsigned long count;
    cursor.at = document;
    cursor.end = document + size;
    cursor.quiet = 0;
    if (!corvane_parse_head(&cursor, head)) return 0;
    if (corvane_too_many_pixels(head)) {
        printf("Image too large.  More than %lu pixels", corvane_largest_count(head));
        return 0;
    }
    count = (unsigned long)head->width * (unsigned long)head->height * (unsigned long)head->frames;
    if ((size_t)(cursor.end - cursor.at) / corvane_pixel_bytes(head) < count) {
        fputs("Pixels expected.  The document ends early", stdout);
        return 0;
    }
    *pixels = document + (cursor.at - document);
    *length = (size_t)count * corvane_pixel_bytes(head);
    cursor.at += *length;
    return corvane_tag(&cursor, "</pixels>") && corvane_tag(&cursor, "</image>");
}

/* "--timeout SECONDS" or "--timeout=SECONDS" first on the command line, taken off argv (argv[0]
 * moves up in its place): `*seconds` stays 0 when it is not given. 0 after saying what is wrong. */
CORVANE_FUNCTION int corvane_take_timeout(int* argc, char*** argv, uintmax_t* seconds) {
    char** args = *argv;
    const char* text;
    const char* at;
    int taken = 1;
    *seconds = 0;
    if (*argc < 2) return 1;
    if (strcmp(args[1], "--timeout") == 0 && *argc < 3) {
        corvane_say("Error: --timeout needs a value\n");
        return 0;
    }
    if (strcmp(args[1], "--timeout") == 0) {
        text = args[2];
        taken = 2;
    } else if (strncmp(args[1], "--timeout=", 10) == 0) {
        text = args[1] + 10;
    } else {
        return 1;
    }
    /* Plain decimal digits, leading zeros allowed; the value stops growing once over the limit. */
    for (at = text; corvane_digit((unsigned char)*at); at++) {
        if (*seconds <= CORVANE_LONGEST_TIMEOUT) *seconds = *seconds * 10 + (uintmax_t)(*at - '0');
    }
    if (at == text || *at != '\0' || *seconds < 1 || *seconds > CORVANE_LONGEST_TIMEOUT) {
        printf("Error: --timeout takes a whole number from 1 to %lu, not \"%s\"\n", CORVANE_LONGEST_TIMEOUT,
               text);
        fflush(stdout);
        return 0;
    }
    args[taken] = args[0];
    *argv = args + taken;
    *argc -= taken;
    return 1;
}

CORVANE_FUNCTION double corvane_clock(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

/* 1 once the flag is there; 0 when `timeout` seconds (0: no limit) pass first. */
CORVANE_FUNCTION int corvane_wait_for_flag(uintmax_t timeout) {
    const double deadline = corvane_clock() + (double)timeout;
    int watch = -1;
    int raised;
    corvane_say("Waiting ...\n");
#ifdef __linux__
    /* The watch is set before the first look, so a flag raised in between is not missed. */
    watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch >= 0 && inotify_add_watch(watch, ".", IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
        close(watch);
        watch = -1;
    }
#endif
    while (!(raised = access("go.flag", F_OK) == 0)) {
        const double left = deadline - corvane_clock();
        if (timeout != 0 && left <= 0) break;
#ifdef __linux__
        if (watch >= 0) {
            char events[4096];
            struct pollfd ready;
            ready.fd = watch;
            ready.events = POLLIN;
            ready.revents = 0;
            /* The one-second bound covers file systems that send no events (network mounts). */
            if (poll(&ready, 1, timeout != 0 && left < 1 ? (int)(left * 1000) + 1 : 1000) > 0) {
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
    return raised;
}

/* Reads until `want` bytes or the end of the file; -1 on a read error. */
CORVANE_FUNCTION int corvane_read_all(int fd, unsigned char* into, size_t want, size_t* got) {
    while (*got < want) {
        size_t part = want - *got;
        ssize_t count = read(fd, into + *got, part > (1u << 30) ? (1u << 30) : part);
        if (count == 0) break; /* cut short while we read: the parse refuses it */
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return -1;
        *got += (size_t)count;
    }
    return 0;
}

/* Whether the rest of a file longer than the window is worth reading: only when its head parses
 * to a picture the reader takes and the file is no longer than that picture's document plus the
 * slack. Otherwise `longest` tells a refusal, or the parse of the window gives its own message. */
CORVANE_FUNCTION int corvane_head_check(struct corvane_document* document, uintmax_t file_size) {
    const struct corvane_head* head = &document->head;
    struct corvane_cursor cursor;
    char digits[64];
    uintmax_t tags;
    uintmax_t longest;
    cursor.at = document->bytes;
    cursor.end = document->bytes + document->size;
    cursor.quiet = 1;
    if (!corvane_parse_head(&cursor, &document->head) || corvane_too_many_pixels(head)) return 0;
    /* The document as Corvane writes it: version 1's 101 bytes of tags, version 2's channels and
     * depth tags besides (and the frames tag), the digits and the payload. */
    tags = head->version == 2
               ? 138u + (uintmax_t)snprintf(digits, sizeof digits, "%ld%ld%ld", head->width, head->height,
                                            head->depth)
               : 101u + (uintmax_t)snprintf(digits, sizeof digits, "%ld%ld", head->width, head->height);
    if (head->frames > 1) tags += 17u + (uintmax_t)snprintf(digits, sizeof digits, "%ld", head->frames);
    longest = tags +
              corvane_pixel_bytes(head) * (uintmax_t)head->width * (uintmax_t)head->height *
                  (uintmax_t)head->frames +
              CORVANE_SLACK;
    if (file_size <= longest) return 1;
    document->longest = longest;
    return 0;
}

/* Reads "image.xml" without following a link and without blocking on a FIFO: the head window
 * first, so a file far longer than its head says costs neither the time nor the memory of reading
 * it. 0 when it cannot be opened or read (or memory runs out). */
CORVANE_FUNCTION int corvane_read_document(struct corvane_document* document) {
    struct stat status;
    size_t window;
    int ok = 0;
    int fd = open("image.xml", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    memset(document, 0, sizeof *document);
    if (fd < 0) return 0;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size >= 0 &&
        (uintmax_t)status.st_size < (uintmax_t)SIZE_MAX) {
        window =
            (uintmax_t)status.st_size < CORVANE_HEAD_WINDOW ? (size_t)status.st_size : CORVANE_HEAD_WINDOW;
        document->bytes = (unsigned char*)malloc(window + 1);
        ok = document->bytes != NULL && corvane_read_all(fd, document->bytes, window, &document->size) == 0;
        if (ok && document->size < (size_t)status.st_size &&
            corvane_head_check(document, (uintmax_t)status.st_size)) {
            unsigned char* whole = (unsigned char*)realloc(document->bytes, (size_t)status.st_size);
            ok = whole != NULL;
            if (ok) document->bytes = whole;
            ok = ok && corvane_read_all(fd, document->bytes, (size_t)status.st_size, &document->size) == 0;
        } else if (ok && document->size == (size_t)status.st_size) {
            corvane_head_check(document, (uintmax_t)status.st_size);
        }
        if (!ok) {
            free(document->bytes);
            document->bytes = NULL;
        }
    }
    close(fd);
    return ok;
}

/* What a signal handler must find to clean up: plain data, set before each step it covers. */
static char corvane_template[64];            /* "../.corvane-module-PID-XXXXXX" */
static char corvane_partial[64];             /* the temporary file being written, "" when none */
static volatile sig_atomic_t corvane_placed; /* ../image.xml renamed into place, no flag yet */
static volatile sig_atomic_t corvane_taken;  /* the host's flag is removed */
static int corvane_busy = -1;
static unsigned long corvane_answer_pixel_bytes; /* of the picture the filter is working on */
static unsigned long corvane_answer_frames;      /* the frames it is given at once */
static unsigned char* corvane_reshaped;          /* the answer corvane_reshape made, NULL: none */
static long corvane_reshaped_width;
static long corvane_reshaped_height;

/* Room for an answer of width x height pixels of the picture's form, zero (for each frame a
 * filter of frames is given); NULL when the size is negative, more than a document holds, or out
 * of memory. Only for a filter while it runs. */
CORVANE_FUNCTION unsigned char* corvane_reshape(int32_t width, int32_t height) {
    unsigned long bytes = corvane_answer_pixel_bytes * corvane_answer_frames;
    free(corvane_reshaped);
    corvane_reshaped = NULL;
    if (bytes == 0 || width < 0 || height < 0 ||
        (height != 0 && (unsigned long)width > CORVANE_LARGEST_PAYLOAD / bytes / (unsigned long)height))
        return NULL;
    corvane_reshaped = (unsigned char*)calloc((size_t)width * (size_t)height * bytes + 1, 1);
    corvane_reshaped_width = width;
    corvane_reshaped_height = height;
    return corvane_reshaped;
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

/* Writes into a new file in ".." and renames it over `path`: whatever stood there (an old file, a
 * link planted by someone else) is replaced, never written through. The name follows the pattern
 * the host sweeps once this process is gone; mkstemp makes it random and exclusive, so nothing
 * planted in advance can take it. Leaves errno set on failure. */
CORVANE_FUNCTION int corvane_write_safely(const char* path, const struct corvane_piece* pieces, int count) {
    mode_t mask;
    int fd;
    int ok = 1;
    int error = 0;
    int i;
    memcpy(corvane_partial, corvane_template, sizeof corvane_partial);
    fd = mkstemp(corvane_partial);
    if (fd < 0) {
        corvane_partial[0] = '\0';
        return 0;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    /* mkstemp makes the file private; the answer gets the mode of any new file, as the other kits
     * and the shipped modules give it, so a host run by another user can still read it. */
    mask = umask(0);
    umask(mask);
    fchmod(fd, (mode_t)(0644 & ~mask));
    for (i = 0; i < count && ok; i++) {
        ok = corvane_write_all(fd, (const unsigned char*)pieces[i].bytes, pieces[i].length);
    }
    if (!ok) error = errno;
    if (close(fd) != 0 && ok) {
        ok = 0;
        error = errno;
    }
    if (ok && rename(corvane_partial, path) == 0) {
        corvane_partial[0] = '\0';
        return 1;
    }
    if (ok) error = errno;
    unlink(corvane_partial);
    corvane_partial[0] = '\0';
    errno = error;
    return 0;
}

/* The flag holds its word where it can; on a full disk or at a file-size limit it goes up empty
 * (an empty file needs no data block), since the host counts any flag. */
CORVANE_FUNCTION int corvane_raise_flag(void) {
    struct corvane_piece content;
    content.bytes = "finished";
    content.length = 8;
    if (corvane_write_safely("../go.flag", &content, 1)) return 1;
    if (errno != ENOSPC && errno != EFBIG && errno != EDQUOT) return 0;
    return corvane_write_safely("../go.flag", &content, 0);
}

CORVANE_FUNCTION void corvane_take_busy_lock(void) {
    /* The folder lock is held while waiting too; this one tells a host that the module is at work
     * on a picture, so a late answer is not mistaken for a leftover. Without it (no such file can
     * be made) the flag's removal tells whether this folder can be used at all. */
    corvane_busy = open(".corvane-busy", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (corvane_busy >= 0) {
        while (flock(corvane_busy, LOCK_EX) != 0 && errno == EINTR) continue;
    }
}

/* Removed while still locked, so nobody takes a lock on a file that is going away. */
CORVANE_FUNCTION void corvane_release_busy_lock(void) {
    if (corvane_busy < 0) return;
    unlink(".corvane-busy");
    close(corvane_busy);
    corvane_busy = -1;
}

CORVANE_FUNCTION void corvane_print_raw(const char* text) {
    size_t length = strlen(text);
    while (length > 0) {
        ssize_t count = write(1, text, length);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return;
        text += count;
        length -= (size_t)count;
    }
}

/* Plain system calls only (access, unlink, open, write, rename, close, flock's file, _exit), and
 * mkstemp, which is an open() under a fresh name in the C libraries this runs on; the interrupted
 * code never runs again, so its half-done state does not matter. Standard output needs no flush:
 * the kit flushes after each of its own lines, and this writes past stdio. */
CORVANE_FUNCTION void corvane_on_stop(int number) {
    const char* name = number == SIGINT ? "SIGINT" : number == SIGTERM ? "SIGTERM" : "SIGHUP";
    if (!corvane_taken && access("go.flag", F_OK) == 0) {
        corvane_release_busy_lock(); /* stopped before the flag was taken: nothing to answer */
        _exit(128 + number);
    }
    if (corvane_partial[0] != '\0') unlink(corvane_partial);
    corvane_partial[0] = '\0';
    if (corvane_placed) unlink("../image.xml");
    corvane_print_raw("\nStopped by ");
    corvane_print_raw(name);
    corvane_print_raw(
        corvane_raise_flag()
            ? "\nError: no answer; ../go.flag raised without image.xml so the host stops waiting\n"
            : "\nError: no answer, and ../go.flag could not be raised either\n");
    corvane_release_busy_lock();
    _exit(128 + number);
}

CORVANE_FUNCTION void corvane_set_stop_handler(void (*handler)(int)) {
    static const int numbers[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction action;
    size_t i;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (i = 0; i < 3; i++) sigaddset(&action.sa_mask, numbers[i]); /* one stop at a time */
    for (i = 0; i < 3; i++) sigaction(numbers[i], &action, NULL);
}

/* The failure flag: no answer, but the host is told at once instead of waiting for ever. */
CORVANE_FUNCTION int corvane_fail(const char* message) {
    corvane_set_stop_handler(SIG_IGN); /* the clean-up must not be cut short */
    if (corvane_placed) remove("../image.xml");
    corvane_placed = 0;
    if (message != NULL) corvane_say(message);
    corvane_say("\n");
    if (corvane_raise_flag()) {
        corvane_say("Error: no answer; ../go.flag raised without image.xml so the host stops waiting\n");
    } else {
        corvane_say("Error: no answer, and ../go.flag could not be raised either\n");
    }
    corvane_release_busy_lock();
    return 1;
}

/* The answer is written in the version and form it was read in. */
CORVANE_FUNCTION int corvane_answer(const unsigned char* pixels, size_t length,
                                    const struct corvane_head* head) {
    static const char tail[] = "</pixels></image>";
    struct corvane_piece answer[3];
    char text[224];
    char count[40] = "";
    corvane_say("Save XML\n");
    if (head->frames > 1) snprintf(count, sizeof count, "<frames>%ld</frames>", head->frames);
    if (head->version == 2) {
        snprintf(text, sizeof text,
                 "<image><header><version>2</version><width>%ld</width><height>%ld</height><channels>%ld"
                 "</channels><depth>%ld</depth>%s</header><pixels>",
                 head->width, head->height, head->channels, head->depth, count);
    } else {
        snprintf(text, sizeof text,
                 "<image><header><version>1</version><width>%ld</width><height>%ld</height></header><pixels>",
                 head->width, head->height);
    }
    answer[0].bytes = text;
    answer[0].length = strlen(text);
    answer[1].bytes = pixels;
    answer[1].length = length;
    answer[2].bytes = tail;
    answer[2].length = sizeof tail - 1;
    return corvane_write_safely("../image.xml", answer, 3);
}

/* Why a valid document is not the filter's to answer, or NULL. */
CORVANE_FUNCTION const char* corvane_refusal(int forms, const struct corvane_head* head) {
    /* The frames of a version 1 picture come in a version 2 document of version 1's form. */
    int version_1_frames = head->frames > 1 && head->channels == 3 && head->depth == 8;
    int grey_picture = head->version == 2 && head->channels < 3;
    int grey = (forms & CORVANE_GREY_FORM) != 0;
    if (forms == CORVANE_VERSION_1_ONLY && head->version == 2 && !version_1_frames) {
        return grey_picture
                   ? "This module reads version 1 documents only: run corvane without --grey, --alpha and "
                     "--depth 16"
                   : "This module reads version 1 documents only: run corvane without --alpha and --depth 16";
    }
    if (grey_picture && !grey)
        return "This module needs colour (3 or 4 channels): run corvane without --grey";
    if ((forms & ~CORVANE_GREY_FORM) == CORVANE_ALPHA_FORM && head->channels != 4 &&
        !(grey && head->channels == 2)) {
        return grey ? "This module needs alpha (2 or 4 channels): run corvane with --alpha"
                    : "This module needs alpha (4 channels): run corvane with --alpha";
    }
    return NULL;
}

CORVANE_FUNCTION int corvane_call(const struct corvane_head* head, corvane_filter plain,
                                  corvane_filter_args with_args, corvane_filter_form with_form,
                                  unsigned char* pixels, size_t length, int argc, char** argv) {
    struct corvane_form form;
    form.width = (int32_t)head->width;
    form.height = (int32_t)head->height;
    form.channels = (int)head->channels;
    form.depth = (int)head->depth;
    form.frames = (int)head->frames;
    if (with_form != NULL) return with_form(&form, pixels, length, argc, argv);
    if (with_args != NULL) return with_args(form.width, form.height, pixels, length, argc, argv);
    return plain(form.width, form.height, pixels, length);
}

/* The answer of frames reshaped one at a time, gathered: NULL when none. */
static unsigned char* corvane_answered;

/* The filter on the picture: once, for a still picture or a filter of frames, else once for each
 * frame, every answer at the first one's size. `*pixels` and `*length` become the answer's, `head`
 * its size. 0 answered; 1 the filter failed, 2 frames of more than one size, 3 out of memory. */
CORVANE_FUNCTION int corvane_filter_frames(struct corvane_head* head, corvane_filter plain,
                                           corvane_filter_args with_args, corvane_filter_form with_form,
                                           int all_frames, unsigned char** pixels, size_t* length, int argc,
                                           char** argv) {
    struct corvane_head one = *head;
    size_t frame_bytes = *length / (size_t)head->frames;
    size_t answer_bytes = 0;
    long frame;
    long width = head->width;
    long height = head->height;
    if (all_frames || head->frames == 1) {
        int failed;
        corvane_answer_pixel_bytes = corvane_pixel_bytes(head);
        corvane_answer_frames = (unsigned long)head->frames;
        failed = corvane_call(head, plain, with_args, with_form, *pixels, *length, argc, argv);
        corvane_answer_pixel_bytes = 0;
        if (failed != 0) {
            free(corvane_reshaped);
            corvane_reshaped = NULL;
            return 1;
        }
        if (corvane_reshaped == NULL) return 0;
        head->width = corvane_reshaped_width;
        head->height = corvane_reshaped_height;
        *pixels = corvane_answered = corvane_reshaped;
        corvane_reshaped = NULL;
        *length =
            (size_t)head->width * (size_t)head->height * corvane_pixel_bytes(head) * (size_t)head->frames;
        return 0;
    }
    one.frames = 1;
    for (frame = 0; frame < head->frames; frame++) {
        unsigned char* in = *pixels + (size_t)frame * frame_bytes;
        int failed;
        corvane_answer_pixel_bytes = corvane_pixel_bytes(head);
        corvane_answer_frames = 1;
        failed = corvane_call(&one, plain, with_args, with_form, in, frame_bytes, argc, argv);
        corvane_answer_pixel_bytes = 0;
        if (failed == 0 && frame == 0 && corvane_reshaped != NULL) {
            width = corvane_reshaped_width;
            height = corvane_reshaped_height;
            answer_bytes = (size_t)width * (size_t)height * corvane_pixel_bytes(head);
            if (answer_bytes != 0 && (size_t)head->frames > CORVANE_LARGEST_PAYLOAD / answer_bytes)
                failed = 3;
            if (failed == 0)
                corvane_answered = (unsigned char*)malloc(answer_bytes * (size_t)head->frames + 1);
            if (failed == 0 && corvane_answered == NULL) failed = 3;
        }
        if (failed == 0 && (corvane_reshaped != NULL) != (corvane_answered != NULL)) failed = 2;
        if (failed == 0 && corvane_reshaped != NULL &&
            (corvane_reshaped_width != width || corvane_reshaped_height != height))
            failed = 2;
        if (failed == 0 && corvane_reshaped != NULL)
            memcpy(corvane_answered + (size_t)frame * answer_bytes, corvane_reshaped, answer_bytes);
        free(corvane_reshaped);
        corvane_reshaped = NULL;
        if (failed != 0) return failed;
    }
    if (corvane_answered == NULL) return 0;
    head->width = width;
    head->height = height;
    *pixels = corvane_answered;
    *length = answer_bytes * (size_t)head->frames;
    return 0;
}

/* One exchange with any kind of filter; the exit code for main (0 answered, 1 not). */
CORVANE_FUNCTION int corvane_exchange(corvane_filter plain, corvane_filter_args with_args,
                                      corvane_filter_form with_form, int forms, int all_frames, int argc,
                                      char** argv) {
    struct corvane_document document;
    struct corvane_head head;
    const char* refusal;
    unsigned char* pixels = NULL;
    size_t length = 0;
    int folder;
    int failed;
    uintmax_t timeout;
    if (!corvane_take_timeout(&argc, &argv, &timeout)) return 2;
    /* A write over the file-size limit must fail with an error we report, not end the process. */
    signal(SIGXFSZ, SIG_IGN);
    folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0 && flock(folder, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        corvane_say("Another module is already waiting in this folder; this one stops\n");
        return 1;
    }
    /* `folder` stays open, and locked, until the process ends. */
    snprintf(corvane_template, sizeof corvane_template, "../.corvane-module-%ld-XXXXXX", (long)getpid());
    if (!corvane_wait_for_flag(timeout)) {
        printf("No picture from the host within %ju s; giving up\n", timeout);
        fflush(stdout);
        return 1;
    }
    corvane_take_busy_lock();
    corvane_set_stop_handler(corvane_on_stop);
    if (remove("go.flag") != 0) {
        corvane_set_stop_handler(SIG_IGN);
        /* Not taken part: a later run must not answer this flag's document twice. */
        printf("go.flag could not be removed (%s); not answering\n", strerror(errno));
        fflush(stdout);
        corvane_release_busy_lock();
        return 1;
    }
    corvane_taken = 1;
    corvane_say("Read XML\n");
    if (!corvane_read_document(&document)) return corvane_fail("image.xml cannot be opened");
    if (remove("image.xml") != 0) {
        free(document.bytes);
        return corvane_fail(
            "image.xml could not be removed after reading; a second run would answer it again");
    }
    if (document.longest != 0) {
        free(document.bytes);
        printf("Document too large.  More than %ju bytes for a %ld x %ld image", document.longest,
               document.head.width, document.head.height);
        return corvane_fail(NULL);
    }
    corvane_say("Parse XML\n");
    if (!corvane_parse(document.bytes, document.size, &head, &pixels, &length)) {
        free(document.bytes);
        return corvane_fail(NULL);
    }
    refusal = corvane_refusal(forms, &head);
    if (refusal != NULL) {
        free(document.bytes);
        return corvane_fail(refusal);
    }
    corvane_say("Converting Image\n");
    failed =
        corvane_filter_frames(&head, plain, with_args, with_form, all_frames, &pixels, &length, argc, argv);
    if (failed != 0 || !corvane_answer(pixels, length, &head)) {
        free(corvane_answered);
        corvane_answered = NULL;
        free(document.bytes);
        return corvane_fail(failed == 1   ? "The filter failed"
                            : failed == 2 ? "The filter answered frames of more than one size"
                            : failed == 3 ? "Out of memory"
                                          : "../image.xml could not be written");
    }
    free(corvane_answered);
    corvane_answered = NULL;
    corvane_placed = 1;
    free(document.bytes);
    /* From here on the answer stands: a stop may only wait for the flag. */
    corvane_set_stop_handler(SIG_IGN);
    corvane_say("Start Corvane\n");
    if (!corvane_raise_flag()) return corvane_fail("../go.flag could not be raised");
    corvane_placed = 0;
    corvane_release_busy_lock();
    return 0;
}

/* Runs one exchange with `filter`; returns the exit code for main (0 answered, 1 not). The three
 * stop signals have their default action again on return. */
CORVANE_FUNCTION int corvane_run(corvane_filter filter) {
    int code = corvane_exchange(filter, NULL, NULL, CORVANE_VERSION_1_ONLY, 0, 0, NULL);
    corvane_set_stop_handler(SIG_DFL);
    return code;
}

/* The same, with main's argc and argv passed through to the filter, less any --timeout. */
CORVANE_FUNCTION int corvane_run_args(corvane_filter_args filter, int argc, char** argv) {
    int code = corvane_exchange(NULL, filter, NULL, CORVANE_VERSION_1_ONLY, 0, argc, argv);
    corvane_set_stop_handler(SIG_DFL);
    return code;
}

/* The same for a filter of version 2 documents: `forms` is CORVANE_ANY_FORM or
 * CORVANE_ALPHA_FORM, either with CORVANE_GREY_FORM added for grey pictures too, and the filter
 * gets the document's form. */
CORVANE_FUNCTION int corvane_run_forms(corvane_filter_form filter, int forms, int argc, char** argv) {
    int code;
    int base = forms & ~CORVANE_GREY_FORM;
    if (base != CORVANE_ANY_FORM && base != CORVANE_ALPHA_FORM) {
        corvane_say(
            "corvane_run_forms: forms must be CORVANE_ANY_FORM or CORVANE_ALPHA_FORM, with or without "
            "CORVANE_GREY_FORM\n");
        return 1;
    }
    code = corvane_exchange(NULL, NULL, filter, forms, 0, argc, argv);
    corvane_set_stop_handler(SIG_DFL);
    return code;
}

/* The same for a filter that takes an animation's frames all at once: `pixels` holds form->frames
 * frames back to back, and corvane_reshape gives room for as many. `forms` as for
 * corvane_run_forms, or 0 for the form of version 1. */
CORVANE_FUNCTION int corvane_run_frames(corvane_filter_form filter, int forms, int argc, char** argv) {
    int code;
    int base = forms & ~CORVANE_GREY_FORM;
    if (forms != CORVANE_VERSION_1_ONLY && base != CORVANE_ANY_FORM && base != CORVANE_ALPHA_FORM) {
        corvane_say(
            "corvane_run_frames: forms must be 0, CORVANE_ANY_FORM or CORVANE_ALPHA_FORM (either with or "
            "without CORVANE_GREY_FORM)\n");
        return 1;
    }
    code = corvane_exchange(NULL, NULL, filter, forms, 1, argc, argv);
    corvane_set_stop_handler(SIG_DFL);
    return code;
}

#endif /* CORVANE_MODULE_H */
