/* A second program that loads libdorvik.so as a plugin and speaks the entry protocol with it:
 *   plugin_entry_check PATH/libdorvik.so
 * It also carries its own uname(), which the library's system information action calls: told to,
 * it fails, so that the action raises and the answer must be Status "Error" with its message. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>

typedef void (*TPluginProc)(int32_t code, void* data, int32_t* length, int32_t* status);

static int failUname = 0;

int uname(struct utsname* buf)
{
    static int (*real)(struct utsname*) = NULL;
    if (failUname) {
        errno = EPERM;
        return -1;
    }
    if (real == NULL)
        real = (int (*)(struct utsname*))dlsym(RTLD_NEXT, "uname");
    return real(buf);
}

static int failures = 0;
#define CHECK(cond, ...)                                             \
    do {                                                             \
        if (!(cond)) {                                               \
            fprintf(stderr, "%s:%d: %s: ", __FILE__, __LINE__, #cond); \
            fprintf(stderr, __VA_ARGS__);                            \
            fputc('\n', stderr);                                     \
            ++failures;                                              \
        }                                                            \
    } while (0)

static TPluginProc Proc;

#define ARC "1.3.6.1.4.1.61524.3.1.2.1.1."
static const char HashRequest[] = "<" ARC "6.4><Algorithm>5</Algorithm><Content>abc</Content></" ARC "6.4>";
static const char Sha256Abc[] = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";

/* Sends a request; returns the status, the length through *length. */
static int32_t Request(const char* xml, int32_t* length)
{
    int32_t status = 12345;
    *length = (int32_t)strlen(xml);
    Proc(101, (void*)xml, length, &status);
    return status;
}

/* Fetches a ticket with a buffer of length + 1 bytes; the text (malloc'd) or NULL. */
static char* Fetch(int32_t ticket, int32_t length, int32_t* status)
{
    char* buffer = malloc((size_t)length + 1);
    memset(buffer, 'x', (size_t)length + 1);
    Proc(ticket, buffer, &length, status);
    if (*status != -1) {
        free(buffer);
        return NULL;
    }
    return buffer;
}

static int Count(const char* text, const char* part)
{
    int n = 0;
    for (const char* p = strstr(text, part); p != NULL; p = strstr(p + 1, part))
        ++n;
    return n;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: plugin_entry_check libdorvik.so\n");
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 2;
    }
    Proc = (TPluginProc)dlsym(library, "PluginProc");
    if (Proc == NULL) {
        fprintf(stderr, "PluginProc is not exported\n");
        return 2;
    }
    int32_t status = 0;
    int32_t length = 0;

    /* Load, unload and codes without a meaning. */
    const int32_t codes[] = {1, 2, 0, 3, 100, 102, 999, -1};
    const int32_t expected[] = {-1, -1, 0, 0, 0, 0, 0, 0};
    for (size_t i = 0; i < sizeof codes / sizeof codes[0]; ++i) {
        status = 12345;
        Proc(codes[i], NULL, &length, &status);
        CHECK(status == expected[i], "code %d gave %d", codes[i], status);
    }

    /* Tickets from 1001 on; each response waits until fetched. */
    int32_t lengths[3];
    for (int i = 0; i < 3; ++i) {
        status = Request(HashRequest, &lengths[i]);
        CHECK(status == 1001 + i, "ticket %d, not %d", status, 1001 + i);
        CHECK(lengths[i] > 0 && lengths[i] != (int32_t)strlen(HashRequest), "length %d", lengths[i]);
    }

    /* A wrong length leaves the response; the right one takes it. */
    char* text = Fetch(1002, lengths[1] - 1, &status);
    CHECK(text == NULL && status == 0, "short fetch gave %d", status);
    text = Fetch(1002, lengths[1] + 1, &status);
    CHECK(text == NULL && status == 0, "long fetch gave %d", status);
    text = Fetch(1002, lengths[1], &status);
    CHECK(text != NULL, "fetch with the right length gave %d", status);
    if (text != NULL) {
        CHECK(text[lengths[1]] == '\0', "no terminating zero byte");
        CHECK(strstr(text, "Status=\"OK\"") != NULL, "%s", text);
        CHECK(strstr(text, Sha256Abc) != NULL, "%s", text);
        free(text);
    }
    text = Fetch(1002, lengths[1], &status);
    CHECK(text == NULL && status == 0, "fetched twice");
    free(Fetch(1001, lengths[0], &status));
    CHECK(status == -1, "ticket 1001 was kept: %d", status);
    free(Fetch(1003, lengths[2], &status));
    CHECK(status == -1, "ticket 1003 was kept: %d", status);

    /* An identifier nobody answers: status 0, length untouched, nothing stored (the next
     * ticket follows on). */
    int32_t untouched = 777;
    status = 12345;
    Proc(101, "<" ARC "9.9><Content>abc</Content></" ARC "9.9>", &untouched, &status);
    CHECK(status == 0, "unknown identifier gave %d", status);
    CHECK(untouched == 777, "length changed to %d", untouched);
    status = Request(HashRequest, &length);
    CHECK(status == 1004, "the next ticket is %d", status);
    free(Fetch(status, length, &status));

    /* An action that raises: the system information action when uname() fails. */
    const char* sysinfo = "<" ARC "6.5><Version>1</Version></" ARC "6.5>";
    failUname = 1;
    status = Request(sysinfo, &length);
    failUname = 0;
    CHECK(status >= 1001, "raising action gave %d", status);
    text = status >= 1001 ? Fetch(status, length, &status) : NULL;
    CHECK(text != NULL, "no response for the raising action");
    if (text != NULL) {
        CHECK(strstr(text, "Status=\"Error\"") != NULL, "%s", text);
        CHECK(strstr(text, "Message=\"uname") != NULL, "%s", text);
        CHECK(strstr(text, "Information") == NULL, "%s", text);
        free(text);
    }
    status = Request(sysinfo, &length);
    text = status >= 1001 ? Fetch(status, length, &status) : NULL;
    CHECK(text != NULL && strstr(text, "Status=\"OK\"") != NULL, "system information: %s", text ? text : "none");
    free(text);

    /* The API query: six actions, six children of the same name. */
    status = Request("<" ARC "1.1/>", &length);
    text = status >= 1001 ? Fetch(status, length, &status) : NULL;
    CHECK(text != NULL, "no API answer");
    if (text != NULL) {
        CHECK(Count(text, "<" ARC "6/>") == 6, "%s", text);
        CHECK(Count(text, "<API>") == 1, "%s", text);
        free(text);
    }

    /* The library stays loaded: a leak report then names its frames. */
    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("plugin entry protocol: all checks passed\n");
    fflush(stdout);
    return 0;
}
