// Where one exchange's time goes: the host's and the module's stages as `corvane` and `template` run
// them (the module in a forked child, started first, so its wake-up is real), each beside its floor
// on this machine. Usage: stage_bench ROUNDS INPUT OUTPUT_EXTENSION WORK_FOLDER
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "LibraryDrivers.h"
#include "StageCalls.h"

namespace {

constexpr int kQuality = 92;
constexpr char kExchangeFolder[] = "template";
constexpr size_t kCopyBlockBytes = size_t(1) << 20;
constexpr double kMegabyte = 1e6;

enum Stage {
    kLoad,
    kConvert,
    kDocumentWritten,
    kModuleWakeUp,
    kDocumentRead,
    kTransform,
    kAnswerWritten,
    kHostWakeUp,
    kAnswerRead,
    kImport,
    kSave,
    kStageCount
};

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "stage_bench: %s failed\n", what.c_str());
    std::exit(1);
}

Span Timed(const std::string& what, const std::function<bool()>& call) {
    const Instant start = Now();
    if (!call()) Fail(what);
    return Between(start, Now());
}

// A tool's CPU is its own user and system time (wait4), its wall time includes starting it.
Span RunTool(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const Instant start = Now();
    pid_t pid = 0;
    const bool spawned = posix_spawnp(&pid, args[0], &quiet, nullptr, args.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&quiet);
    int status = 0;
    rusage usage{};
    if (!spawned || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Fail(argv[0]);
    const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    return {cpu, Now().Wall - start.Wall};
}

// The page cache's own speed for a file of this length: a new file written, then read back, in
// blocks from and into one buffer, so that nothing but the copy and the file's pages is paid.
Span WriteFloor(const std::string& path, uint64_t bytes) {
    static const std::vector<char> block(kCopyBlockBytes, 'x');
    unlink(path.c_str());
    return Timed("page-cache write", [&] {
        const int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        bool written = descriptor >= 0;
        for (uint64_t left = bytes; written && left > 0;) {
            const ssize_t put =
                write(descriptor, block.data(), size_t(std::min<uint64_t>(left, block.size())));
            written = put > 0;
            left -= written ? uint64_t(put) : 0;
        }
        return descriptor >= 0 && close(descriptor) == 0 && written;
    });
}

Span ReadFloor(const std::string& path) {
    static std::vector<char> block(kCopyBlockBytes);
    return Timed("page-cache read", [&] {
        const int descriptor = open(path.c_str(), O_RDONLY);
        ssize_t got = descriptor >= 0 ? 1 : -1;
        while (got > 0) got = read(descriptor, block.data(), block.size());
        return descriptor >= 0 && close(descriptor) == 0 && got == 0;
    });
}

// What the module child reports through its pipe once it has answered.
struct ModuleReport {
    Instant WaitStart;
    Instant Noticed;
    Span Read;
    Span Transform;
    Span Answer;
    Instant FlagStart;
    Span Flag;
};

void WriteAll(int descriptor, const void* data, size_t size) {
    if (write(descriptor, data, size) != ssize_t(size)) _exit(1);
}

// The module as `template` runs it, in a child that waits in the exchange folder before the
// host starts; it says "ready" with one byte, and afterwards sends its report.
pid_t StartModule(int report) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (chdir(kExchangeFolder) != 0) _exit(1);
    ModuleReport times{};
    ModuleStages module;
    WriteAll(report, "r", 1);
    times.WaitStart = Now();
    module.AwaitFlag();
    times.Noticed = Now();
    times.Read = Timed("module read", [&] { return module.ReadDocument(); });
    times.Transform = Timed("transform", [&] {
        module.Transform();
        return true;
    });
    times.Answer = Timed("answer write", [&] { return module.WriteAnswer(); });
    times.FlagStart = Now();
    times.Flag = Timed("answer flag", [&] { return module.RaiseFlag(); });
    WriteAll(report, &times, sizeof times);
    _exit(0);
}

bool ReadAll(int descriptor, void* data, size_t size) {
    char* at = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = read(descriptor, at, size);
        if (got <= 0) return false;
        at += got;
        size -= size_t(got);
    }
    return true;
}

struct Measured {
    std::array<Span, kStageCount> Stages;
    uint64_t DocumentBytes = 0;
};

