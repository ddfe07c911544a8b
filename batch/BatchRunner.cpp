// One exchange per picture, the way a user's loop would run it: a private folder, the module
// started in its exchange folder, the host beside it, the result moved out, the folder removed.
#include "BatchRunner.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <list>
#include <memory>
#include <sstream>

#include "ExitCodes.h"
#include "RegularFile.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kExchangeFolderName[] = "exchange";
constexpr char kFlagName[] = "go.flag";
constexpr char kHostLog[] = "host.log";
constexpr char kModuleLog[] = "module.log";
// The host looks for the answer once a second: this leaves it two looks after the module ends.
constexpr auto kAnswerGrace = std::chrono::seconds(2);
// What a program gets after it was asked to stop, before it is killed.
constexpr auto kStopGrace = std::chrono::seconds(5);
constexpr auto kTick = std::chrono::milliseconds(100);
constexpr auto kProgressEvery = std::chrono::milliseconds(500);
constexpr int kExitNotStarted = 127;
// Longer than any line a host says, two paths and all, so its last line is shown whole.
constexpr std::streamoff kLogTail = 16384;
// A host's log is a few lines long: its warnings about the input, said before anything is sent,
// and those about the output, said after the answer, are all in its head.
constexpr std::streamoff kLogHead = 65536;
// More than a host says for any picture; a log that holds more has been written by somebody else.
constexpr size_t kShownWarnings = 16;
constexpr char kWarningStart[] = "Warning: ";
// The host's hint for a user who forgot the module: the batch starts the module itself.
constexpr char kHostHint[] = "No module has taken the picture yet";
// The host's words for a failure flag, and how a module kit closes its own account of one.
constexpr char kCouldNotAnswer[] = "/ could not answer; nothing saved.";
constexpr char kKitNoAnswer[] = "Error: no answer";

struct Child {
    pid_t Pid = -1;  // also the number of its own process group
    bool Running = false;
    int Status = 0;
    Clock::time_point EndedAt;
    Clock::time_point StoppedAt;
    int StopsSent = 0;
};

struct Exchange {
    const BatchItem* Item = nullptr;
    std::string Folder;  // the host's working directory, with the exchange folder inside
    Child Host;
    Child Module;
    std::string Reason;  // why the batch stopped the host, when it did
};

struct Failure {
    std::string Input;
    std::string Message;
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

sigset_t StopAndChildSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGCHLD, SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, signal);
    return set;
}

void IgnoreSignal(int) {}

// The signals are blocked and taken with sigtimedwait; a handler of our own makes sure none of
// them is thrown away as ignored (a shell starts background jobs with SIGINT ignored).
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

// Its own process group, so a stop reaches a module's shell and everything it started; no
// terminal input; output into a log in the private folder.
[[noreturn]] void BecomeChild(const std::string& folder, const std::string& log, const char* program,
                              char* const* argv, char* const* envp, const sigset_t& mask) {
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

bool Spawn(Child& child, const std::string& folder, const std::string& log, const ExecArguments& argv,
           const ExecArguments* envp, const sigset_t& mask) {
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) BecomeChild(folder, log, argv.Get()[0], argv.Get(), envp ? envp->Get() : nullptr, mask);
    setpgid(pid, pid);  // also here: a stop may come before the child has run at all
    child.Pid = pid;
    child.Running = true;
    return true;
}

void AskToStop(Child& child, int signal) {
    if (!child.Running || child.StopsSent > 0) return;
    kill(-child.Pid, signal);
    child.StopsSent = 1;
    child.StoppedAt = Clock::now();
}

void KillWhenOverdue(Child& child, Clock::time_point now) {
    if (!child.Running || child.StopsSent != 1 || now - child.StoppedAt < kStopGrace) return;
    kill(-child.Pid, SIGKILL);
    child.StopsSent = 2;
}

bool ExitedWell(const Child& child) {
    return WIFEXITED(child.Status) && WEXITSTATUS(child.Status) == 0;
}

