// One exchange per picture, the way a user's loop would run it: a private folder, the module
// started in its exchange folder, the host beside it, the result moved out, the folder removed.
#include "BatchRunner.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <list>
#include <memory>

#include "ChildProcesses.h"
#include "Exchange.h"
#include "ExitCodes.h"
#include "FindPrograms.h"
#include "HostMessages.h"
#include "HostOutcome.h"
#include "HostStatus.h"
#include "RegularFile.h"

namespace {

using Clock = BatchClock;

constexpr char kExchangeFolderName[] = "exchange";
constexpr char kHostLog[] = "host.log";
constexpr char kModuleLog[] = "module.log";
// The host looks for the answer once a second: this leaves it two looks after the module ends.
constexpr auto kAnswerGrace = std::chrono::seconds(2);
constexpr auto kTick = std::chrono::milliseconds(100);
constexpr auto kProgressEvery = std::chrono::milliseconds(500);

struct Exchange {
    const BatchItem* Item = nullptr;
    std::string Folder;  // the host's working directory, with the exchange folder inside
    Child Host;
    Child Module;
    int Status = -1;     // what the host writes of its run
    std::string Reason;  // why the batch stopped the host, when it did
};

struct Failure {
    std::string Input;
    std::string Message;
};

std::string ResultName(const BatchItem& item) {
    return "result" + item.Extension;
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
        // The status first: the module, once started, can write in the folder.
        exchange->Status = MakeStatusFile(exchange->Folder);
        const bool started = exchange->Status >= 0 && mkdir(exchangeFolder.c_str(), 0700) == 0 &&
                             Spawn(exchange->Module, exchangeFolder, exchange->Folder + "/" + kModuleLog,
                                   module, &moduleEnvironment_, childMask_) &&
                             Spawn(exchange->Host, exchange->Folder, exchange->Folder + "/" + kHostLog,
                                   ExecArguments(HostArguments(item)), nullptr, childMask_, exchange->Status);
        if (!started) exchange->Reason = std::string("cannot start the exchange: ") + std::strerror(errno);
        if (!started) AskToStop(exchange->Module, SIGTERM);
        running_.push_back(std::move(exchange));
    }

    // The host's names come after "--": an input named "-x.jpg" is a picture, not an option.
    std::vector<std::string> HostArguments(const BatchItem& item) const {
        std::vector<std::string> words{programs_.Host,
                                       kStatusFdOption + ("=" + std::to_string(kPassedDescriptor))};
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
        if (NameTaken(exchange.Folder + "/" + kFlagFileName)) return;
        const bool untaken = NameTaken(exchange.Folder + "/" + kExchangeFolderName + "/" + kFlagFileName);
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
    size_t SayWarnings(const BatchItem& item, const HostOutcome& host) {
        if (host.Warnings.empty()) return 0;
        if (shownWidth_ > 0) std::cout << "\r" << std::string(shownWidth_, ' ') << "\r" << std::flush;
        shownWidth_ = 0;
        for (const std::string& warning : host.Warnings)
            std::cerr << AsShown(warning, item, host.Output) << "\n";
        if (host.Unshown > 0)
            std::cerr << kWarningStart << item.Input << ": " << host.Unshown << " more not shown\n";
        std::cerr << std::flush;
        return host.Warnings.size() + host.Unshown;
    }

    void Finish(Exchange& exchange) {
        const BatchItem& item = *exchange.Item;
        const HostOutcome host = ReadHostOutcome(exchange.Status);
        if (exchange.Status >= 0) close(exchange.Status);
        const size_t warnings = SayWarnings(item, host);
        std::string problem = exchange.Reason;
        if (problem.empty() && !(host.Saved && ExitedWell(exchange.Host))) {
            problem = AsShown(host.Message, item, host.Output);
            if (problem.empty()) problem = DescribeStatus("corvane", exchange.Host.Status);
        }
        // A module stopped once its host had ended has still said why it failed when the host
        // heard its failure flag: the flag comes after the reason.
        const bool failureFlag = exchange.Reason.empty() && host.ModuleNoAnswer;
        if (!problem.empty() && !ExitedWell(exchange.Module) &&
            (exchange.Module.StopsSent == 0 || failureFlag)) {
            const std::string said = ModuleSaid(exchange.Folder + "/" + kModuleLog);
            if (!said.empty()) problem += "; the module said: " + said;
        }
        if (problem.empty() && MoveResult(exchange.Folder + "/" + host.Output, item.Output, problem)) {
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

}  // namespace

int RunBatch(const BatchOptions& options, const BatchPrograms& programs,
             const std::vector<BatchItem>& items) {
    return BatchRun(options, programs, items).Run();
}
