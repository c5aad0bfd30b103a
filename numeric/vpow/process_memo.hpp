// SPDX-License-Identifier: LGPL-2.1-or-later
// Internal: a few bytes that outlive the plug-in which stored them, for as
// long as the process image lives, so that work done at one plug-in load is
// not repeated at the next load, of the same or another plug-in.
//
// They are kept as a key of the process keyring (keyrings(7)). The kernel
// holds that keyring for the process itself: a child made by fork() starts
// without one, and execve() clears it, so a stored value never comes from
// another process or from an earlier program in the same process; nor does it
// depend on the memory of the library that stored it, which the host may have
// unloaded since. What is stored must be checkable by the reader (a magic
// number and a checksum), and only facts about the process (its C library,
// its CPU), never about the code of the library that stored them.
//
// Keys count against a quota per user, shared by all of the user's processes
// (200 keys and 20000 bytes by default) and needed by other software (agents,
// Kerberos, encrypted folders). So a caller keeps everything in one key, and
// a new key is added only while the user's keys fill less than a quarter of
// either limit after it (/proc/key-users); the process keyring it goes into is
// counted too. Otherwise, and wherever keyrings are not available (no kernel
// support, a container's seccomp filter refuses the calls), nothing is stored
// and every load computes afresh; no failure here is ever an error.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace veltrax::vpow::detail {

// Reads the value stored under `name` into data; false when there is none of
// exactly `size` bytes.
bool load_process_memo(const char* name, void* data, std::size_t size);

// Stores size bytes under `name`, replacing an earlier value; a new key only
// when memo_quota_has_room allows it.
void store_process_memo(const char* name, const void* data, std::size_t size);

// Whether the keys of `uid` leave room for `keys` more keys of `bytes` more
// bytes: afterwards under a quarter of both limits. read(path, text) reads a
// file (false when it cannot): the uid's line of /proc/key-users gives the
// keys and bytes used and the limits; with no line the uid has no keys, and
// the limits are /proc/sys/kernel/keys/maxkeys and maxbytes (root_maxkeys and
// root_maxbytes for uid 0). Anything unreadable or malformed: no room.
bool memo_quota_has_room(unsigned uid, long keys, long bytes,
                         const std::function<bool(const char* path, std::string& text)>& read);

}  // namespace veltrax::vpow::detail
