#include <cstdio>
#include <cstring>

#include "library/dorvik.h"

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("kelvane (dorvik %s)\n", DorvikVersion());
        return 0;
    }
    return 0;
}
