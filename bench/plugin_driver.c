/* Encrypts a file through the library's encrypt action the way plugin callers do: the request
 * XML (the file as a raw "Content" value) goes into the byte buffer, Encode(16) runs it, and the
 * response XML is read back from the text buffer. The time from the request's first byte to the
 * response's last is printed; the ciphertext (decoded from the response's Base64 by the library,
 * Decode(7)) is written out for comparison.
 *   plugin_driver CONTENT CIPHER KEY_BASE64 OUT */
#include "library/dorvik.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double Now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: plugin_driver CONTENT CIPHER KEY_BASE64 OUT\n");
        return 2;
    }
    FILE* in = fopen(argv[1], "rb");
    if (!in)
        return 2;
    fseek(in, 0, SEEK_END);
    const long size = ftell(in);
    fseek(in, 0, SEEK_SET);
    char* content = malloc((size_t)size);
    if (!content || fread(content, 1, (size_t)size, in) != (size_t)size)
        return 2;
    fclose(in);
    static const char id[] = "1.3.6.1.4.1.61524.3.1.2.1.1.6.3";

    const double start = Now();
    char head[512];
    const int headLength = snprintf(head, sizeof head,
        "<%s><Algorithm>%s</Algorithm><BinaryPassword>%s</BinaryPassword><Content _enctype=\"length\" _length=\"%ld\">",
        id, argv[2], argv[3], size);
    char tail[64];
    const int tailLength = snprintf(tail, sizeof tail, "</Content></%s>", id);
    Prepare();
    AppendChunck(head, headLength);
    AppendChunck(content, (int32_t)size);
    AppendChunck(tail, tailLength);
    const int32_t length = Encode(16);
    char* response = malloc((size_t)length + 1);
    if (!response || ReadTextChunck(0, length, response) != length)
        return 1;
    response[length] = '\0';
    const double elapsed = Now() - start;
    CloseStreams();

    if (strstr(response, "Status=\"OK\"") == NULL) {
        fprintf(stderr, "plugin_driver: %.200s\n", response);
        return 1;
    }
    const char* data = strstr(response, "<EncryptedData _enctype=\"length\" _length=\"");
    if (!data)
        return 1;
    data += strlen("<EncryptedData _enctype=\"length\" _length=\"");
    const long dataLength = strtol(data, NULL, 10);
    data = strchr(data, '>') + 1;
    Prepare();
    /* The text buffer takes text up to a zero byte: end the Base64 there. */
    ((char*)data)[dataLength] = '\0';
    AppendTextChunck(data, 0);
    const int32_t cipherLength = Decode(7);
    unsigned char* cipher = malloc((size_t)cipherLength + 1);
    GetChunck(cipher, cipherLength);
    CloseStreams();
    FILE* out = fopen(argv[4], "wb");
    if (!out || fwrite(cipher, 1, (size_t)cipherLength, out) != (size_t)cipherLength)
        return 2;
    fclose(out);
    printf("%.3f\n", elapsed);
    free(cipher);
    free(response);
    free(content);
    return 0;
}
