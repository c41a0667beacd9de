#include "norvotools/norvo-root/boringssl_loader.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <string>
#include <vector>

namespace {

TEST(BoringSslLoader, ResolvesEveryForwardedFunctionToTheLibrarysOwn) {
  std::vector<void*> functions;
  ASSERT_EQ(boringssl::resolve_functions(boringssl::kLibrary, &functions), "");
  const auto& names = boringssl::forwarded_names();
  ASSERT_EQ(functions.size(), names.size());
  void* library = dlopen(boringssl::kLibrary, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(library, nullptr);
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(functions[i], dlsym(library, names[i])) << names[i];
  }
  // The program's own calls go through its forwarder, which is not the library's
  // definition (a program that bound to the library directly would not be isolated).
  EXPECT_NE(reinterpret_cast<void*>(&SHA256_Update), dlsym(library, "SHA256_Update"));
  dlclose(library);
}

struct Failure {
  const char* name;
  const char* library;
  const char* reason;
};

class BoringSslLoaderFailure : public testing::TestWithParam<Failure> {};

TEST_P(BoringSslLoaderFailure, NamesWhatIsMissingAndLeavesNothingHalfFilled) {
  std::vector<void*> functions;
  std::string error = boringssl::resolve_functions(GetParam().library, &functions);
  EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
  EXPECT_TRUE(functions.empty());
}

TEST_P(BoringSslLoaderFailure, EndsTheProgramWithOneFatalLine) {
  EXPECT_DEATH(boringssl::resolve_or_die(GetParam().library),
               std::string("cannot load BoringSSL \\(") + GetParam().library + "\\): ");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BoringSslLoaderFailure,
    testing::Values(Failure{"MissingLibrary", "libnorvo-absent.so.0", "libnorvo-absent.so.0"},
                    // A library that loads but lacks the functions: the first one is named.
                    Failure{"LibraryWithoutTheFunctions", "libc.so.6",
                            "libc.so.6 has no function AES_cbc_encrypt"}),
    [](const testing::TestParamInfo<Failure>& info) { return std::string(info.param.name); });

}  // namespace
