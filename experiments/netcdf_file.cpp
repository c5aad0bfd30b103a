// SPDX-License-Identifier: LGPL-2.1-or-later
#include "experiments/netcdf_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "api/veltrax.hpp"

#ifdef VELTRAX_HAVE_NETCDF
#include <netcdf.h>
#endif
#ifdef VELTRAX_HAVE_HDF5
#include <hdf5.h>
#endif

namespace veltrax::experiments {

std::recursive_mutex& netcdf_lock() {
    static std::recursive_mutex lock;
    return lock;
}

#ifdef VELTRAX_HAVE_NETCDF

static_assert(nc::kByte == NC_BYTE && nc::kInt == NC_INT && nc::kDouble == NC_DOUBLE && nc::kInt64 == NC_INT64 &&
              nc::kUint64 == NC_UINT64 && nc::kString == NC_STRING);
static_assert(nc::kFillDouble == NC_FILL_DOUBLE && nc::kFillByte == NC_FILL_BYTE && nc::kFillInt == NC_FILL_INT);

namespace {

// The library's lock, taken by every call; HDF5, whose error reports are
// set per thread, prints none on this thread (the NetCDF library of Debian
// 12 has it print one for every optional attribute it looks for).
class Lock {
public:
    explicit Lock(std::recursive_mutex& m) : lock_(m) {
#ifdef VELTRAX_HAVE_HDF5
        thread_local const bool quiet = H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr) >= 0;
        (void)quiet;
#endif
    }

private:
    std::lock_guard<std::recursive_mutex> lock_;
};

// Chunks that a reader keeps per variable: a report opens every shard of a
// sweep at once, and the library's default (16 MiB a variable) would add up.
void small_chunk_cache() {
    static const bool once = [] {
        nc_set_chunk_cache(1 << 20, 1009, 0.75f);
        return true;
    }();
    (void)once;
}

}  // namespace

bool netcdf_available() { return true; }

NetcdfFile::NetcdfFile(const std::filesystem::path& path, Mode mode, std::string error_id)
    : path_(path), error_id_(std::move(error_id)) {
    const Lock lock(netcdf_lock());
    small_chunk_cache();
    switch (mode) {
        case Mode::read: check(nc_open(path.c_str(), NC_NOWRITE, &id_), "cannot open"); break;
        case Mode::write: check(nc_open(path.c_str(), NC_WRITE, &id_), "cannot open for writing"); break;
        case Mode::create:
            check(nc_create(path.c_str(), NC_NETCDF4 | NC_NOCLOBBER, &id_), "cannot create");
            define_mode_ = true;
            break;
    }
}

NetcdfFile::~NetcdfFile() {
    const Lock lock(netcdf_lock());
    if (id_ >= 0) nc_close(id_);
}

void NetcdfFile::fail(const std::string& what) const { throw Error(error_id_, "'" + path_.string() + "': " + what); }

void NetcdfFile::check(int status, const std::string& what) const {
    if (status != NC_NOERR) fail(what + " (" + nc_strerror(status) + ")");
}

int NetcdfFile::define_dimension(const std::string& name, std::size_t length) {
    const Lock lock(netcdf_lock());
    int dim = -1;
    check(nc_def_dim(id_, name.c_str(), length, &dim), "cannot define dimension " + name);
    return dim;
}

int NetcdfFile::define_variable(const std::string& name, int type, const std::vector<int>& dims,
                                const std::vector<std::size_t>& chunks, int deflate) {
    const Lock lock(netcdf_lock());
    int var = -1;
    const std::string what = "cannot define variable " + name;
    check(nc_def_var(id_, name.c_str(), type, static_cast<int>(dims.size()), dims.data(), &var), what);
    if (dims.empty() || type == NC_STRING) return var;
    if (chunks.empty()) {
        check(nc_def_var_chunking(id_, var, NC_CONTIGUOUS, nullptr), what);
    } else {
        check(nc_def_var_chunking(id_, var, NC_CHUNKED, chunks.data()), what);
        if (deflate > 0) check(nc_def_var_deflate(id_, var, 1, 1, deflate), what);
    }
    return var;
}

void NetcdfFile::put_attribute(int var, const std::string& name, const std::string& text) {
    const Lock lock(netcdf_lock());
    check(nc_put_att_text(id_, var < 0 ? NC_GLOBAL : var, name.c_str(), text.size(), text.data()),
          "cannot write attribute " + name);
}

