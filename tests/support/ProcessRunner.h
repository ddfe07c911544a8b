// Runs the real programs as child processes for end-to-end tests: output captured to a file,
// a time limit enforced, and no child left behind.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "ScratchDir.h"

struct ProcessResult {
    bool Exited = false;    // ended by itself
    int ExitCode = -1;      // when Exited
    int Signal = 0;         // the signal that ended it, 0 if none
    bool TimedOut = false;  // killed at the time limit
    std::string Output;     // standard output and error together
    long MaxRssKb = 0;      // the kernel's peak resident set of the child
};

class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    bool Start(const std::vector<std::string>& argv, const std::string& workingDirectory);
    bool Running();
    bool SendSignal(int signal);
    // What the child has printed so far.
    std::string OutputSoFar() const;
    // Polls every 10 ms until the child has printed text (true) or ended or the time is up.
    bool WaitForOutput(const std::string& text, double timeoutSeconds);
    ProcessResult Wait(double timeoutSeconds);

  private:
    bool Reap(bool block);

    pid_t Pid = -1;
    bool Reaped = false;
    int Status = 0;
    long MaxRssKb = 0;
    std::string OutputPath;
};

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& workingDirectory,
                         double timeoutSeconds = 20);

bool PathExists(const std::string& path);
std::string ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::string& bytes);
// Polls every 10 ms until the path exists; false after the time limit.
bool WaitForPath(const std::string& path, double timeoutSeconds);
