// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

#include "api/veltrax.hpp"

namespace veltrax::experiments {

namespace fs = std::filesystem;

void write_failed(const fs::path& shown, const std::string& why) {
    throw Error("veltrax:writeFailed", "cannot write '" + shown.string() + "': " + why);
}

OutputFile::OutputFile(const fs::path& path, fs::path shown, Mode mode)
    : file_(path.string(), "veltrax:writeFailed", shown.string(), mode) {}

HiddenFolder::HiddenFolder(const fs::path& parent, const std::string& name, const char* kind) {
    for (int attempt = 0; path_.empty(); ++attempt) {
        const fs::path folder = hidden_name(parent.string(), name, kind);
        if (::mkdir(folder.c_str(), 0777) == 0)
            path_ = folder;
        else if (errno != EEXIST || attempt == 100)
            write_failed(parent, errno == EEXIST ? "no free name for a temporary folder" : std::strerror(errno));
    }
    lock_ = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock_ >= 0) ::flock(lock_, LOCK_EX | LOCK_NB);
}

HiddenFolder::~HiddenFolder() {
    std::error_code ec;
    if (!keep_) fs::remove_all(path_, ec);
    if (lock_ >= 0) ::close(lock_);
}

bool read_text(const fs::path& path, std::string& text, std::size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string content;
    char buf[65536];
    int error = 0;
    for (;;) {
        const ::ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        if (content.size() + static_cast<std::size_t>(n) > limit) {
            error = EFBIG;
            break;
        }
        content.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    errno = error;
    if (error) return false;
    text = std::move(content);
    return true;
}

std::string larger_than(std::size_t limit) {
    return limit >= (std::size_t{1} << 20) && limit % (std::size_t{1} << 20) == 0
               ? "larger than " + std::to_string(limit >> 20) + " MiB"
               : "larger than " + std::to_string(limit) + " bytes";
}

namespace {

// Unchanged for this long, and not locked: its process ended (a process
// takes its lock right after it makes the file or folder).
constexpr std::time_t kAbandonedAfter = 5;

void remove_if_abandoned(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return;
    struct stat st {};
    const bool old = ::fstat(fd, &st) == 0 && st.st_mtime + kAbandonedAfter < std::time(nullptr);
    if (old && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    ::close(fd);
}

}  // namespace

void remove_leftovers(const fs::path& folder, bool (*cancelled)(void*), void* cancel_context, const std::string& name) {
    const std::string prefix = name.empty() ? "." : "." + name + ".";
    struct Closer {
        void operator()(DIR* d) const { ::closedir(d); }
    };
    const std::unique_ptr<DIR, Closer> dir(::opendir(folder.c_str()));
    if (!dir) return;
    std::size_t seen = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (cancelled && ++seen % 4096 == 0 && cancelled(cancel_context)) return;
        const std::string file = entry->d_name;
        if (file.compare(0, prefix.size(), prefix) == 0 && is_hidden_temporary(file))
            remove_if_abandoned(folder / file);
    }
}

}  // namespace veltrax::experiments