void NetcdfFile::put_attribute(int var, const std::string& name, double value) {
    const Lock lock(netcdf_lock());
    check(nc_put_att_double(id_, var < 0 ? NC_GLOBAL : var, name.c_str(), NC_DOUBLE, 1, &value),
          "cannot write attribute " + name);
}

void NetcdfFile::put_attribute(int var, const std::string& name, std::int32_t value) {
    const Lock lock(netcdf_lock());
    check(nc_put_att_int(id_, var < 0 ? NC_GLOBAL : var, name.c_str(), NC_INT, 1, &value),
          "cannot write attribute " + name);
}

void NetcdfFile::end_definitions() {
    const Lock lock(netcdf_lock());
    check(nc_enddef(id_), "cannot write the layout");
    define_mode_ = false;
}

bool NetcdfFile::has_variable(const std::string& name) const {
    const Lock lock(netcdf_lock());
    int var = -1;
    return nc_inq_varid(id_, name.c_str(), &var) == NC_NOERR;
}

int NetcdfFile::variable(const std::string& name) const {
    const Lock lock(netcdf_lock());
    int var = -1;
    if (nc_inq_varid(id_, name.c_str(), &var) != NC_NOERR) fail("has no variable '" + name + "'");
    return var;
}

std::size_t NetcdfFile::dimension(const std::string& name) const {
    const Lock lock(netcdf_lock());
    int dim = -1;
    std::size_t length = 0;
    if (nc_inq_dimid(id_, name.c_str(), &dim) != NC_NOERR) fail("has no dimension '" + name + "'");
    check(nc_inq_dimlen(id_, dim, &length), "cannot read dimension " + name);
    return length;
}

bool NetcdfFile::has_attribute(int var, const std::string& name) const {
    const Lock lock(netcdf_lock());
    int att = -1;
    return nc_inq_attid(id_, var < 0 ? NC_GLOBAL : var, name.c_str(), &att) == NC_NOERR;
}

std::string NetcdfFile::text_attribute(int var, const std::string& name) const {
    const Lock lock(netcdf_lock());
    const int v = var < 0 ? NC_GLOBAL : var;
    nc_type type = NC_NAT;
    std::size_t length = 0;
    if (nc_inq_att(id_, v, name.c_str(), &type, &length) != NC_NOERR) fail("has no attribute '" + name + "'");
    if (type != NC_CHAR) fail("attribute '" + name + "' is not text");
    std::string text(length, '\0');
    check(nc_get_att_text(id_, v, name.c_str(), text.data()), "cannot read attribute " + name);
    return text;
}

std::vector<std::string> NetcdfFile::dimensions_of(int var) const {
    const Lock lock(netcdf_lock());
    int count = 0;
    check(nc_inq_varndims(id_, var, &count), "cannot read a variable");
    std::vector<int> dims(static_cast<std::size_t>(count));
    check(nc_inq_vardimid(id_, var, dims.data()), "cannot read a variable");
    std::vector<std::string> names;
    for (int d : dims) {
        char name[NC_MAX_NAME + 1] = {};
        check(nc_inq_dimname(id_, d, name), "cannot read a dimension");
        names.emplace_back(name);
    }
    return names;
}

