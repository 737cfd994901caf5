/* Runs a conversion template over an XML file through the library's C interface (LoadTextFromFile,
 * Transform, SaveTextToFile) and prints the seconds the Transform call took. */
#include "library/dorvik.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static char* ReadAll(const char* name)
{
    FILE* f = fopen(name, "rb");
    if (!f)
        return NULL;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fseek(f, 0, SEEK_SET);
    char* text = malloc((size_t)n + 1);
    if (text && fread(text, 1, (size_t)n, f) != (size_t)n) {
        free(text);
        text = NULL;
    }
    if (text)
        text[n] = 0;
    fclose(f);
    return text;
}

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s INPUT.xml TEMPLATE.xml OUTPUT\n", argv[0]);
        return 2;
    }
    char* templ = ReadAll(argv[2]);
    if (!templ)
        return 1;
    struct timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    Prepare();
    LoadTextFromFile(argv[1]);
    int32_t n = Transform(templ);
    SaveTextToFile(argv[3]);
    CloseStreams();
    clock_gettime(CLOCK_MONOTONIC, &b);
    printf("%.3f %d\n", (double)(b.tv_sec - a.tv_sec) + (double)(b.tv_nsec - a.tv_nsec) / 1e9, n);
    free(templ);
    return n > 0 ? 0 : 1;
}
