/* Signs a file through the library's C interface the way the host does: the SIGNEDDATA
 * request with the document as hex "Content" goes into the text buffer, Decode(14) builds
 * the CMS into the byte buffer, Encode(12) turns it into hex text, which is read back and
 * written out as DER.
 *   sign_driver DOCUMENT PKCS12 PASSWORD attached|detached OUT.der */
#include "library/dorvik.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { Chunk = 1 << 20 };

static int hexval(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

int main(int argc, char** argv)
{
    if (argc != 6) {
        fprintf(stderr, "usage: sign_driver DOCUMENT PKCS12 PASSWORD attached|detached OUT.der\n");
        return 2;
    }
    FILE* doc = fopen(argv[1], "rb");
    if (!doc) {
        fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    const int detached = strcmp(argv[4], "detached") == 0;
    static const char digits[] = "0123456789ABCDEF";
    unsigned char* bytes = malloc(Chunk);
    char* text = malloc(2 * Chunk + 1);
    if (!bytes || !text)
        return 2;

    Prepare();
    snprintf(text, 2 * Chunk, "<SIGNEDDATA Binary=\"1\" Dettached=\"%d\" CertificateFileName=\"%s\" "
             "CertificateFilePwd=\"%s\" Content=\"", detached, argv[2], argv[3]);
    AppendTextChunck(text, (int32_t)strlen(text));
    size_t got;
    while ((got = fread(bytes, 1, Chunk, doc)) > 0) {
        for (size_t i = 0; i < got; ++i) {
            text[2 * i] = digits[bytes[i] >> 4];
            text[2 * i + 1] = digits[bytes[i] & 15];
        }
        text[2 * got] = 0;
        AppendTextChunck(text, (int32_t)(2 * got));
    }
    fclose(doc);
    AppendTextChunck("\"/>", 3);

    const int32_t derSize = Decode(14);
    if (derSize <= 0) {
        char status[256];
        GetError(status, sizeof status - 1);
        fprintf(stderr, "signing failed: %s\n", status);
        return 1;
    }
    const int32_t hexSize = Encode(12);
    FILE* out = fopen(argv[5], "wb");
    if (!out)
        return 2;
    for (int32_t offset = 0; offset < hexSize;) {
        const int32_t n = ReadTextChunck(offset, 2 * Chunk, text);
        if (n <= 0)
            break;
        for (int32_t i = 0; i + 1 < n; i += 2)
            bytes[i / 2] = (unsigned char)(hexval(text[i]) << 4 | hexval(text[i + 1]));
        fwrite(bytes, 1, (size_t)n / 2, out);
        offset += n;
    }
    fclose(out);
    CloseStreams();
    free(bytes);
    free(text);
    return 0;
}
