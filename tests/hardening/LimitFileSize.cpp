// Runs a program under a small file size limit, as if the disk filled up: a write past the limit
// fails with EFBIG instead of killing the writer, since SIGXFSZ is ignored and stays so across exec.
// Usage: limit_file_size BYTES PROGRAM [ARG ...]
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s BYTES PROGRAM [ARG ...]\n", argv[0]);
        return 2;
    }
    const rlim_t bytes = rlim_t(std::strtoull(argv[1], nullptr, 10));
    const rlimit limit{bytes, bytes};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0 || signal(SIGXFSZ, SIG_IGN) == SIG_ERR) {
        std::perror("limit_file_size");
        return 2;
    }
    execv(argv[2], argv + 2);
    std::perror(argv[2]);
    return 127;
}
