// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading and writing the files of run folders, sweeps and reports: every
// file the tool and the library write goes through OutputFile.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace veltrax::experiments {

// Throws veltrax::Error "veltrax:writeFailed": "cannot write 'SHOWN': WHY".
[[noreturn]] void write_failed(const std::filesystem::path& shown, const std::string& why);

// A file written from the start. Writes are buffered; the first error is
// kept and reported by close(), which throws veltrax::Error
// "veltrax:writeFailed" naming the file as `shown` (default: its path).
// A file not closed is closed by the destructor without a report.
class OutputFile {
public:
    explicit OutputFile(const std::filesystem::path& path, std::filesystem::path shown = {});
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(std::string_view text);
    OutputFile& operator<<(std::string_view text) {
        write(text);
        return *this;
    }
    void close();

private:
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::filesystem::path shown_;
    std::unique_ptr<std::FILE, Closer> file_;
    int error_ = 0;  // errno of the first failed write
};

// The whole file; false when it cannot be read.
bool read_text(const std::filesystem::path& path, std::string& text);

}  // namespace veltrax::experiments
