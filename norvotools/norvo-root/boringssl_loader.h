// BoringSSL in a lookup scope of its own.
//
// libcurl's dependencies (libssh2) load OpenSSL's libcrypto.so.3 into every program that
// links libcurl. BoringSSL's libcrypto.so.0 exports the same names without symbol versions,
// so a BoringSSL that sits in the global scope satisfies OpenSSL's and libssh2's references,
// and an OpenSSL that comes first would satisfy ours. No link order keeps them apart.
//
// So the programs do not link BoringSSL. boringssl_loader.cpp opens it with
// RTLD_LOCAL | RTLD_DEEPBIND (out of the global scope, and its own calls bind to itself
// first) and defines, with hidden visibility, each BoringSSL function our code calls: a
// forwarder through a pointer resolved once, when the program starts. A missing library or
// function ends the program with one FATAL line.
//
// The sanitizer runtimes refuse RTLD_DEEPBIND, so sanitizer and fuzz builds link BoringSSL
// directly instead (NORVO_ISOLATED_BORINGSSL is 0 there; see CMakeLists.txt).
//
// To call another BoringSSL function: add one line to the list in boringssl_loader.cpp
// with the function's return type, name, parameters and argument names as its header
// declares them (the compiler checks the declaration against the header).
#pragma once

// A handset has one libcrypto (the platform's libcurl is built against BoringSSL): the
// platform build links it, and RTLD_DEEPBIND does not exist in its C library.
#ifndef NORVO_HOST_STANDINS
#error "host stand-in: a handset build links libcrypto"
#endif

#include <stddef.h>

#include <string>
#include <vector>

namespace boringssl {

// The library the programs load, found through their run path.
extern const char kLibrary[];

// Names of the functions forwarded to the library, in the order of resolve_functions().
const std::vector<const char*>& forwarded_names();

// Opens `library` in a scope of its own and resolves every forwarded function in it.
// On success fills `functions` (one entry per forwarded_names() entry) and returns "";
// otherwise returns the reason (the dynamic linker's message, or the missing name).
// The library stays loaded for the life of the process.
std::string resolve_functions(const char* library, std::vector<void*>* functions);

// resolve_functions(library), or one FATAL line naming the library and the reason, and
// the end of the program: nothing can be verified without the library.
std::vector<void*> resolve_or_die(const char* library);

// resolve_or_die(kLibrary) for the forwarders; the first call does the work (at start).
const std::vector<void*>& functions_or_die();

}  // namespace boringssl
