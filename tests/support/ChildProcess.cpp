#include "ChildProcess.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <vector>

namespace testsupport {

pid_t StartProgram(const QString& program, const QStringList& arguments, int outputFd) {
    // Everything the child needs is made before the fork: the child only makes system calls.
    std::vector<QByteArray> texts{QFile::encodeName(program)};
    for (const QString& argument : arguments) {
        texts.push_back(argument.toLocal8Bit());
    }
    std::vector<char*> argv;
    for (QByteArray& text : texts) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    const long openMax = sysconf(_SC_OPEN_MAX);
    const int lastFd = int(openMax > 0 && openMax < 65536 ? openMax : 65536);
    const pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(outputFd, STDOUT_FILENO);
        dup2(outputFd, STDERR_FILENO);
        for (int fd = STDERR_FILENO + 1; fd < lastFd; ++fd) {
            close(fd);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

int WaitForProgram(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testsupport