// Only a part of a log is read: a module may have written gigabytes without a line break. A tail
// that starts inside a line says so with "...".
std::string ReadLogPart(const std::string& path, bool head) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? std::streamoff(in.tellg()) : 0;
    // One byte before the tail tells whether it starts a line.
    const std::streamoff start = head || size <= kLogTail ? 0 : size - kLogTail - 1;
    std::string part(size_t(std::min(size - start, head ? kLogHead : kLogTail + 1)), '\0');
    in.seekg(start);
    in.read(&part[0], std::streamsize(part.size()));
    part.resize(in ? part.size() : size_t(std::max<std::streamsize>(in.gcount(), 0)));
    if (start == 0 || part.empty()) return part;
    return part[0] == '\n' ? part.substr(1) : "..." + part.substr(1);
}

// What the user sees of a line a program wrote: what it shows after its last carriage return,
// without control bytes and escapes (they would redraw the user's terminal).
std::string Shown(const std::string& line) {
    const size_t carriage = line.rfind('\r', line.find_last_not_of(" \r\t"));
    std::string shown;
    for (size_t i = carriage == std::string::npos ? 0 : carriage + 1; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c >= 0x20 && c != 0x7F) shown += char(c);
    }
    const size_t end = shown.find_last_not_of(' ');
    if (end == std::string::npos) return "";
    const size_t first = shown.find_first_not_of(' ');
    return shown.substr(first, end + 1 - first);
}

bool StartsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

// The lines worth showing; lines starting with unsaid are passed over.
std::vector<std::string> ShownLines(const std::string& log, const std::string& unsaid = "") {
    std::istringstream in(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        const std::string shown = Shown(line);
        if (!shown.empty() && (unsaid.empty() || !StartsWith(shown, unsaid))) lines.push_back(shown);
    }
    return lines;
}

std::string LastLine(const std::string& log, const std::string& unsaid = "") {
    const std::vector<std::string> lines = ShownLines(log, unsaid);
    return lines.empty() ? "" : lines.back();
}

// Why a module that could not answer says it could not: a kit closes with its "Error: no answer"
// line, and the reason is the line before it; a module of our runtime ends with its reason.
std::string ModuleSaid(const std::string& log) {
    const std::vector<std::string> lines = ShownLines(log);
    const auto closing = std::find_if(lines.begin(), lines.end(),
                                      [](const std::string& line) { return StartsWith(line, kKitNoAnswer); });
    if (closing == lines.end()) return lines.empty() ? "" : lines.back();
    return closing == lines.begin() ? *closing : *(closing - 1) + "; " + *closing;
}

std::string ResultName(const BatchItem& item) {
    return "result" + item.Extension;
}

// Where a host's line names OUT: the whole word, after a space or at the start.
bool NamesResult(const std::string& text, size_t at, const std::string& result) {
    if ((at != 0 && text[at - 1] != ' ') || text.compare(at, result.size(), result) != 0) return false;
    const size_t end = at + result.size();
    const bool sentenceEnd =
        end < text.size() && text[end] == '.' && (end + 1 == text.size() || text[end + 1] == ' ');
    return end == text.size() || text[end] == ' ' || text[end] == ',' || text[end] == ':' ||
           text[end] == ';' || sentenceEnd;
}

// The host was given the input's absolute path and an output in its private folder; the user
// knows them by the input's name as given and the output's name in the output folder.
std::string AsNamed(const std::string& text, const BatchItem& item) {
    const std::string result = ResultName(item);
    std::string named;
    for (size_t at = 0; at < text.size();) {
        if (text.compare(at, item.InputPath.size(), item.InputPath) == 0) {
            named += item.Input;
            at += item.InputPath.size();
        } else if (NamesResult(text, at, result)) {
            named += item.Output;
            at += result.size();
        } else {
            named += text[at++];
        }
    }
    return named;
}

// The host's warnings, about the input and about the output, under the user's names.
std::vector<std::string> HostWarnings(const std::string& log, const BatchItem& item, size_t& unshown) {
    std::istringstream in(log);
    std::string line;
    std::vector<std::string> warnings;
    unshown = 0;
    while (std::getline(in, line)) {
        if (!StartsWith(line, kWarningStart)) continue;
        if (warnings.size() == kShownWarnings) {
            ++unshown;
            continue;
        }
        warnings.push_back(Shown(AsNamed(line, item)));
    }
    return warnings;
}

std::string DescribeStatus(const char* who, int status) {
    if (WIFSIGNALED(status)) return std::string(who) + " ended by signal " + std::to_string(WTERMSIG(status));
    return std::string(who) + " exited with " + std::to_string(WEXITSTATUS(status));
}

