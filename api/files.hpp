// SPDX-License-Identifier: LGPL-2.1-or-later
// How the project writes a file: snapshot files, and every file of run
// folders, sweeps and reports (experiments/files.hpp builds on it). One
// rule, by what is at the path:
//
//   nothing, or a regular file  written beside it under a hidden temporary
//                               name (.NAME.tmp-XXXXXX) and renamed over it
//                               when complete: the name holds the old file or
//                               the new one, never a part;
//   a symbolic link             followed: the file it leads to is written by
//                               this rule (created when missing);
//   a character device or a     written through, in place (/dev/null,
//   named pipe                  /dev/stdout, a pipe that a process reads);
//   anything else               refused: a folder, a block device, a socket.
//
// A rename never replaces anything but a regular file. Not installed.
#pragma once

#include <cstddef>
#include <string>

namespace veltrax {

class FileWriter {
public:
    enum class Mode {
        by_rule,  // the rule above
        fresh,    // a new file in a folder of the caller's own, created in place (exclusively)
    };

    // Opens `path` for writing. Errors throw Error(error_id, "cannot write
    // 'SHOWN': WHY"), SHOWN being `shown` or else `path`.
    FileWriter(const std::string& path, std::string error_id, std::string shown = {}, Mode mode = Mode::by_rule);
    ~FileWriter();  // without commit(): the temporary file is removed
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // Buffered; the first error is kept and thrown by commit().
    void write(const void* data, std::size_t size);
    // Writes out the buffer, flushes the file to disk when `durable` and
    // puts it in place. Throws as the constructor does.
    void commit(bool durable = true);
    // Written through (a device or a pipe), not renamed into place.
    bool through() const { return through_; }

private:
    void flush();
    [[noreturn]] void fail(const std::string& why);

    std::string error_id_, shown_;
    std::string target_;  // the file that gets the content
    std::string temp_;    // the temporary file; empty when written in place
    int fd_ = -1;
    bool through_ = false;
    int error_ = 0;       // errno of the first failed write
    std::string buffer_;
};

// Puts the finished file `temp` (a regular file of the caller's) at `path`
// by the same rule: renamed there (or copied, across file systems), or
// copied through to a device or pipe and removed. Throws as FileWriter does.
void install_file(const std::string& temp, const std::string& path, const std::string& error_id,
                  const std::string& shown = {});

// The hidden name of a temporary file or folder beside NAME in `folder`:
// "folder/.NAME.KIND-XXXXXX" with six random letters and digits.
std::string hidden_name(const std::string& folder, const std::string& name, const char* kind);

// Whether `file` (a name in a folder) is one of those hidden temporary
// names (KIND "tmp" or "old").
bool is_hidden_temporary(const std::string& file);

}  // namespace veltrax
