// Files that appear under their names only when whole: bytes go to a temporary file beside the
// final name, which takes that name once every write and the close have succeeded.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "RegularFile.h"

// Whose temporary file it is. The host recognises the first two by name and sweeps them when
// their writer is gone; an output's temporary file has a pattern nothing sweeps.
enum class TemporaryOwner { Host, Module, Output };

// A writer destroyed before Commit removes its temporary file. With LinkPolicy::Refuse (the
// exchange folders, which others can write) a link at the final name is replaced, never written
// through; with LinkPolicy::Follow (a user's output) the file the link resolves to is replaced
// and keeps its permissions. A folder, FIFO or device is never replaced.
class AtomicFileWriter {
  public:
    AtomicFileWriter() = default;
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
    ~AtomicFileWriter() { Abandon(); }

    bool Open(const std::string& path, LinkPolicy links, TemporaryOwner owner);
    // Small pieces gather in a buffer, large ones go straight to the file; the first failure
    // sticks and later calls do nothing.
    bool Append(const void* data, size_t size);
    bool Commit();
    void Abandon();
    // errno of the first failure, 0 when none.
    int Error() const { return FirstError; }

  private:
    bool Fail(int error);
    bool WriteThrough(const uint8_t* data, size_t size);
    bool Stopped();

    int Descriptor = -1;
    int FirstError = 0;
    std::string FinalPath;
    std::string TemporaryPath;
    std::vector<uint8_t> Buffer;
};

// A stop request that every writer of the process obeys: once *stop is set, no writer takes
// more bytes or renames its file into place (it fails with EINTR and removes its temporary
// file). A file renamed before the stop stays saved. Null clears it.
void SetWriteStop(const volatile std::sig_atomic_t* stop);

// The file a write to path through LinkPolicy::Follow replaces: path itself when nothing is
// there, else where its links lead. False, with errno-style error, for a dangling link or for
// anything that is not a regular file (EISDIR for a folder, EINVAL for a FIFO or a device).
bool ResolveOutputTarget(const std::string& path, std::string& target, int& error);
// Proves that a file can be created in the folder of path by creating and removing the
// temporary file a write would use; false with errno-style error otherwise.
bool CanCreateBeside(const std::string& path, int& error);

// Removes the temporary files of owner (Host or Module) in folder whose writer is gone: a
// host's always (only a host in that folder writes them, under its lock), a module's only
// when the process id in its name no longer runs. Returns the names removed.
std::vector<std::string> SweepTemporaryFiles(const std::string& folder, TemporaryOwner owner);
