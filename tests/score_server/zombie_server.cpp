// Stands in for the score server in the loopback server's tests: says it is
// ready, then its main thread ends while another thread goes on, so the
// process stays a zombie that cannot be collected until it is killed.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>

int main() {
    pthread_t other;
    pthread_create(
        &other, nullptr,
        [](void*) -> void* {
            for (;;) ::pause();
        },
        nullptr);
    std::printf("score server ready ftp=0 http=0\n");
    std::fflush(stdout);
    ::syscall(SYS_exit, 0);  // this thread only; the process lives on
}
