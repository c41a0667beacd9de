// The system property store of the host stand-in: one regular file per property in a
// directory ("/dev/__properties__" on the emulated device), named exactly after the
// property and holding exactly the value bytes. android::base::GetProperty/SetProperty
// and cutils property_get (properties.cpp) are built on these functions, so a value set by
// one process is seen by the next, as on a device.
//
// NORVO_PROPERTY_DIR, when set in the environment at start, replaces the directory for
// the whole process (read once; the emulated device clears it). Unit tests and fuzzers
// point the store at a folder of their own with SetDirForTesting().
#pragma once

// A platform module that linked this store would take the place of the real property
// service (its GetProperty/SetProperty win over libbase's): it is refused there.
#ifndef NORVO_HOST_STANDINS
#error "host stand-in: a handset build takes GetProperty/SetProperty from libbase"
#endif

#include <string>
#include <utility>
#include <vector>

namespace property_store {

// Largest value the store accepts for a name that does not start with "ro." (Android's
// PROP_VALUE_MAX - 1, the longest value that fits a 92-byte buffer with its NUL).
constexpr size_t kMaxValueLength = 91;
// Reads stop here: a larger file is not a value this store wrote and is treated as unset.
constexpr size_t kMaxFileSize = 8192;

constexpr char kDefaultDir[] = "/dev/__properties__";

// The directory in use: the one a test set, else NORVO_PROPERTY_DIR as the process
// found it at its first property access, else kDefaultDir.
std::string Dir();
// Points the store at `dir` (empty: back to the start-up choice); returns the
// folder a test had set before, so that a scope can restore it. Tests only; not
// safe while another thread reads properties.
std::string SetDirForTesting(const std::string& dir);

// Android's property name rules: not empty, no leading or trailing ".", no "..", and only
// letters, digits and "_-.:@". This also keeps names free of "/" and away from the
// temporary files of the store (which start with ".").
bool IsValidName(const std::string& name);
// Values longer than kMaxValueLength are refused except for "ro." names (which are still
// capped at kMaxFileSize, so they can be read back); NUL bytes are refused because
// readers see C strings.
bool IsValidValue(const std::string& name, const std::string& value);

// Reads a property. Returns false when it is unset, unreadable, not a regular file or
// larger than kMaxFileSize; `value` is then untouched.
bool Read(const std::string& name, std::string* value);
// Writes a property atomically (temporary file in the same directory, then rename).
// "ro." properties can be written once only. Returns false, writing nothing, on refusal
// or failure.
bool Write(const std::string& name, const std::string& value);
// Every readable property with a valid name, sorted by name.
std::vector<std::pair<std::string, std::string>> List();

}  // namespace property_store
