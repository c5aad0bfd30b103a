// SPDX-License-Identifier: LGPL-2.1-or-later
// What the gateways ask of the host beyond the matrix functions: the pending
// interrupt (Ctrl-C), uninitialised arrays, warnings and error messages.
// Octave's interrupt state lives in liboctave and MATLAB's in libut; both
// libraries are in the host process, where the plug-in's references to them
// resolve when it is loaded.
#pragma once

#include <cstring>
#include <exception>
#include <new>

#include "mex.h"

#if defined(VELTRAX_HOST_MATLAB)
extern "C" bool utIsInterruptPending(void);
extern "C" bool utSetInterruptPending(bool pending);
#else
#include "quit.h"
#endif

namespace veltrax_host {

// True while the user's interrupt is pending; a RunOptions::cancelled hook.
// Called on the host's thread only.
inline bool interrupt_pending(void* = nullptr) {
#if defined(VELTRAX_HOST_MATLAB)
    return utIsInterruptPending();
#else
    // Octave 7 declares the state sig_atomic_t, Octave 9 std::atomic<int>:
    // a volatile read of the first, an atomic load of the second.
    return *static_cast<volatile decltype(octave_interrupt_state)*>(&octave_interrupt_state) > 0;
#endif
}

// The gateway answers the interrupt with its own error: the host then does
// not interrupt the statement after it, so a script's catch sees the error
// and the prompt comes back.
inline void take_interrupt() {
#if defined(VELTRAX_HOST_MATLAB)
    utSetInterruptPending(false);
#else
    octave_interrupt_state = 0;
#endif
}

// A real double m x n array whose elements are not yet written, or
// std::bad_alloc. The hosts report a failed allocation in their own way (an
// error of the host, or a null pointer); either becomes bad_alloc here.
inline mxArray* create_uninitialised(mwSize m, mwSize n) {
    mxArray* a = nullptr;
    try {
        a = mxCreateUninitNumericMatrix(m, n, mxDOUBLE_CLASS, mxREAL);
    } catch (const std::exception&) {
        throw std::bad_alloc();
    }
    if (!a) throw std::bad_alloc();
    return a;
}

// What the host raised inside a hook (a warning the user turned into an
// error): the gateway passes it on to the host as it was raised.
struct HostException {
    std::exception_ptr raised;
};

// A RunOptions::warning hook: the host's warning with the identifier.
inline void warn(void*, const char* id, const char* message) {
    try {
        mexWarnMsgIdAndTxt(id, "%s", message);
    } catch (...) {
        throw HostException{std::current_exception()};
    }
}

// The host puts the function's name in front of an error message; one that
// already starts with it (from a host error passed on) loses that copy.
inline const char* without_name(const char* message) {
    const char* name = mexFunctionName();
    const std::size_t n = name ? std::strlen(name) : 0;
    if (n > 0 && std::strncmp(message, name, n) == 0 && std::strncmp(message + n, ": ", 2) == 0) return message + n + 2;
    return message;
}

}  // namespace veltrax_host
