// Why a package is refused: one list for every step of the package check (the
// key store, the signature block, the archive pass), the text the log gives
// each reason, and the status every step of the check returns.
#pragma once

#include "request/status.h"

namespace package_verify {

// Every reason a package is refused, one list for the whole install. New
// reasons go at the end: the numbers are not stored, but the texts are what
// logs and tests match.
enum class Result {
  kVerified,
  kNoKeyStore,
  kUnreadable,
  kNoFooter,
  kMalformed,
  kDigestMismatch,
  kNoCertificateMatch,
  // The bytes hashed differ from those read to plan the pass, or the file was
  // written while it was checked.
  kChangedDuringCheck,
  // Another process could change the file under the updater: more than one
  // link, writable by group or others, owned by another user.
  kOpenToWriters,
  // A signed entry that cannot be used: too large, not inflatable, bad CRC.
  kUnusableEntry,
  // The signer names a key store certificate, but its key did not make this
  // signature: a forgery (or a damaged signature), not a changed download.
  kSignatureInvalid,
};

// The reason as the log states it ("no signature footer", ...).
const char* ResultText(Result result);

// What a step of the package check returns: kVerified, or the reason with
// what the step found in words ("package rejected: <ResultText>: <reason>").
using Status = norvo::Status<Result>;
static_assert(Result{} == Result::kVerified, "a status of zero is success");

}  // namespace package_verify