#define VELTRAX_NC_PUT_GET(TYPE, SUFFIX)                                                                       \
    void NetcdfFile::put(int var, const std::vector<std::size_t>& start, const std::vector<std::size_t>& count, \
                         const TYPE* v) {                                                                      \
        const Lock lock(netcdf_lock());                                                                        \
        check(nc_put_vara_##SUFFIX(id_, var, start.data(), count.data(), v), "cannot write");                 \
    }                                                                                                          \
    void NetcdfFile::get(int var, const std::vector<std::size_t>& start, const std::vector<std::size_t>& count, \
                         TYPE* v) const {                                                                      \
        const Lock lock(netcdf_lock());                                                                        \
        check(nc_get_vara_##SUFFIX(id_, var, start.data(), count.data(), v), "cannot read");                  \
    }

VELTRAX_NC_PUT_GET(double, double)
VELTRAX_NC_PUT_GET(std::int32_t, int)
VELTRAX_NC_PUT_GET(long long, longlong)
VELTRAX_NC_PUT_GET(unsigned long long, ulonglong)
VELTRAX_NC_PUT_GET(signed char, schar)
#undef VELTRAX_NC_PUT_GET

void NetcdfFile::put(int var, const std::vector<std::size_t>& start, const std::vector<std::size_t>& count,
                     const std::vector<std::string>& v) {
    const Lock lock(netcdf_lock());
    std::vector<const char*> pointers;
    for (const std::string& s : v) pointers.push_back(s.c_str());
    check(nc_put_vara_string(id_, var, start.data(), count.data(), pointers.data()), "cannot write");
}

void NetcdfFile::get(int var, const std::vector<std::size_t>& start, const std::vector<std::size_t>& count,
                     std::vector<std::string>& v) const {
    const Lock lock(netcdf_lock());
    std::size_t n = 1;
    for (std::size_t c : count) n *= c;
    std::vector<char*> pointers(n, nullptr);
    check(nc_get_vara_string(id_, var, start.data(), count.data(), pointers.data()), "cannot read");
    v.clear();
    for (char* p : pointers) v.emplace_back(p ? p : "");
    nc_free_string(n, pointers.data());
}

void NetcdfFile::sync(bool to_disk) {
    const Lock lock(netcdf_lock());
    check(nc_sync(id_), "cannot write");
    if (!to_disk) return;
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail(std::string("cannot flush to disk (") + std::strerror(errno) + ")");
    const int rc = ::fsync(fd);
    const int saved = errno;
    ::close(fd);
    if (rc != 0 && saved != EINVAL && saved != EROFS) fail(std::string("cannot flush to disk (") + std::strerror(saved) + ")");
}

void NetcdfFile::close() {
    const Lock lock(netcdf_lock());
    const int id = id_;
    id_ = -1;
    if (id >= 0) check(nc_close(id), "cannot close");
}

#else  // no NetCDF in this build

bool netcdf_available() { return false; }

NetcdfFile::NetcdfFile(const std::filesystem::path& path, Mode, std::string error_id)
    : path_(path), error_id_(std::move(error_id)) {
    throw Error("veltrax:noNetcdf", "'" + path.string() +
                                        "': this build reads and writes no NetCDF files (install libnetcdf-dev and "
                                        "build again)");
}
NetcdfFile::~NetcdfFile() = default;
void NetcdfFile::fail(const std::string& what) const { throw Error(error_id_, "'" + path_.string() + "': " + what); }
void NetcdfFile::check(int, const std::string&) const {}
int NetcdfFile::define_dimension(const std::string&, std::size_t) { return -1; }
int NetcdfFile::define_variable(const std::string&, int, const std::vector<int>&, const std::vector<std::size_t>&,
                                int) {
    return -1;
}
void NetcdfFile::put_attribute(int, const std::string&, const std::string&) {}
void NetcdfFile::put_attribute(int, const std::string&, double) {}
void NetcdfFile::put_attribute(int, const std::string&, std::int32_t) {}
void NetcdfFile::end_definitions() {}
bool NetcdfFile::has_variable(const std::string&) const { return false; }
int NetcdfFile::variable(const std::string&) const { return -1; }
std::size_t NetcdfFile::dimension(const std::string&) const { return 0; }
bool NetcdfFile::has_attribute(int, const std::string&) const { return false; }
std::string NetcdfFile::text_attribute(int, const std::string&) const { return {}; }
std::vector<std::string> NetcdfFile::dimensions_of(int) const { return {}; }
#define VELTRAX_NC_NONE(TYPE)                                                                                    \
    void NetcdfFile::put(int, const std::vector<std::size_t>&, const std::vector<std::size_t>&, const TYPE*) {} \
    void NetcdfFile::get(int, const std::vector<std::size_t>&, const std::vector<std::size_t>&, TYPE*) const {}
VELTRAX_NC_NONE(double)
VELTRAX_NC_NONE(std::int32_t)
VELTRAX_NC_NONE(long long)
VELTRAX_NC_NONE(unsigned long long)
VELTRAX_NC_NONE(signed char)
#undef VELTRAX_NC_NONE
void NetcdfFile::put(int, const std::vector<std::size_t>&, const std::vector<std::size_t>&,
                     const std::vector<std::string>&) {}
void NetcdfFile::get(int, const std::vector<std::size_t>&, const std::vector<std::size_t>&,
                     std::vector<std::string>&) const {}
void NetcdfFile::sync(bool) {}
void NetcdfFile::close() {}

#endif

}  // namespace veltrax::experiments