// The user's environment, with the modules' folder first on PATH so they are found by name.
std::vector<std::string> ModuleEnvironment(const std::string& moduleFolder) {
    std::vector<std::string> words;
    const char* path = std::getenv("PATH");
    const std::string rest = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    words.push_back("PATH=" + (moduleFolder.empty() ? rest : moduleFolder + ":" + rest));
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "PATH=", 5) != 0) words.push_back(*entry);
    }
    return words;
}

class BatchRun {
  public:
    BatchRun(const BatchOptions& options, const BatchPrograms& programs, const std::vector<BatchItem>& items)
        : options_(options),
          programs_(programs),
          items_(items),
          moduleEnvironment_(ModuleEnvironment(programs.ModuleFolder)),
          start_(Clock::now()) {
        progressLine_ = isatty(STDOUT_FILENO) == 1 && !options.Quiet;
        jobs_ = options.Jobs;
        if (jobs_ == 0) {
            cpu_set_t cpus;
            jobs_ = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? uint32_t(CPU_COUNT(&cpus)) : 1;
        }
    }

    int Run() {
        TakeOverSignals(childMask_);
        while ((next_ < items_.size() && stopSignal_ == 0) || !running_.empty()) {
            while (stopSignal_ == 0 && running_.size() < jobs_ && next_ < items_.size())
                Start(items_[next_++]);
            Wait();
            Reap();
            Supervise();
            ShowProgress(false);
        }
        sigprocmask(SIG_SETMASK, &childMask_, nullptr);
        return Summarise();
    }

  private:
    void Fail(const BatchItem& item, const std::string& message) {
        failures_.push_back({item.Input, message});
    }

