#include "fs/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

namespace norvane::fs {
namespace {

constexpr const char* kNulInPath = "file name contained an unexpected NUL byte";

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

bool stat_ok(const std::string& path, struct stat& st) {
    return !has_nul(path) && ::stat(path.c_str(), &st) == 0;
}

// Length of the valid UTF-8 sequence at s[i], or 0 when it is invalid.
std::size_t utf8_sequence_length(std::string_view s, std::size_t i) {
    const auto b0 = static_cast<std::uint8_t>(s[i]);
    if (b0 < 0x80) return 1;
    std::size_t n;
    std::uint32_t cp;
    if (b0 >= 0xC2 && b0 <= 0xDF) n = 2, cp = b0 & 0x1F;
    else if ((b0 & 0xF0) == 0xE0) n = 3, cp = b0 & 0x0F;
    else if (b0 >= 0xF0 && b0 <= 0xF4) n = 4, cp = b0 & 0x07;
    else return 0;
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        const auto b = static_cast<std::uint8_t>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        return 0;
    return n;
}

// Closes a descriptor however its reader leaves, an allocation failure's exception included.
struct ClosingFd {
    int fd;
    explicit ClosingFd(int descriptor) : fd(descriptor) {}
    ClosingFd(const ClosingFd&) = delete;
    ClosingFd& operator=(const ClosingFd&) = delete;
    ~ClosingFd() { ::close(fd); }
};

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

}  // namespace

Result<std::string> read_file(const std::string& path) {
    if (has_nul(path)) return std::unexpected(io_error(kNulInPath));
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(io_error(os_error_text(errno)));
    const ClosingFd closing{fd};
    std::string data;
    struct stat st {};
    const bool sized = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    // Read straight into the result; the stat size is a hint, the end of file decides.
    std::size_t used = 0;
    data.resize(sized && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : std::size_t{1} << 16);
    for (;;) {
        if (used == data.size()) data.resize(data.size() * 2);
        const ssize_t n = ::read(fd, data.data() + used, data.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(io_error(os_error_text(errno)));
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    data.resize(used);
    return data;
}

Result<std::string> read_text_file(const std::string& path) {
    NV_ASSIGN(std::string data, read_file(path));
    if (!is_valid_utf8(data)) return std::unexpected(io_error("stream did not contain valid UTF-8"));
    return data;
}

bool exists(const std::string& path) {
    struct stat st {};
    return stat_ok(path, st);
}

bool is_directory(const std::string& path) {
    struct stat st {};
    return stat_ok(path, st) && S_ISDIR(st.st_mode);
}

bool is_regular_file(const std::string& path) {
    struct stat st {};
    return stat_ok(path, st) && S_ISREG(st.st_mode);
}

Result<std::vector<std::string>> list_directory(const std::string& path) {
    if (has_nul(path)) return std::unexpected(io_error(kNulInPath));
    const std::unique_ptr<DIR, DirCloser> dir(::opendir(path.c_str()));
    if (!dir) return std::unexpected(io_error(os_error_text(errno)));
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) return std::unexpected(io_error(os_error_text(errno)));
            return names;
        }
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
}

std::string join(const std::string& dir, const std::string& name) {
    if (!name.empty() && name.front() == '/') return name;
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + '/' + name;
}

bool parent(const std::string& path, std::string& out) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (p.empty() || p == "/") return false;
    const auto slash = p.rfind('/');
    if (slash == std::string::npos) {
        out.clear();
        return true;
    }
    out = slash == 0 ? "/" : p.substr(0, slash);
    return true;
}

std::string file_stem(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return name;
    return name.substr(0, dot);
}

bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    // Table files are nearly all ASCII: skip it eight octets at a time.
    for (std::uint64_t word = 0; i + 8 <= text.size(); i += 8) {
        std::memcpy(&word, text.data() + i, 8);
        if ((word & 0x8080808080808080ull) != 0) break;
    }
    while (i < text.size()) {
        const std::size_t n = utf8_sequence_length(text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string lossy_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = utf8_sequence_length(text, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

}  // namespace norvane::fs
