// Safe replacement of an output file: bytes go to a temporary file beside the target, which takes
// the target's name only once every write, the flush and the close have succeeded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class FileWriter {
  public:
    FileWriter() = default;
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;
    // Removes the temporary file unless Commit succeeded: the target is never half-written.
    ~FileWriter();

    // Creates the temporary file in the target's directory. False when the target exists but is
    // not a regular file (a device or a directory is never replaced) or nothing can be created.
    bool Open(const char* path);
    // False once any write has failed; later writes are refused.
    bool Write(const void* data, size_t count);
    // Flushes, closes and renames over the target; on any failure the temporary file is removed
    // and the earlier target is left as it was.
    bool Commit();

  private:
    bool WriteThrough(const uint8_t* data, size_t count);
    bool FlushBuffer();
    void Discard();

    std::string target_;
    std::string temp_;
    int fd_ = -1;
    bool failed_ = false;
    std::vector<uint8_t> buffer_;
};
