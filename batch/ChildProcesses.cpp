// Starting and stopping the programs of an exchange. Nothing the batch waits on is lost: the
// signals are blocked and taken when the run loop asks for them.
#include "ChildProcesses.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace {

// What a program gets after it was asked to stop, before it is killed.
constexpr auto kStopGrace = std::chrono::seconds(5);
constexpr int kExitNotStarted = 127;

void IgnoreSignal(int) {}

// Its own process group, so a stop reaches a module's shell and everything it started; no
// terminal input; output into a log in the private folder.
[[noreturn]] void BecomeChild(const std::string& folder, const std::string& log, const char* program,
                              char* const* argv, char* const* envp, const sigset_t& mask, int passed) {
    setpgid(0, 0);
    // Our handlers are still here until exec: a stop sent before it would be swallowed by them,
    // and ignored signals would stay ignored across it.
    for (int signal : {SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(signal, SIG_DFL);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    const int input = open("/dev/null", O_RDONLY);
    const int output = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
    if (input < 0 || output < 0 || dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0 ||
        chdir(folder.c_str()) != 0) {
        _exit(kExitNotStarted);
    }
    // dup2 onto itself would leave it closed on exec.
    if (passed >= 0 &&
        (passed == kPassedDescriptor ? fcntl(passed, F_SETFD, 0) : dup2(passed, kPassedDescriptor)) < 0)
        _exit(kExitNotStarted);
    if (envp != nullptr) {
        execve(program, argv, envp);
    } else {
        execvp(program, argv);
    }
    const char* reason = std::strerror(errno);
    (void)!write(2, "cannot start ", 13);
    (void)!write(2, program, std::strlen(program));
    (void)!write(2, ": ", 2);
    (void)!write(2, reason, std::strlen(reason));
    (void)!write(2, "\n", 1);
    _exit(kExitNotStarted);
}

}  // namespace

sigset_t StopAndChildSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGCHLD, SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, signal);
    return set;
}

// A handler of our own makes sure none of them is thrown away as ignored (a shell starts
// background jobs with SIGINT ignored).
void TakeOverSignals(sigset_t& previousMask) {
    struct sigaction action {};
    action.sa_handler = IgnoreSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGCHLD, SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    // A reader of our output that went away must not kill us with the exchanges still running.
    std::signal(SIGPIPE, SIG_IGN);
    const sigset_t set = StopAndChildSignals();
    sigprocmask(SIG_BLOCK, &set, &previousMask);
}

bool Spawn(Child& child, const std::string& folder, const std::string& log, const ExecArguments& argv,
           const ExecArguments* envp, const sigset_t& mask, int passed) {
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0)
        BecomeChild(folder, log, argv.Get()[0], argv.Get(), envp ? envp->Get() : nullptr, mask, passed);
    setpgid(pid, pid);  // also here: a stop may come before the child has run at all
    child.Pid = pid;
    child.Running = true;
    return true;
}

void AskToStop(Child& child, int signal) {
    if (!child.Running || child.StopsSent > 0) return;
    kill(-child.Pid, signal);
    child.StopsSent = 1;
    child.StoppedAt = BatchClock::now();
}

void KillWhenOverdue(Child& child, BatchClock::time_point now) {
    if (!child.Running || child.StopsSent != 1 || now - child.StoppedAt < kStopGrace) return;
    kill(-child.Pid, SIGKILL);
    child.StopsSent = 2;
}

bool ExitedWell(const Child& child) {
    return WIFEXITED(child.Status) && WEXITSTATUS(child.Status) == 0;
}

std::string DescribeStatus(const char* who, int status) {
    if (WIFSIGNALED(status)) return std::string(who) + " ended by signal " + std::to_string(WTERMSIG(status));
    return std::string(who) + " exited with " + std::to_string(WEXITSTATUS(status));
}
