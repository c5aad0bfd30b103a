// SPDX-License-Identifier: LGPL-2.1-or-later
#include "api/files.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "api/errors.hpp"

namespace veltrax {

namespace {

constexpr std::size_t kBufferSize = std::size_t{1} << 16;

// Folder and name of a path: "a/b" -> "a", "b"; "b" -> ".", "b".
void split(const std::string& path, std::string& folder, std::string& name) {
    const std::size_t slash = path.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

void sync_folder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// What the rule makes of `path`: the file that gets the content, and
// whether it is written through. Throws `fail(why)` for what is refused.
struct Destination {
    std::string target;
    bool through = false;
    bool fifo = false;
};

// Where a symbolic link that leads to no file leads: the missing file at
// the end of its chain.
template <class Fail>
std::string link_end(std::string path, Fail&& fail) {
    for (int depth = 0; depth < 40; ++depth) {
        char buf[4096];
        const ::ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
        if (n < 0) fail(std::strerror(errno));
        const std::string link(buf, static_cast<std::size_t>(n));
        std::string folder, name;
        split(path, folder, name);
        path = link[0] == '/' ? link : folder + "/" + link;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno != ENOENT) fail(std::strerror(errno));
            return path;
        }
        if (!S_ISLNK(st.st_mode)) break;
    }
    fail("its symbolic links lead nowhere");
    return path;
}

template <class Fail>
Destination destination(const std::string& path, Fail&& fail) {
    Destination d{path};
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) fail(std::strerror(errno));
        return d;
    }
    if (S_ISLNK(st.st_mode)) {
        if (::stat(path.c_str(), &st) != 0) {
            if (errno != ENOENT) fail(std::strerror(errno));
            d.target = link_end(path, fail);  // a new file where the link leads
            return d;
        }
        if (S_ISREG(st.st_mode)) {
            char* resolved = ::realpath(path.c_str(), nullptr);
            if (!resolved) fail(std::strerror(errno));
            d.target = resolved;
            std::free(resolved);
        }
    }
    d.through = S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode);
    d.fifo = S_ISFIFO(st.st_mode);
    if (S_ISDIR(st.st_mode)) fail("it is a folder");
    if (!d.through && !S_ISREG(st.st_mode))
        fail("it is neither a regular file nor a character device nor a named pipe");
    return d;
}

}  // namespace

void install_file(const std::string& temp, const std::string& path, const std::string& error_id,
                  const std::string& shown) {
    const std::string named = shown.empty() ? path : shown;
    auto fail = [&](const std::string& why) { throw Error(error_id, "cannot write '" + named + "': " + why); };
    const Destination d = destination(path, fail);
    if (!d.through) {
        struct stat st {};
        if (::lstat(d.target.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            fail("something other than a regular file took its place");
        if (::rename(temp.c_str(), d.target.c_str()) == 0) return;
        if (errno != EXDEV) fail(std::strerror(errno));
    }
    std::FILE* in = std::fopen(temp.c_str(), "rb");
    if (!in) fail(std::strerror(errno));
    FileWriter out(path, error_id, named);
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) out.write(buf, n);
    const bool read_error = std::ferror(in);
    std::fclose(in);
    if (read_error) fail("cannot read the finished file back");
    out.commit();
    ::unlink(temp.c_str());
}

std::string hidden_name(const std::string& folder, const std::string& name, const char* kind) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 random(std::random_device{}());
    std::string suffix;
    for (int i = 0; i < 6; ++i) suffix += letters[random() % (sizeof letters - 1)];
    return (folder.empty() || folder.back() == '/' ? folder : folder + "/") + "." + name + "." + kind + "-" + suffix;
}

bool is_hidden_temporary(const std::string& file) {
    const std::size_t n = file.size();
    if (n < 13 || file[0] != '.') return false;
    const std::string kind = file.substr(n - 11, 5);
    if (kind != ".tmp-" && kind != ".old-") return false;
    for (std::size_t i = n - 6; i < n; ++i)
        if (!((file[i] >= 'a' && file[i] <= 'z') || (file[i] >= '0' && file[i] <= '9'))) return false;
    return true;
}

FileWriter::FileWriter(const std::string& path, std::string error_id, std::string shown, Mode mode)
    : error_id_(std::move(error_id)), shown_(shown.empty() ? path : std::move(shown)), target_(path) {
    if (mode == Mode::fresh) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0) fail(std::strerror(errno));
        return;
    }
    const Destination d = destination(path, [this](const std::string& why) { fail(why); });
    target_ = d.target;
    if (d.through) {
        // A pipe without a reader would block the open: refused instead.
        const int nonblock = d.fifo ? O_NONBLOCK : 0;
        fd_ = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | nonblock);
        if (fd_ < 0) fail(errno == ENXIO ? "no process reads the named pipe" : std::strerror(errno));
        if (nonblock) ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        through_ = true;
        return;
    }
    std::string folder, name;
    split(target_, folder, name);
    if (name.empty() || name == "." || name == "..") fail("give the name of a file");
    for (int attempt = 0; fd_ < 0; ++attempt) {
        temp_ = hidden_name(folder, name, "tmp");
        fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0 && (errno != EEXIST || attempt == 100)) {
            temp_.clear();
            fail(std::strerror(errno));
        }
    }
    // Held while the file is ours: a temporary file without a lock was left
    // by a process that ended, and may be removed.
    ::flock(fd_, LOCK_EX | LOCK_NB);
}

FileWriter::~FileWriter() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

void FileWriter::fail(const std::string& why) { throw Error(error_id_, "cannot write '" + shown_ + "': " + why); }

void FileWriter::flush() {
    std::size_t done = 0;
    while (done < buffer_.size() && !error_) {
        const ::ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) error_ = n < 0 ? errno : EIO;
        else done += static_cast<std::size_t>(n);
    }
    buffer_.clear();
}

void FileWriter::write(const void* data, std::size_t size) {
    if (error_ || fd_ < 0) return;
    buffer_.append(static_cast<const char*>(data), size);
    if (buffer_.size() >= kBufferSize) flush();
}

void FileWriter::commit(bool durable) {
    if (fd_ < 0) return;
    flush();
    if (error_) fail(std::strerror(error_));
    if (durable && !through_ && ::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) fail(std::strerror(errno));
    if (!temp_.empty()) {
        struct stat st {};
        if (::lstat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
            fail("something other than a regular file took its place");
        if (::rename(temp_.c_str(), target_.c_str()) != 0) fail(std::strerror(errno));
        temp_.clear();
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR && !through_) fail(std::strerror(errno));
    if (durable && !through_) {
        std::string folder, name;
        split(target_, folder, name);
        sync_folder(folder);
    }
}

}  // namespace veltrax
