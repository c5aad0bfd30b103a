// SPDX-License-Identifier: LGPL-2.1-or-later
// A NetCDF-4 file, through the C library: the few calls the sweep store
// needs, each checked. Errors throw veltrax::Error with the identifier given
// at opening, naming the file and what failed. The library is not
// thread-safe: every call holds one lock of this process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace veltrax::experiments {

// True when this build reads and writes NetCDF files.
bool netcdf_available();

// The library's variable types (nc_type) that the store uses.
namespace nc {
constexpr int kByte = 1, kInt = 4, kDouble = 6, kInt64 = 10, kUint64 = 11, kString = 12;
constexpr double kFillDouble = 9.9692099683868690e+36;  // the default fill values
constexpr signed char kFillByte = -127;
constexpr std::int32_t kFillInt = -2147483647;
}  // namespace nc

class NetcdfFile {
public:
    enum class Mode { read, write, create };

    // `error_id` names the errors of this file ("veltrax:badStore" when
    // reading, "veltrax:writeFailed" when writing).
    NetcdfFile(const std::filesystem::path& path, Mode mode, std::string error_id);
    ~NetcdfFile();
    NetcdfFile(const NetcdfFile&) = delete;
    NetcdfFile& operator=(const NetcdfFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Throws the file's error: "'PATH': WHAT".
    [[noreturn]] void fail(const std::string& what) const;

    // ---- definitions (create mode, before end_definitions) ----
    int define_dimension(const std::string& name, std::size_t length);
    // nc_type of the variable; `dims` by id. Chunk sizes empty: contiguous.
    int define_variable(const std::string& name, int type, const std::vector<int>& dims,
                        const std::vector<std::size_t>& chunks = {}, int deflate = 0);
    void put_attribute(int var, const std::string& name, const std::string& text);  // var -1: global
    void put_attribute(int var, const std::string& name, double value);
    void put_attribute(int var, const std::string& name, std::int32_t value);
    void end_definitions();

    // ---- reading the layout ----
    bool has_variable(const std::string& name) const;
    int variable(const std::string& name) const;       // id; fails when missing
    std::size_t dimension(const std::string& name) const;  // length; fails when missing
    bool has_attribute(int var, const std::string& name) const;
    std::string text_attribute(int var, const std::string& name) const;  // fails when missing or not text
    // The variable's dimensions by name, in order.
    std::vector<std::string> dimensions_of(int var) const;

    // ---- data: start and count per dimension ----
    void put(int var, const std::vector<std::size_t>& start, const std::vector<std::size_t>& count, const double* v);
    void put(int var, const std::vector<std::size_t>& start, const std::vector<std::size_t>& count,
             const std::int32_t* v);
    void put(int var, const std::vector<std::size_t>& start, const std::vector<std::size_t>& count,
             const long long* v);
    void put(int var, const std::vector<std::size_t>& start, const std::vector<std::size_t>& count,
             const unsigned long long* v);
    void put(int var, const std::vector<std::size_t>& start, const std::vector<std::size_t>& count,
             const signed char* v);
    void put(int var, const std::vector<std::size_t>& start, const std::vector<std::size_t>& count,
             const std::vector<std::string>& v);

    void get(int var, const std::vector<std::size_t>& start, const std::vector<std::size_t>& count, double* v) const;
    void get(int var, const std::vector<std::size_t>& start, const std::vector<std::size_t>& count,
             std::int32_t* v) const;
    void get(int var, const std::vector<std::size_t>& start, const std::vector<std::size_t>& count,
             long long* v) const;
    void get(int var, const std::vector<std::size_t>& start, const std::vector<std::size_t>& count,
             unsigned long long* v) const;
    void get(int var, const std::vector<std::size_t>& start, const std::vector<std::size_t>& count,
             signed char* v) const;
    void get(int var, const std::vector<std::size_t>& start, const std::vector<std::size_t>& count,
             std::vector<std::string>& v) const;

    // Hands everything written to the operating system (nc_sync); with
    // `to_disk` also flushes the file to the disk.
    void sync(bool to_disk);
    // Closes the file; its errors throw. The destructor closes without.
    void close();

private:
    void check(int status, const std::string& what) const;

    std::filesystem::path path_;
    std::string error_id_;
    int id_ = -1;
    bool define_mode_ = false;
};

// The lock that every call of the NetCDF library holds.
std::recursive_mutex& netcdf_lock();

}  // namespace veltrax::experiments
