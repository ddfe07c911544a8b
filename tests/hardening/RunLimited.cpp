// Runs a program under a resource limit, as if the disk filled up or memory ran out. The signal
// for an over-limit write keeps its default action: the program must defend itself.
// Usage: run_limited fsize|as BYTES PROGRAM [ARG ...]
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 4 || (std::strcmp(argv[1], "fsize") != 0 && std::strcmp(argv[1], "as") != 0)) {
        std::fprintf(stderr, "usage: %s fsize|as BYTES PROGRAM [ARG ...]\n", argv[0]);
        return 2;
    }
    const rlim_t bytes = rlim_t(std::strtoull(argv[2], nullptr, 10));
    const rlimit limit{bytes, bytes};
    if (setrlimit(std::strcmp(argv[1], "fsize") == 0 ? RLIMIT_FSIZE : RLIMIT_AS, &limit) != 0) {
        std::perror("run_limited");
        return 2;
    }
    execv(argv[3], argv + 3);
    std::perror(argv[3]);
    return 127;
}