// One whole exchange: the module started first, the host's stages in its program order, then
// the module's report. The host is kept for the floors that need its picture.
Measured Exchange(const std::string& input, const std::string& output, HostStages& host) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) Fail("pipe");
    const pid_t module = StartModule(pipeEnds[1]);
    close(pipeEnds[1]);
    char ready = 0;
    if (module < 0 || !ReadAll(pipeEnds[0], &ready, 1)) Fail("module start");
    Measured m;
    m.Stages[kLoad] = Timed("load", [&] { return host.Load(input, output); });
    m.Stages[kConvert] = Timed("conversion", [&] { return host.ConvertTo24(); });
    m.DocumentBytes = host.DocumentBytes();
    m.Stages[kDocumentWritten] = Timed("document write", [&] { return host.WriteDocument(kExchangeFolder); });
    const Instant flagStart = Now();
    const Span flag = Timed("flag", [&] { return host.RaiseFlag(kExchangeFolder); });
    const Instant waitStart = Now();
    if (!host.AwaitAnswer()) Fail("answer wait");
    const Instant noticed = Now();
    TakeReadTime();
    const Span readAndImport = Timed("answer read", [&] { return host.ReadAnswer(); });
    m.Stages[kAnswerRead] = TakeReadTime();
    m.Stages[kImport] = readAndImport - m.Stages[kAnswerRead];
    m.Stages[kSave] = Timed("save", [&] { return host.Save(output, kQuality); });

    ModuleReport report{};
    int status = 0;
    if (!ReadAll(pipeEnds[0], &report, sizeof report) || waitpid(module, &status, 0) != module || status != 0)
        Fail("module");
    close(pipeEnds[0]);
    m.Stages[kModuleWakeUp] = {flag.Cpu + report.Noticed.Cpu - report.WaitStart.Cpu,
                               report.Noticed.Wall - flagStart.Wall};
    m.Stages[kDocumentRead] = report.Read;
    m.Stages[kTransform] = report.Transform;
    m.Stages[kAnswerWritten] = report.Answer;
    m.Stages[kHostWakeUp] = {report.Flag.Cpu + noticed.Cpu - waitStart.Cpu,
                             noticed.Wall - report.FlagStart.Wall};
    return m;
}

std::string Extension(const std::string& path) {
    const size_t dot = path.rfind('.');
    return dot == std::string::npos ? std::string() : path.substr(dot + 1);
}

std::string FormatName(const std::string& extension) {
    if (extension == "jpg" || extension == "jpeg") return "JPEG";
    if (extension == "png") return "PNG";
    if (extension == "heic") return "HEIC";
    Fail("format " + extension);
}

// The floor of each stage that has one: its name and how to measure it once.
struct Floor {
    std::string Name;
    std::function<Span()> Measure;
    int SameAs = -1;  // the stage whose floor this one shares: one measurement shown twice
};

std::vector<Floor> Floors(const std::string& input, const std::string& outputExtension,
                          uint64_t documentBytes, const HostStages& host) {
    std::vector<Floor> floors(kStageCount);
    const std::string inputFormat = FormatName(Extension(input));
    if (inputFormat == "JPEG") {
        floors[kLoad] = {"djpeg", [=] { return RunTool({"djpeg", "-outfile", "/dev/null", input}); }};
    } else if (inputFormat == "PNG") {
        floors[kLoad] = {"libspng alone",
                         [=] { return Timed("libspng", [&] { return DriverPngLoad(input); }); }};
    } else {
        floors[kLoad] = {"libheif alone",
                         [=] { return Timed("libheif", [&] { return DriverHeifLoad(input); }); }};
    }
    char copy[64];
    std::snprintf(copy, sizeof copy, "%.1f MB", double(documentBytes) / kMegabyte);
    floors[kDocumentWritten] = {std::string("page-cache write ") + copy,
                                [=] { return WriteFloor("floor.xml", documentBytes); }};
    floors[kDocumentRead] = {std::string("page-cache read ") + copy, [] { return ReadFloor("floor.xml"); }};
    floors[kAnswerWritten] = {floors[kDocumentWritten].Name, nullptr, kDocumentWritten};
    floors[kAnswerRead] = {floors[kDocumentRead].Name, nullptr, kDocumentRead};
    // The encoders take the very pixels the host saved: the turned picture.
    if (outputExtension == "png") {
        auto turned = std::make_shared<Rgb>();
        if (!DriverPngLoad("out.png", turned.get())) Fail("reading out.png");
        floors[kSave] = {
            "libspng alone, same settings",
            [=] { return Timed("libspng save", [&] { return DriverPngSave(*turned, "floor.png"); }); }};
    } else {
        if (!host.Save("turned.ppm", -1)) Fail("writing turned.ppm");
        floors[kSave] = {"cjpeg -quality " + std::to_string(kQuality) + " -sample 1x1", [] {
                             return RunTool({"cjpeg", "-quality", std::to_string(kQuality), "-sample", "1x1",
                                             "-outfile", "floor.jpg", "turned.ppm"});
                         }};
    }
    return floors;
}

struct Summary {
    double Cpu;
    double Wall;
    double WorstWall;
};

Summary Summarise(std::vector<Span> spans) {
    std::vector<double> cpu, wall;
    for (const Span& s : spans) cpu.push_back(s.Cpu), wall.push_back(s.Wall);
    std::sort(cpu.begin(), cpu.end());
    std::sort(wall.begin(), wall.end());
    const size_t n = spans.size();
    // Even counts take the mean of the middle two.
    auto median = [n](const std::vector<double>& v) { return (v[(n - 1) / 2] + v[n / 2]) / 2; };
    return {median(cpu), median(wall), wall.back()};
}