    void Start(const BatchItem& item) {
        if (!options_.Overwrite && NameTaken(item.Output)) {
            if (options_.SkipExisting) {
                ++skipped_;
            } else {
                Fail(item, item.Output + " exists; --overwrite replaces it");
            }
            return;
        }
        std::string pattern = options_.OutFolder + "/.corvane-batch-XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr) {
            Fail(item, "cannot make a working folder in " + options_.OutFolder + ": " + std::strerror(errno));
            return;
        }
        auto exchange = std::make_unique<Exchange>();
        exchange->Item = &item;
        exchange->Folder = pattern;
        const std::string exchangeFolder = exchange->Folder + "/" + kExchangeFolderName;
        const ExecArguments module({"/bin/sh", "-c", options_.Module});
        const bool started = mkdir(exchangeFolder.c_str(), 0700) == 0 &&
                             Spawn(exchange->Module, exchangeFolder, exchange->Folder + "/" + kModuleLog,
                                   module, &moduleEnvironment_, childMask_) &&
                             Spawn(exchange->Host, exchange->Folder, exchange->Folder + "/" + kHostLog,
                                   ExecArguments(HostArguments(item)), nullptr, childMask_);
        if (!started) exchange->Reason = std::string("cannot start the exchange: ") + std::strerror(errno);
        if (!started) AskToStop(exchange->Module, SIGTERM);
        running_.push_back(std::move(exchange));
    }

    // The host's names come after "--": an input named "-x.jpg" is a picture, not an option.
    std::vector<std::string> HostArguments(const BatchItem& item) const {
        std::vector<std::string> words{programs_.Host};
        words.insert(words.end(), options_.HostOptions.begin(), options_.HostOptions.end());
        for (const std::string& word :
             {std::string("--"), std::string(kExchangeFolderName), item.InputPath, ResultName(item)})
            words.push_back(word);
        return words;
    }

    void Wait() {
        const sigset_t set = StopAndChildSignals();
        const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(kTick).count();
        const timespec timeout{0, long(nanoseconds)};
        const int signal = sigtimedwait(&set, nullptr, &timeout);
        if (signal != SIGINT && signal != SIGTERM && signal != SIGHUP) return;
        // A second Ctrl-C does not wait for anybody; the working folders go all the same.
        const bool again = stopSignal_ != 0;
        if (!again) stopSignal_ = signal;
        for (auto& exchange : running_) {
            for (Child* child : {&exchange->Host, &exchange->Module}) {
                if (again && child->Running) kill(-child->Pid, SIGKILL);
                // Each host takes back what it put into its exchange folder; each module just ends.
                AskToStop(*child, signal);
            }
        }
    }

    void Reap() {
        int status = 0;
        pid_t pid;
        while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
            for (auto& exchange : running_) {
                for (Child* child : {&exchange->Host, &exchange->Module}) {
                    if (child->Pid != pid) continue;
                    child->Running = false;
                    child->Status = status;
                    child->EndedAt = Clock::now();
                }
            }
        }
    }

    // A module that has ended will not answer: a host still waiting for it is stopped, unless an
    // answer waits for it or its picture may still be taken (a module ending well has answered).
    void StopOrphanedHost(Exchange& exchange, Clock::time_point now) {
        if (exchange.Module.Running || !exchange.Host.Running || now - exchange.Module.EndedAt < kAnswerGrace)
            return;
        if (NameTaken(exchange.Folder + "/" + kFlagName)) return;
        const bool untaken = NameTaken(exchange.Folder + "/" + kExchangeFolderName + "/" + kFlagName);
        if (!untaken && ExitedWell(exchange.Module)) return;
        exchange.Reason = untaken ? "the module ended without taking the picture ("
                                  : "the module ended without answering (";
        exchange.Reason += DescribeStatus("it", exchange.Module.Status) + ")";
        AskToStop(exchange.Host, SIGTERM);
    }

    void Supervise() {
        const Clock::time_point now = Clock::now();
        for (auto it = running_.begin(); it != running_.end();) {
            Exchange& exchange = **it;
            // After a saved result the module has answered; otherwise it would wait for a
            // picture that never comes.
            if (!exchange.Host.Running) AskToStop(exchange.Module, SIGTERM);
            StopOrphanedHost(exchange, now);
            KillWhenOverdue(exchange.Host, now);
            KillWhenOverdue(exchange.Module, now);
            if (exchange.Host.Running || exchange.Module.Running) {
                ++it;
                continue;
            }
            Finish(exchange);
            it = running_.erase(it);
        }
    }

    // Without --overwrite the result never replaces a file, even one that appeared meanwhile.
    bool MoveResult(const std::string& result, const std::string& output, std::string& problem) {
        int moved = options_.Overwrite
                        ? rename(result.c_str(), output.c_str())
                        : renameat2(AT_FDCWD, result.c_str(), AT_FDCWD, output.c_str(), RENAME_NOREPLACE);
        if (moved != 0 && !options_.Overwrite && errno == EINVAL) {
            moved = link(result.c_str(), output.c_str());  // a file system without RENAME_NOREPLACE
        }
        if (moved == 0) return true;
        problem = errno == EEXIST ? output + " exists; --overwrite replaces it"
                                  : "cannot save " + output + ": " + std::strerror(errno);
        return false;
    }

    // Below the progress line, which the next tick draws again; returns how many the host said.
    size_t SayWarnings(const BatchItem& item, const std::string& hostLog) {
        size_t unshown = 0;
        const std::vector<std::string> warnings = HostWarnings(ReadLogPart(hostLog, true), item, unshown);
        if (warnings.empty()) return 0;
        if (shownWidth_ > 0) std::cout << "\r" << std::string(shownWidth_, ' ') << "\r" << std::flush;
        shownWidth_ = 0;
        for (const std::string& warning : warnings) std::cerr << warning << "\n";
        if (unshown > 0) std::cerr << kWarningStart << item.Input << ": " << unshown << " more not shown\n";
        std::cerr << std::flush;
        return warnings.size() + unshown;
    }

    void Finish(Exchange& exchange) {
        const BatchItem& item = *exchange.Item;
        const std::string hostLog = exchange.Folder + "/" + kHostLog;
        const size_t warnings = SayWarnings(item, hostLog);
        std::string problem = exchange.Reason;
        if (problem.empty() && !ExitedWell(exchange.Host)) {
            problem = LastLine(AsNamed(ReadLogPart(hostLog, false), item), kHostHint);
            if (problem.empty()) problem = DescribeStatus("corvane", exchange.Host.Status);
        }
        // A module stopped once its host had ended has still said why it failed when the host
        // heard its failure flag: the flag comes after the reason.
        const bool failureFlag =
            problem == std::string("The module in ") + kExchangeFolderName + kCouldNotAnswer;
        if (!problem.empty() && !ExitedWell(exchange.Module) &&
            (exchange.Module.StopsSent == 0 || failureFlag)) {
            const std::string said = ModuleSaid(ReadLogPart(exchange.Folder + "/" + kModuleLog, false));
            if (!said.empty()) problem += "; the module said: " + said;
        }
        if (problem.empty() && MoveResult(exchange.Folder + "/" + ResultName(item), item.Output, problem)) {
            ++saved_;
            if (warnings > 0) ++warned_;
        }
        // An exchange the user stopped has not failed: it simply was not finished.
        if (!problem.empty() && stopSignal_ != 0 && exchange.Host.StopsSent != 0) {
            ++stopped_;
        } else if (!problem.empty()) {
            Fail(item, problem);
        }
        std::error_code ignored;
        std::filesystem::remove_all(exchange.Folder, ignored);  // links inside are removed, not followed
    }

    void ShowProgress(bool force) {
        if (!progressLine_) return;
        const Clock::time_point now = Clock::now();
        if (!force && now - shownAt_ < kProgressEvery) return;
        shownAt_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const double rate = seconds > 0 ? double(saved_ + failures_.size()) / seconds : 0;
        char line[128];
        std::snprintf(line, sizeof line, "%zu/%zu done, %zu failed, %.1f pictures/s", saved_ + skipped_,
                      items_.size(), failures_.size(), rate);
        std::cout << "\r" << line
                  << std::string(line[0] != 0 && shownWidth_ > std::strlen(line)
                                     ? shownWidth_ - std::strlen(line)
                                     : 0,
                                 ' ')
                  << std::flush;
        shownWidth_ = std::strlen(line);
    }

    // Under --quiet only a batch with something to say about it ends with a summary.
    int Summarise() {
        ShowProgress(true);
        if (progressLine_) std::cout << "\n";
        for (const Failure& failure : failures_)
            std::cerr << "Failed: " << failure.Input << ": " << failure.Message << "\n";
        if (options_.Quiet && failures_.empty() && warned_ == 0 && stopSignal_ == 0) return 0;
        const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        char timing[64];
        std::snprintf(timing, sizeof timing, "%.1f s, %.1f pictures/s", seconds,
                      seconds > 0 ? double(saved_ + failures_.size()) / seconds : 0.0);
        std::cout << (stopSignal_ != 0 ? "Stopped: " : "") << saved_ << " of " << items_.size()
                  << " pictures saved in " << options_.OutFolder << "/";
        if (warned_ > 0) std::cout << ", " << warned_ << " with warnings";
        std::cout << ", " << failures_.size() << " failed";
        if (skipped_ > 0) std::cout << ", " << skipped_ << " skipped";
        if (stopSignal_ != 0)
            std::cout << ", " << stopped_ << " stopped, " << items_.size() - next_ << " not started";
        std::cout << " (" << timing << ")\n" << std::flush;
        if (stopSignal_ != 0) return kExitSignalBase + stopSignal_;
        return failures_.empty() ? 0 : kExitFailed;
    }

    const BatchOptions& options_;
    const BatchPrograms& programs_;
    const std::vector<BatchItem>& items_;
    const ExecArguments moduleEnvironment_;
    std::list<std::unique_ptr<Exchange>> running_;
    std::vector<Failure> failures_;
    sigset_t childMask_{};
    uint32_t jobs_ = 1;
    size_t next_ = 0;
    size_t saved_ = 0;
    size_t warned_ = 0;  // saved, with warnings
    size_t skipped_ = 0;
    size_t stopped_ = 0;
    int stopSignal_ = 0;
    bool progressLine_ = false;
    Clock::time_point start_;
    Clock::time_point shownAt_;
    size_t shownWidth_ = 0;
};

std::string OwnFolder() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return "";
    const std::string self(path, size_t(length));
    return self.substr(0, self.rfind('/'));
}

bool IsFolder(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

BatchPrograms FindBatchPrograms() {
    BatchPrograms programs;
    const std::string own = OwnFolder();
    programs.Host =
        !own.empty() && access((own + "/corvane").c_str(), X_OK) == 0 ? own + "/corvane" : "corvane";
    const std::string installed = own + "/../lib/corvane/modules";
    if (!own.empty()) programs.ModuleFolder = IsFolder(installed) ? installed : own;
    return programs;
}

int RunBatch(const BatchOptions& options, const BatchPrograms& programs,
             const std::vector<BatchItem>& items) {
    return BatchRun(options, programs, items).Run();
}
