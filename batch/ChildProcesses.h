// The batch's child processes: each started with fork and exec in a process group of its own, so
// that a stop reaches everything it started; asked to stop with a signal, killed when it does not.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

using BatchClock = std::chrono::steady_clock;

struct Child {
    pid_t Pid = -1;  // also the number of its own process group
    bool Running = false;
    int Status = 0;
    BatchClock::time_point EndedAt;
    BatchClock::time_point StoppedAt;
    int StopsSent = 0;
};

// argv and envp for exec, built before fork: the child only calls what is safe after fork.
class ExecArguments {
  public:
    explicit ExecArguments(const std::vector<std::string>& words) : words_(words) {
        for (std::string& word : words_) pointers_.push_back(&word[0]);
        pointers_.push_back(nullptr);
    }
    ExecArguments(const ExecArguments&) = delete;  // the pointers point into words_
    ExecArguments& operator=(const ExecArguments&) = delete;
    char* const* Get() const { return pointers_.data(); }

  private:
    std::vector<std::string> words_;
    std::vector<char*> pointers_;
};

// The signals the batch waits for: a child that ended, and the user's stops.
sigset_t StopAndChildSignals();
// Blocks them, to be taken with sigtimedwait; previousMask is what children get back.
void TakeOverSignals(sigset_t& previousMask);

// Where a child finds the descriptor it was passed.
constexpr int kPassedDescriptor = 3;

// Starts argv[0] in folder with its output in log, with envp (null: ours, from PATH), and passed
// (unless -1, above the standard descriptors) as kPassedDescriptor.
bool Spawn(Child& child, const std::string& folder, const std::string& log, const ExecArguments& argv,
           const ExecArguments* envp, const sigset_t& mask, int passed = -1);
// The first stop a child gets; a second is never sent, the kill follows instead.
void AskToStop(Child& child, int signal);
void KillWhenOverdue(Child& child, BatchClock::time_point now);
bool ExitedWell(const Child& child);
// "WHO exited with N" or "WHO ended by signal N".
std::string DescribeStatus(const char* who, int status);