std::string StageName(int stage, const std::string& inFormat, const std::string& outFormat) {
    static const char* const names[kStageCount] = {
        "host    load (",           "host    conversion to 24 bits",
        "host    document written", "module  wake-up (host's flag)",
        "module  document read",    "module  transform (half turn)",
        "module  answer written",   "host    wake-up (answer flag)",
        "host    answer read",      "host    import into the image",
        "host    save (",
    };
    if (stage == kLoad) return names[stage] + inFormat + " decode)";
    if (stage == kSave) return names[stage] + outFormat + " encode+write)";
    return names[stage];
}

void PrintRow(const std::string& name, const Summary& stage, const std::string& floorName,
              const Summary* floor) {
    std::printf("  %-31s %8.1f %8.1f (%7.1f) |", name.c_str(), stage.Cpu * 1e3, stage.Wall * 1e3,
                stage.WorstWall * 1e3);
    if (floor == nullptr) {
        std::printf("\n");
        return;
    }
    std::printf(" %-30s %8.1f %8.1f %6.2f\n", floorName.c_str(), floor->Cpu * 1e3, floor->Wall * 1e3,
                stage.Wall / floor->Wall);
}

double LoadAverage() {
    double load = 0;
    std::FILE* file = std::fopen("/proc/loadavg", "r");
    if (file != nullptr) {
        if (std::fscanf(file, "%lf", &load) != 1) load = 0;
        std::fclose(file);
    }
    return load;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s ROUNDS INPUT OUTPUT_EXTENSION WORK_FOLDER\n", argv[0]);
        return 2;
    }
    const int rounds = std::max(1, std::atoi(argv[1]));
    std::unique_ptr<char, decltype(&std::free)> absolute(realpath(argv[2], nullptr), &std::free);
    if (!absolute) Fail(std::string("finding ") + argv[2]);
    const std::string input = absolute.get();
    const std::string outputExtension = argv[3];
    const std::string output = "out." + outputExtension;
    const std::string inFormat = FormatName(Extension(input)), outFormat = FormatName(outputExtension);
    if (chdir(argv[4]) != 0 || (mkdir(kExchangeFolder, 0700) != 0 && errno != EEXIST))
        Fail("the work folder");
    std::cout.rdbuf(nullptr);  // the programs' own progress lines

    std::vector<std::vector<Span>> stages(kStageCount), floors(kStageCount);
    std::vector<Span> stageTotals, floorTotals;
    std::vector<Floor> floorCalls;
    uint64_t documentBytes = 0;
    for (int round = 0; round < rounds; ++round) {
        HostStages host;
        const Measured m = Exchange(input, output, host);
        documentBytes = m.DocumentBytes;
        if (floorCalls.empty()) floorCalls = Floors(input, outputExtension, documentBytes, host);
        Span total, floorTotal;
        for (int s = 0; s < kStageCount; ++s) {
            stages[s].push_back(m.Stages[s]);
            total = total + m.Stages[s];
            if (floorCalls[s].SameAs >= 0) {
                floors[s].push_back(floors[floorCalls[s].SameAs].back());
            } else if (floorCalls[s].Measure) {
                floors[s].push_back(floorCalls[s].Measure());
            } else {
                continue;
            }
            floorTotal = floorTotal + floors[s].back();
        }
        stageTotals.push_back(total);
        floorTotals.push_back(floorTotal);
    }

    const std::string quality = outFormat == "JPEG" ? " at quality " + std::to_string(kQuality) : "";
    std::printf("%s to %s%s, %s (%.1f MB document), medians of %d rounds, load average %.2f:\n",
                inFormat.c_str(), outFormat.c_str(), quality.c_str(),
                input.substr(input.rfind('/') + 1).c_str(), double(documentBytes) / kMegabyte, rounds,
                LoadAverage());
    std::printf("  %-31s %8s %8s %9s | %-30s %8s %8s %6s\n", "stage", "cpu ms", "wall ms", "(worst)", "floor",
                "cpu ms", "wall ms", "ratio");
    for (int s = 0; s < kStageCount; ++s) {
        const Summary floor = floors[s].empty() ? Summary{} : Summarise(floors[s]);
        PrintRow(StageName(s, inFormat, outFormat), Summarise(stages[s]), floorCalls[s].Name,
                 floors[s].empty() ? nullptr : &floor);
    }
    const Summary floorTotal = Summarise(floorTotals);
    PrintRow("all stages", Summarise(stageTotals), "all floors", &floorTotal);
    std::printf(
        "  wake-up: wall from the flag's raising until the waiting side sees it; cpu: the raising and\n"
        "  the whole wait. Answer read: the reads inside the host's one pass; import: the rest of it.\n");
    for (const char* scratch : {"floor.xml", "floor.png", "floor.jpg", "turned.ppm", output.c_str()})
        unlink(scratch);
    return 0;
}
