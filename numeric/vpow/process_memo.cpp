// SPDX-License-Identifier: LGPL-2.1-or-later
// Values kept in the process keyring (numeric/vpow/process_memo.hpp).
#include "numeric/vpow/process_memo.hpp"

#if defined(__linux__) && __has_include(<linux/keyctl.h>)
#include <linux/keyctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#define VELTRAX_PROCESS_KEYRING 1
#else
#define VELTRAX_PROCESS_KEYRING 0
#endif

namespace veltrax::vpow::detail {

#if VELTRAX_PROCESS_KEYRING

bool load_process_memo(const char* name, void* data, std::size_t size) {
    // Searching does not create the keyring: a process that stored nothing
    // gets ENOKEY.
    const long key = syscall(SYS_keyctl, KEYCTL_SEARCH, KEY_SPEC_PROCESS_KEYRING, "user", name, 0);
    if (key < 0) return false;
    unsigned char buffer[256];
    if (size > sizeof buffer) return false;
    const long length = syscall(SYS_keyctl, KEYCTL_READ, key, buffer, sizeof buffer);
    if (length != static_cast<long>(size)) return false;
    auto* out = static_cast<unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) out[i] = buffer[i];
    return true;
}

void store_process_memo(const char* name, const void* data, std::size_t size) {
    syscall(SYS_add_key, "user", name, data, size, KEY_SPEC_PROCESS_KEYRING);  // a failure stores nothing
}

#else

bool load_process_memo(const char*, void*, std::size_t) { return false; }

void store_process_memo(const char*, const void*, std::size_t) {}

#endif

}  // namespace veltrax::vpow::detail
