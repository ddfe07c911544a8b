// Stale runs and leftovers: what earlier runs left behind, settled before this run writes, and
// what this run takes back of its own.
#include "StaleRuns.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <vector>

#include "Exchange.h"
#include "ExchangeFiles.h"
#include "HostMessages.h"
#include "RegularFile.h"
#include "StopSignals.h"

namespace {

// The marker a stopped host leaves when a module may still answer into this folder.
const char kStopMarker[] = "corvane.stopped";

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool StartsWithDocumentTag(const char* path) {
    uint64_t size = 0;
    const int descriptor = OpenRegularFile(path, LinkPolicy::Refuse, size);
    if (descriptor < 0) return false;
    char start[7] = {};
    const bool document = ReadFully(descriptor, start, sizeof start) == int64_t(sizeof start) &&
                          std::memcmp(start, "<image>", sizeof start) == 0;
    close(descriptor);
    return document;
}

// The folder a stopped host named in its marker, or empty when there is none.
std::string StoppedRunFolder() {
    uint64_t size = 0;
    const int descriptor = OpenRegularFile(kStopMarker, LinkPolicy::Refuse, size);
    if (descriptor < 0) return std::string();
    char text[4096];
    const int64_t got = ReadFully(descriptor, text, sizeof text);
    close(descriptor);
    std::string folder(text, size_t(std::max<int64_t>(got, 0)));
    while (!folder.empty() && (folder.back() == '\n' || folder.back() == '/')) folder.pop_back();
    return folder.empty() ? "." : folder;
}

// Flags and documents found before this run belong to an earlier one that was stopped: a
// module would take the stale document, and the host the stale answer.
void RemoveStaleExchangeFiles(const HostRun& run, const std::string& prefix) {
    std::vector<std::string> removed;
    for (const char* name : {kFlagFileName, kDocumentFileName}) {
        const std::string path = prefix + name;
        if (NameTaken(path) && unlink(path.c_str()) == 0) removed.push_back(path);
    }
    if (!removed.empty()) SayProgress(run, "Removed leftover " + Joined(removed) + " of an earlier run");
}

}  // namespace

// Answers arrive here as "image.xml" and "go.flag": a folder, FIFO or device under either name
// would be taken for an answer, and an "image.xml" that is not a document is the user's file.
bool CheckAnswerNames() {
    for (const char* name : {kFlagFileName, kDocumentFileName}) {
        struct stat status;
        if (lstat(name, &status) != 0 || S_ISLNK(status.st_mode)) continue;
        const char* what = S_ISDIR(status.st_mode)    ? "is a folder"
                           : !S_ISREG(status.st_mode) ? "is not a regular file"
                           : name == kDocumentFileName && !StartsWithDocumentTag(name)
                               ? "is not an exchange document"
                               : nullptr;
        if (what == nullptr) continue;
        std::cout << "./" << name << " " << what
                  << ", and answers arrive under that name; move it away first.\n";
        return false;
    }
    return true;
}

// The module answers into its parent folder and the host looks in its own: anything but a
// folder right below this one would leave the host waiting for an answer that lands elsewhere.
const char* ExchangeFolderProblem(const std::string& directory) {
    struct stat here;
    struct stat folder;
    struct stat parent;
    if (directory.empty()) return "is empty";
    if (stat(directory.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) return "is not a folder";
    if (stat(".", &here) != 0 || SameFile(folder, here)) return "is the working directory itself";
    if (stat((directory + "/..").c_str(), &parent) != 0 || !SameFile(parent, here)) {
        return "is not a folder right below the working directory";
    }
    return nullptr;
}

bool CheckExchangeFolder(const std::string& directory) {
    const char* problem = ExchangeFolderProblem(directory);
    if (problem == nullptr) return true;
    std::cout << "The exchange folder \"" << directory << "\" " << problem
              << "; start the module in a folder right below this one and name that folder.\n";
    return false;
}

// A host stopped while its module worked left a marker: that module may still answer here, so
// no run starts until it is done, and its late answer is never taken for this run's.
bool SettleStoppedRun(const HostRun& run) {
    const std::string folder = StoppedRunFolder();
    if (folder.empty()) return true;
    // The marker lies where modules write: it names nothing outside an exchange folder here.
    const bool exchangeFolder = ExchangeFolderProblem(folder) == nullptr;
    if (exchangeFolder && BusyLockHeld(folder)) {
        std::cout << "Not started: the module in " << folder
                  << " is still working on an earlier picture; wait for it to end.\n";
        return false;
    }
    std::vector<std::string> removed;
    std::vector<std::string> leftovers{kStopMarker, kFlagFileName, kDocumentFileName};
    if (exchangeFolder) leftovers.push_back(folder + "/" + kBusyFileName);
    for (const std::string& path : leftovers) {
        if (unlink(path.c_str()) == 0) removed.push_back(path);
    }
    SayProgress(run, "Removed leftover " + Joined(removed) + " of a stopped run");
    return true;
}

void RemoveLeftovers(const HostRun& run) {
    RemoveStaleExchangeFiles(run, "");
    RemoveStaleExchangeFiles(run, run.Directory() + "/");
    // Temporary files whose writer is gone: the host's own in the exchange folder, and those of
    // modules that no longer run here.
    std::vector<std::string> removed = SweepTemporaryFiles(run.Directory(), TemporaryOwner::Host);
    for (const std::string& name : SweepTemporaryFiles(".", TemporaryOwner::Module)) removed.push_back(name);
    if (!removed.empty()) SayProgress(run, "Removed leftover temporary files " + Joined(removed));
}

// What the host put into the exchange folder and the module has not taken yet; nothing before
// the host has begun to write there (the files then belong to somebody else).
std::string RemoveOwnFiles(const HostRun& run) {
    std::vector<std::string> removed;
    if (!run.WroteExchangeFiles) return std::string();
    for (const std::string& path : {run.Document, run.Flag}) {
        if (unlink(path.c_str()) == 0) removed.push_back(path);
    }
    return Joined(removed);
}

// After the module took the picture it may still answer into this folder: the marker keeps
// the next run from taking that answer for its own.
bool LeaveStopMarker(const HostRun& run) {
    if (!run.AwaitingAnswer || NameTaken(run.Flag)) return false;
    AtomicFileWriter marker;
    const std::string text = run.Directory() + "\n";
    if (marker.Open(kStopMarker, LinkPolicy::Refuse, TemporaryOwner::Host)) {
        SetWriteStop(nullptr);
        marker.Append(text.data(), text.size());
        marker.Commit();
    }
    return true;
}

void SayModuleMayAnswer(const HostRun& run) {
    std::cout << "The module in " << run.Directory() << "/ had taken the picture and may still answer"
              << " here; the next run in this folder waits for it and removes its answer.\n";
}
