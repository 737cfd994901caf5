/* Compiled as C: the public header must stay plain C. */
#include "library/dorvik.h"

#include <stdio.h>
#include <string.h>

int main(void)
{
    const char* version = DorvikVersion();
    if (version == NULL || strlen(version) == 0) {
        fprintf(stderr, "no version\n");
        return 1;
    }
    printf("dorvik %s\n", version);
    return 0;
}
