#pragma once
// Whole-file reads and writes. Errors carry the operating system's text unchanged;
// callers add the path as context where the format asks for it.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "support/error.hpp"

namespace quorvex {

// The kinds of file a whole-file read accepts. A device such as /dev/zero never ends and a
// read of it would grow without bound, so devices, sockets and the like are always refused
// ("not a regular file"; a directory gives the system's "Is a directory").
enum class ReadFrom : uint8_t {
    regular_files,            // also refuses a FIFO, without waiting for a writer to open it
    regular_files_and_pipes,  // a pipe is read until its writer closes it
};

// Reads the whole file in one pass.
Result<std::vector<uint8_t>> read_file(const std::filesystem::path& path,
                                       ReadFrom from = ReadFrom::regular_files_and_pipes);
Result<std::string> read_text(const std::filesystem::path& path, ReadFrom from = ReadFrom::regular_files_and_pipes);
// Reads the whole file into buf, reusing its storage: buf grows when the file is longer than
// buf.size() and never shrinks. Returns the file's length; bytes [0, length) hold the file.
Result<size_t> read_file_into(const std::filesystem::path& path, std::vector<uint8_t>& buf,
                              ReadFrom from = ReadFrom::regular_files);

// Writes the whole file: the bytes go to a temporary file beside `path`, which is
// flushed to disk and renamed over `path` only when complete. A failed write leaves
// no partial file and leaves any previous file at `path` untouched. Where the file system
// allows, the temporary file has no name until it is complete, so even a process killed
// while writing leaves nothing behind. Devices and pipes are written in place.
Status write_file(const std::filesystem::path& path, std::span<const uint8_t> bytes);
Status write_file(const std::filesystem::path& path, std::string_view text);

// The operating system's text for an errno value.
std::string os_error_text(int err);

}  // namespace quorvex
