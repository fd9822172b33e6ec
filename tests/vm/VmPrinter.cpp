// vm_printer NODE [tty]: the virtual printer on a gadget node until stdin closes or SIGTERM,
// for the JVM runs on the test machine.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "DevicePrinter.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: vm_printer NODE [tty]\n");
        return 3;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    prnvm::DevicePrinter printer(argv[1], argc > 2 && std::strcmp(argv[2], "tty") == 0);
    int signal = 0;
    sigwait(&stop, &signal);
    std::printf("vm_printer: %zu bytes received\n", printer.received().size());
    return 0;
}
