// SPDX-License-Identifier: LGPL-2.1-or-later
// Values kept in the process keyring (numeric/vpow/process_memo.hpp).
#include "numeric/vpow/process_memo.hpp"

#include <cstdio>
#include <cstring>

#if defined(__linux__) && __has_include(<linux/keyctl.h>)
#include <linux/keyctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#define VELTRAX_PROCESS_KEYRING 1
#else
#define VELTRAX_PROCESS_KEYRING 0
#endif

namespace veltrax::vpow::detail {

namespace {

// The keys and bytes a user has, and the limits, from /proc/key-users lines
// "  uid: usage keys/instantiated keys/maxkeys bytes/maxbytes".
struct KeyQuota {
    long keys = 0, max_keys = 0, bytes = 0, max_bytes = 0;
};

// 1: the uid's line is found, 0: the uid has none, -1: a line is malformed.
int find_key_user(const std::string& text, unsigned uid, KeyQuota& q) {
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        unsigned line_uid = 0;
        long usage = 0, count = 0, instantiated = 0;
        KeyQuota read;
        if (std::sscanf(line.c_str(), " %u: %ld %ld/%ld %ld/%ld %ld/%ld", &line_uid, &usage, &count, &instantiated,
                        &read.keys, &read.max_keys, &read.bytes, &read.max_bytes) != 8)
            return -1;
        if (line_uid == uid) {
            q = read;
            return 1;
        }
    }
    return 0;
}

bool read_limit(const std::function<bool(const char*, std::string&)>& read, const char* path, long& value) {
    std::string text;
    return read(path, text) && std::sscanf(text.c_str(), "%ld", &value) == 1;
}

}  // namespace

bool memo_quota_has_room(unsigned uid, long keys, long bytes,
                         const std::function<bool(const char* path, std::string& text)>& read) {
    std::string users;
    if (!read("/proc/key-users", users)) return false;
    KeyQuota q;
    const int found = find_key_user(users, uid, q);
    if (found < 0) return false;
    if (found == 0) {
        const bool root = uid == 0;
        if (!read_limit(read, root ? "/proc/sys/kernel/keys/root_maxkeys" : "/proc/sys/kernel/keys/maxkeys",
                        q.max_keys) ||
            !read_limit(read, root ? "/proc/sys/kernel/keys/root_maxbytes" : "/proc/sys/kernel/keys/maxbytes",
                        q.max_bytes))
            return false;
    }
    if (q.keys < 0 || q.bytes < 0 || q.max_keys <= 0 || q.max_bytes <= 0) return false;
    return 4 * (q.keys + keys) < q.max_keys && 4 * (q.bytes + bytes) < q.max_bytes;
}

#if VELTRAX_PROCESS_KEYRING

namespace {

bool read_small_file(const char* path, std::string& text) {
    std::FILE* f = std::fopen(path, "re");
    if (f == nullptr) return false;
    char buffer[4096];
    text.clear();
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && text.size() < (1u << 20)) text.append(buffer, n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

long find_key(const char* name) {
    // Searching does not create the keyring: a process that stored nothing
    // gets ENOKEY.
    return syscall(SYS_keyctl, KEYCTL_SEARCH, KEY_SPEC_PROCESS_KEYRING, "user", name, 0);
}

// Generous for the process keyring's own description ("_pid") and rounding.
constexpr long kKeyringBytes = 32;

}  // namespace

bool load_process_memo(const char* name, void* data, std::size_t size) {
    const long key = find_key(name);
    if (key < 0) return false;
    unsigned char buffer[512];
    if (size > sizeof buffer) return false;
    const long length = syscall(SYS_keyctl, KEYCTL_READ, key, buffer, sizeof buffer);
    if (length != static_cast<long>(size)) return false;
    std::memcpy(data, buffer, size);
    return true;
}

void store_process_memo(const char* name, const void* data, std::size_t size) {
    if (find_key(name) < 0) {
        // A new key, and the process keyring with it when there is none yet.
        // The keyring is charged to the real user and the key to the
        // effective one: where they differ, nothing is stored.
        if (getuid() != geteuid()) return;
        const long bytes = static_cast<long>(std::strlen(name) + 1 + size) + kKeyringBytes;
        if (!memo_quota_has_room(getuid(), 2, bytes, &read_small_file)) return;
    }
    // Replacing a value of the same size in place takes no more quota.
    syscall(SYS_add_key, "user", name, data, size, KEY_SPEC_PROCESS_KEYRING);  // a failure stores nothing
}

#else

bool load_process_memo(const char*, void*, std::size_t) { return false; }

void store_process_memo(const char*, const void*, std::size_t) {}

#endif

}  // namespace veltrax::vpow::detail
