#include "support/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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

// The length of a regular file from its metadata (0 for anything else); a directory fails as
// reading it would.
Result<size_t> size_hint(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return os_error(errno);
    if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
    return S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<size_t>(st.st_size) : size_t{0};
}

}  // namespace

Result<std::vector<uint8_t>> read_file(const std::filesystem::path& path) {
    Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0) return os_error(errno);
    QX_TRY(hint, size_hint(f.fd));
    std::vector<uint8_t> out;
    assign_zeroed(out, hint);
    QX_TRY(used, read_all(f.fd, out));
    out.resize(used);
    return out;
}

Result<size_t> read_file_into(const std::filesystem::path& path, std::vector<uint8_t>& buf) {
    Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0) return os_error(errno);
    QX_TRY(hint, size_hint(f.fd));
    if (buf.size() < hint) assign_zeroed(buf, hint);
    return read_all(f.fd, buf);
}

Result<std::string> read_text(const std::filesystem::path& path) {
    QX_TRY(bytes, read_file(path));
    return std::string(bytes.begin(), bytes.end());
}

namespace {

// Devices and pipes (/dev/null, /dev/stdout) are written in place: there is nothing to
// keep intact there, and renaming over them would replace the device node.
Status write_in_place(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
    Fd f{::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC)};
    if (f.fd < 0) return os_error(errno);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = ::write(f.fd, bytes.data() + done, bytes.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return os_error(errno);
        }
        done += static_cast<size_t>(w);
    }
    return Ok{};
}

}  // namespace

Status write_file(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return write_in_place(path, bytes);
    std::filesystem::path tmp = path;
    tmp += fmt::format(".tmp-{}", ::getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return os_error(errno);
    int err = 0;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        done += static_cast<size_t>(w);
    }
    if (err == 0 && ::fsync(fd) != 0 && errno != EINVAL && errno != EROFS) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(tmp.c_str());
        return os_error(err);
    }
    return Ok{};
}

Status write_file(const std::filesystem::path& path, std::string_view text) {
    return write_file(path, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()),
                                                     text.size()));
}

}  // namespace quorvex
