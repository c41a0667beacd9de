// The texts of the package check's refusal reasons (see package_result.h).
#include "request/package_result.h"

namespace package_verify {

const char* ResultText(Result result) {
  switch (result) {
    case Result::kVerified:
      return "verified";
    case Result::kNoKeyStore:
      return "no key store";
    case Result::kUnreadable:
      return "package unreadable";
    case Result::kNoFooter:
      return "no signature footer";
    case Result::kMalformed:
      return "malformed signature block";
    case Result::kDigestMismatch:
      return "digest mismatch";
    case Result::kNoCertificateMatch:
      return "no certificate matches";
    case Result::kChangedDuringCheck:
      return "package changed during the check";
    case Result::kOpenToWriters:
      return "package open to other writers";
    case Result::kUnusableEntry:
      return "unusable entry";
    case Result::kSignatureInvalid:
      return "signature does not verify under any trusted key";
  }
  return "unknown";
}

}  // namespace package_verify
