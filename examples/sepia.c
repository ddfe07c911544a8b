/* A Corvane module in one C file: gives the picture the brown tone of an old photograph.
 * Build with any C compiler (cc -O2 -o sepia sepia.c) and start it in the module's folder,
 * before or after the host. Exit code 0 when it answered, 1 otherwise. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { BYTES_PER_PIXEL = 3, POLL_SECONDS = 1, READ_CHUNK = 65536 };
static const int64_t LARGEST_NUMBER = 2147483647;

struct Document {
    const unsigned char* data;
    size_t size;
    size_t pos;
};

struct Picture {
    int32_t width;
    int32_t height;
    const unsigned char* pixels;
    size_t length;
};

static int IsWhitespace(unsigned char c) {
    return c == 0x09 || c == 0x0a || c == 0x0d || c == 0x20;
}

/* Whitespace may stand between tags and around numbers, never inside the payload. */
static void SkipWhitespace(struct Document* doc) {
    while (doc->pos < doc->size && IsWhitespace(doc->data[doc->pos])) doc->pos++;
}

static int MatchTag(struct Document* doc, const char* tag) {
    size_t length = strlen(tag);
    SkipWhitespace(doc);
    if (doc->size - doc->pos < length || memcmp(doc->data + doc->pos, tag, length) != 0) {
        printf("sepia: %s expected at byte %lu\n", tag, (unsigned long)doc->pos);
        return 0;
    }
    doc->pos += length;
    return 1;
}

static int ReadNumber(struct Document* doc, int32_t* value) {
    int64_t number = 0;
    size_t start;
    SkipWhitespace(doc);
    start = doc->pos;
    while (doc->pos < doc->size && doc->data[doc->pos] >= '0' && doc->data[doc->pos] <= '9') {
        number = number * 10 + (doc->data[doc->pos] - '0');
        if (number > LARGEST_NUMBER) {
            printf("sepia: number too large at byte %lu\n", (unsigned long)start);
            return 0;
        }
        doc->pos++;
    }
    if (doc->pos == start) {
        printf("sepia: number expected at byte %lu\n", (unsigned long)start);
        return 0;
    }
    *value = (int32_t)number;
    return 1;
}

static int MatchTags(struct Document* doc, const char* const* tags, size_t count) {
    size_t i;
    for (i = 0; i < count; i++) {
        if (!MatchTag(doc, tags[i])) return 0;
    }
    return 1;
}

/* The payload starts right after "<pixels>"; its length is counted, never searched for. */
static int TakePayload(struct Document* doc, struct Picture* picture) {
    uint64_t length = (uint64_t)BYTES_PER_PIXEL * (uint64_t)picture->width * (uint64_t)picture->height;
    if (length > doc->size - doc->pos) {
        printf("sepia: the pixel data ends early\n");
        return 0;
    }
    picture->pixels = doc->data + doc->pos;
    picture->length = (size_t)length;
    doc->pos += (size_t)length;
    return 1;
}

static int Parse(struct Document* doc, struct Picture* picture) {
    static const char* const head[] = {"<image>", "<header>", "<version>"};
    static const char* const afterHeight[] = {"</height>", "</header>", "<pixels>"};
    static const char* const tail[] = {"</pixels>", "</image>"};
    int32_t version;
    if (!MatchTags(doc, head, 3) || !ReadNumber(doc, &version)) return 0;
    if (version > 1)
        printf("sepia: warning: a version %ld document; reading it as version 1\n", (long)version);
    if (!MatchTag(doc, "</version>") || !MatchTag(doc, "<width>") || !ReadNumber(doc, &picture->width))
        return 0;
    if (!MatchTag(doc, "</width>") || !MatchTag(doc, "<height>") || !ReadNumber(doc, &picture->height))
        return 0;
    if (!MatchTags(doc, afterHeight, 3) || !TakePayload(doc, picture)) return 0;
    return MatchTags(doc, tail, 2);
}

/* The whole file in one buffer, read in chunks so that no size has to be trusted in advance. */
static unsigned char* ReadWholeFile(const char* path, size_t* size) {
    FILE* file = fopen(path, "rb");
    unsigned char* data = NULL;
    size_t used = 0;
    size_t got;
    if (!file) return NULL;
    do {
        unsigned char* grown = realloc(data, used + READ_CHUNK);
        if (!grown) {
            free(data);
            fclose(file);
            return NULL;
        }
        data = grown;
        got = fread(data + used, 1, READ_CHUNK, file);
        used += got;
    } while (got == READ_CHUNK);
    if (ferror(file)) {
        free(data);
        data = NULL;
    }
    fclose(file);
    *size = used;
    return data;
}

static unsigned char Clamp(uint32_t value) {
    return (unsigned char)(value > 255 ? 255 : value);
}

/* The classic sepia matrix in integer per mille, truncated and clamped to 255. */
static void Sepia(const unsigned char* in, unsigned char* out, size_t length) {
    size_t i;
    for (i = 0; i + BYTES_PER_PIXEL <= length; i += BYTES_PER_PIXEL) {
        uint32_t r = in[i], g = in[i + 1], b = in[i + 2];
        out[i] = Clamp((393 * r + 769 * g + 189 * b) / 1000);
        out[i + 1] = Clamp((349 * r + 686 * g + 168 * b) / 1000);
        out[i + 2] = Clamp((272 * r + 534 * g + 131 * b) / 1000);
    }
}

static void WaitForFlag(void) {
    FILE* flag;
    printf("Waiting ...\n");
    fflush(stdout);
    while ((flag = fopen("go.flag", "rb")) == NULL) sleep(POLL_SECONDS);
    fclose(flag);
}

/* The document is complete and closed before the flag appears: the host reads it at once. */
static int Answer(const struct Picture* picture, const unsigned char* pixels) {
    FILE* doc = fopen("../image.xml", "wb");
    FILE* flag;
    int ok;
    if (!doc) return 0;
    fprintf(doc, "<image><header><version>1</version><width>%ld</width><height>%ld</height></header><pixels>",
            (long)picture->width, (long)picture->height);
    fwrite(pixels, 1, picture->length, doc);
    fputs("</pixels></image>", doc);
    ok = !ferror(doc);
    if (fclose(doc) != 0 || !ok) return 0;
    flag = fopen("../go.flag", "wb");
    if (!flag) return 0;
    fputs("finished", flag);
    return fclose(flag) == 0;
}

int main(void) {
    struct Document doc = {NULL, 0, 0};
    struct Picture picture = {0, 0, NULL, 0};
    unsigned char* data;
    unsigned char* out;
    WaitForFlag();
    remove("go.flag");
    data = ReadWholeFile("image.xml", &doc.size);
    if (!data) {
        printf("sepia: image.xml cannot be read\n");
        return 1;
    }
    remove("image.xml");
    doc.data = data;
    /* One extra byte keeps malloc's answer defined for an empty payload. */
    if (!Parse(&doc, &picture) || (out = malloc(picture.length + 1)) == NULL) return 1;
    printf("Converting Image\n");
    Sepia(picture.pixels, out, picture.length);
    if (!Answer(&picture, out)) {
        printf("sepia: cannot answer in ..\n");
        return 1;
    }
    printf("Start Corvane\n");
    return 0;
}
