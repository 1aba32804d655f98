#include "tests/xvfb_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace gui_support {
namespace {

// The server's process, or -1 when it cannot be started.
pid_t startXvfb() {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        close(pipeFds[0]);
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDOUT_FILENO);
        dup2(quiet, STDERR_FILENO);
        const std::string fd = std::to_string(pipeFds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten",
               "tcp", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    if (pid < 0) return -1;

    // The server writes its display number once it accepts connections.
    std::string number;
    pollfd ready{pipeFds[0], POLLIN, 0};
    char c = 0;
    while (poll(&ready, 1, 30000) == 1 && read(pipeFds[0], &c, 1) == 1 && c != '\n') number += c;
    close(pipeFds[0]);
    if (number.empty()) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    setenv("DISPLAY", (":" + number).c_str(), 1);
    return pid;
}

void stopXvfb(pid_t server) {
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
}

}  // namespace

int runOnXvfb(const char* what, const std::function<int()>& tests) {
    const pid_t server = startXvfb();
    if (server < 0) {
        std::fprintf(stderr, "Cannot start Xvfb (package xvfb) for the %s.\n", what);
        return 1;
    }
    const int result = tests();
    stopXvfb(server);
    return result;
}

}  // namespace gui_support
