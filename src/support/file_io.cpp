#include "support/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>

#include "support/big_alloc.hpp"

namespace quorvex {

std::string os_error_text(int err) { return std::system_category().message(err); }

namespace {

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

Error os_error(int err) { return Error::msg(os_error_text(err)); }

// Reads the open file to its end into buf from offset 0 and returns the byte count. buf grows
// (doubling) only when the file turns out longer than buf.size(); its size never shrinks. The
// size from fstat is a hint, not a promise: a file that changes while it is read is read as
// it stands.
Result<size_t> read_all(int fd, std::vector<uint8_t>& buf) {
    size_t used = 0;
    for (;;) {
        if (used == buf.size()) {
            // Probe for more before growing, so an exactly sized buffer is never reallocated.
            uint8_t probe[4096];
            ssize_t r = ::read(fd, probe, sizeof probe);
            if (r < 0) {
                if (errno == EINTR) continue;
                return os_error(errno);
            }
            if (r == 0) return used;
            buf.resize(std::max(used + static_cast<size_t>(r) + 65536, buf.size() * 2));
            std::memcpy(buf.data() + used, probe, static_cast<size_t>(r));
            used += static_cast<size_t>(r);
            continue;
        }
        ssize_t r = ::read(fd, buf.data() + used, buf.size() - used);
        if (r < 0) {
            if (errno == EINTR) continue;
            return os_error(errno);
        }
        if (r == 0) return used;
        used += static_cast<size_t>(r);
    }
}

// The length of a regular file from its metadata (0 for a pipe). A directory fails as reading
// it would; devices, sockets and (unless allowed) pipes are refused, since a read of /dev/zero
// never ends.
Result<size_t> size_hint(int fd, ReadFrom from) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return os_error(errno);
    if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
    const bool pipe_ok = from == ReadFrom::regular_files_and_pipes && S_ISFIFO(st.st_mode);
    if (!S_ISREG(st.st_mode) && !pipe_ok) return Error::msg("not a regular file");
    return S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<size_t>(st.st_size) : size_t{0};
}

}  // namespace

Result<size_t> read_file_into(const std::filesystem::path& path, std::vector<uint8_t>& buf, ReadFrom from) {
    // Without a writer, opening a FIFO would wait; non-blocking, it opens at once and is then
    // refused. Reads of a regular file are not affected by the flag.
    const int nonblock = from == ReadFrom::regular_files ? O_NONBLOCK : 0;
    Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC | nonblock)};
    if (f.fd < 0) return os_error(errno);
    QX_TRY(hint, size_hint(f.fd, from));
    if (buf.size() < hint) assign_zeroed(buf, hint);
    return read_all(f.fd, buf);
}

Result<std::vector<uint8_t>> read_file(const std::filesystem::path& path, ReadFrom from) {
    std::vector<uint8_t> out;
    QX_TRY(used, read_file_into(path, out, from));
    out.resize(used);
    return out;
}

Result<std::string> read_text(const std::filesystem::path& path, ReadFrom from) {
    QX_TRY(bytes, read_file(path, from));
    return std::string(bytes.begin(), bytes.end());
}

namespace {

// Writes every byte to fd; 0 or the errno of the write that failed.
int write_all(int fd, std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<size_t>(w);
    }
    // File systems that cannot sync (EINVAL, EROFS) still hold the data once written.
    if (::fsync(fd) != 0 && errno != EINVAL && errno != EROFS) return errno;
    return 0;
}

// Writes the bytes into an unnamed file in `dir` (O_TMPFILE) and links the complete file as
// `tmp`. A process killed while writing leaves nothing behind. Returns nullopt when the file
// system or the platform cannot do this (the caller then uses a named temporary file), or
// 0 / the errno of a real failure such as a full disk.
std::optional<int> write_unnamed(const std::filesystem::path& dir, const std::filesystem::path& tmp,
                                 std::span<const uint8_t> bytes) {
    Fd f{::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666)};
    if (f.fd < 0) return std::nullopt;
    if (int err = write_all(f.fd, bytes); err != 0) return err;
    ::unlink(tmp.c_str());  // a stale file of an earlier process with the same id
    const std::string self = fmt::format("/proc/self/fd/{}", f.fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, tmp.c_str(), AT_SYMLINK_FOLLOW) != 0) return std::nullopt;
    return 0;
}

// Devices and pipes (/dev/null, /dev/stdout) are written in place: there is nothing to
// keep intact there, and renaming over them would replace the device node.
Status write_in_place(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
    Fd f{::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC)};
    if (f.fd < 0) return os_error(errno);
    if (int err = write_all(f.fd, bytes); err != 0) return os_error(err);
    return Ok{};
}

// The same through a named temporary file, created or truncated.
int write_named(const std::filesystem::path& tmp, std::span<const uint8_t> bytes) {
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    int err = write_all(fd, bytes);
    if (::close(fd) != 0 && err == 0) err = errno;
    return err;
}

}  // namespace

Status write_file(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return write_in_place(path, bytes);
    std::filesystem::path tmp = path;
    tmp += fmt::format(".tmp-{}", ::getpid());
    const std::filesystem::path dir =
        path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    std::optional<int> unnamed = write_unnamed(dir, tmp, bytes);
    int err = unnamed ? *unnamed : write_named(tmp, bytes);
    if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(tmp.c_str());
        return os_error(err);
    }
    return Ok{};
}

Status write_file(const std::filesystem::path& path, std::string_view text) {
    return write_file(path,
                      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

}  // namespace quorvex
