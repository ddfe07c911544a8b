// Child processes for the end-to-end tests.
#include "ProcessRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

ChildProcess::~ChildProcess() {
    if (Pid > 0 && !Reaped) {
        kill(Pid, SIGKILL);
        Reap(true);
    }
    if (!OutputPath.empty()) unlink(OutputPath.c_str());
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& workingDirectory) {
    char name[] = "/tmp/corvane-child-XXXXXX";
    int out = mkstemp(name);
    if (out < 0) return false;
    OutputPath = name;
    Pid = fork();
    if (Pid < 0) {
        close(out);
        return false;
    }
    if (Pid == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, STDIN_FILENO);
        if (chdir(workingDirectory.c_str()) != 0) _exit(126);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out);
    return true;
}

bool ChildProcess::Reap(bool block) {
    if (Reaped) return true;
    struct rusage usage {};
    if (wait4(Pid, &Status, block ? 0 : WNOHANG, &usage) != Pid) return false;
    MaxRssKb = usage.ru_maxrss;
    Reaped = true;
    return true;
}

bool ChildProcess::Running() {
    return Pid > 0 && !Reap(false);
}

std::string ChildProcess::OutputSoFar() const {
    return ReadFileBytes(OutputPath);
}

bool ChildProcess::WaitForOutput(const std::string& text, double timeoutSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (OutputSoFar().find(text) == std::string::npos) {
        if (!Running() || std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool ChildProcess::SendSignal(int signal) {
    return Pid > 0 && !Reaped && kill(Pid, signal) == 0;
}

ProcessResult ChildProcess::Wait(double timeoutSeconds) {
    ProcessResult result;
    if (Pid <= 0) return result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (!Reap(false)) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(Pid, SIGKILL);
            Reap(true);
            result.TimedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const int status = Status;
    if (!result.TimedOut && WIFEXITED(status)) {
        result.Exited = true;
        result.ExitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.Signal = WTERMSIG(status);
    }
    result.Output = ReadFileBytes(OutputPath);
    result.MaxRssKb = MaxRssKb;
    return result;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& workingDirectory,
                         double timeoutSeconds) {
    ChildProcess child;
    if (!child.Start(argv, workingDirectory)) return ProcessResult{};
    return child.Wait(timeoutSeconds);
}

bool PathExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    out.close();
    return !out.fail();
}

bool WaitForPath(const std::string& path, double timeoutSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (!PathExists(path)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
