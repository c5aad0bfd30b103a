// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading and writing the files of run folders, sweeps and reports: every
// file the tool and the library write goes through OutputFile, by the rule
// of api/files.hpp (docs/cli.md, "Files the tool writes").
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "api/files.hpp"

namespace veltrax::experiments {

// Throws veltrax::Error "veltrax:writeFailed": "cannot write 'SHOWN': WHY".
[[noreturn]] void write_failed(const std::filesystem::path& shown, const std::string& why);

// A file written whole: by the rule (a new or regular file appears whole
// when close() succeeds, and not at all before), or, `fresh`, created in
// place in a new folder of the caller's own. The first error is reported by
// close(), which throws veltrax::Error "veltrax:writeFailed" naming the file
// as `shown` (default: its path). A file not closed is discarded.
class OutputFile {
public:
    using Mode = FileWriter::Mode;
    explicit OutputFile(const std::filesystem::path& path, std::filesystem::path shown = {},
                        Mode mode = Mode::by_rule);

    void write(std::string_view text) { file_.write(text.data(), text.size()); }
    OutputFile& operator<<(std::string_view text) {
        write(text);
        return *this;
    }
    // Puts the file in place, flushed to disk when `durable` (a folder's
    // owner that flushes its files itself passes false).
    void close(bool durable = true) { file_.commit(durable); }

private:
    FileWriter file_;
};

// A new hidden folder `.NAME.KIND-XXXXXX` in `parent`, of this process:
// held locked while the object lives, so that no other process takes it
// for a leftover (remove_leftovers), and removed with it unless kept
// (renamed into place). Throws veltrax::Error "veltrax:writeFailed".
class HiddenFolder {
public:
    HiddenFolder(const std::filesystem::path& parent, const std::string& name, const char* kind);
    ~HiddenFolder();
    HiddenFolder(const HiddenFolder&) = delete;
    HiddenFolder& operator=(const HiddenFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    void keep() { keep_ = true; }

private:
    std::filesystem::path path_;
    int lock_ = -1;
    bool keep_ = false;
};

// Files that the tool reads in whole are at most this large.
constexpr std::size_t kMaxReadFile = std::size_t{16} << 20;

// The whole file, at most `limit` bytes. False when it cannot be read:
// errno says why, EFBIG when it is larger than `limit`.
bool read_text(const std::filesystem::path& path, std::string& text, std::size_t limit = kMaxReadFile);

// "larger than 16 MiB" for a limit of 16 MiB.
std::string larger_than(std::size_t limit);

// Removes the hidden temporary files and folders (.NAME.tmp-XXXXXX,
// .NAME.old-XXXXXX) in `folder` that processes which ended left behind
// (those that no process holds locked and that did not change for five
// seconds); those of running processes stay. `cancelled()`, asked now and then, ends
// the search early. Errors are ignored.
// With `name`, only those beside NAME (.NAME.tmp-XXXXXX): in a folder that
// is not the tool's own.
void remove_leftovers(const std::filesystem::path& folder, bool (*cancelled)(void*) = nullptr,
                      void* cancel_context = nullptr, const std::string& name = "");

}  // namespace veltrax::experiments
