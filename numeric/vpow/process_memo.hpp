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
// unloaded since. Where keyrings are not available (no kernel support, or a
// container's seccomp filter refuses the calls), nothing is stored and every
// load computes afresh. What is stored must be checkable by the reader (a
// magic number and a checksum), and only facts about the process (its C
// library, its CPU), never about the code of the library that stored them.
#pragma once

#include <cstddef>

namespace veltrax::vpow::detail {

// Reads the value stored under `name` into data; false when there is none of
// exactly `size` bytes.
bool load_process_memo(const char* name, void* data, std::size_t size);

// Stores size bytes under `name`, replacing an earlier value.
void store_process_memo(const char* name, const void* data, std::size_t size);

}  // namespace veltrax::vpow::detail
