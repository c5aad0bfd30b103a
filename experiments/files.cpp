// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/files.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "api/veltrax.hpp"

namespace veltrax::experiments {

namespace fs = std::filesystem;

void write_failed(const fs::path& shown, const std::string& why) {
    throw Error("veltrax:writeFailed", "cannot write '" + shown.string() + "': " + why);
}

OutputFile::OutputFile(const fs::path& path, fs::path shown)
    : shown_(shown.empty() ? path : std::move(shown)), file_(std::fopen(path.c_str(), "w")) {
    if (!file_) write_failed(shown_, std::strerror(errno));
}

void OutputFile::write(std::string_view text) {
    if (text.empty() || !file_) return;
    if (std::fwrite(text.data(), 1, text.size(), file_.get()) != text.size() && !error_) error_ = errno ? errno : EIO;
}

void OutputFile::close() {
    if (!file_) return;
    if (std::fclose(file_.release()) != 0 && !error_) error_ = errno ? errno : EIO;
    if (error_) write_failed(shown_, std::strerror(error_));
}

bool read_text(const fs::path& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    if (in.bad()) return false;
    text = s.str();
    return true;
}

}  // namespace veltrax::experiments
