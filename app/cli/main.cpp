#include <cstdio>
#include <cstring>

#include "version.h"

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s\n", morvane::kProductVersion);
        return 0;
    }
    std::printf(
        "morvane-batch %s\n"
        "The batch runner is being built: the image model and the file I/O frame exist;\n"
        "the job itself is not wired yet.\n",
        morvane::kProductVersion);
    return argc > 1 && std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
}
