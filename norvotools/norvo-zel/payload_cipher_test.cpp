#include "norvotools/norvo-zel/payload_cipher.h"

#include <android-base/file.h>
#include <android-base/unique_fd.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "norvotools/norvo-root/scoped.h"

extern char** environ;

namespace {

template <typename T>
using Owned = UniqueMalloc<T>;

using Bytes = std::string;

struct CipherResult {
  int rc;
  Bytes data;  // exactly out_len bytes
  bool terminated;
  std::string printed;
};

// Runs one direction of the cipher and keeps what it hands out and prints.
CipherResult runCipher(decltype(&AES_CBC_PKCS5Padding_Encrypt) cipher, const Bytes& in,
                       const char* key) {
  unsigned char* out = nullptr;
  int32_t out_len = -1;
  testing::internal::CaptureStdout();
  int rc = cipher(key, &out, &out_len, reinterpret_cast<const unsigned char*>(in.data()),
                  static_cast<int32_t>(in.size()));
  std::string printed = testing::internal::GetCapturedStdout();
  Owned<unsigned char> owner(out);
  EXPECT_NE(out, nullptr);
  if (out == nullptr) return {rc, {}, false, printed};
  return {rc, Bytes(reinterpret_cast<char*>(out), out_len), out[out_len] == '\0', printed};
}

CipherResult encrypt(const Bytes& plain, const char* key = PAYLOAD_KEY) {
  return runCipher(AES_CBC_PKCS5Padding_Encrypt, plain, key);
}

CipherResult decrypt(const Bytes& cipher, const char* key = PAYLOAD_KEY) {
  return runCipher(AES_CBC_PKCS5Padding_Decrypt, cipher, key);
}

std::string b64(const Bytes& in) {
  char* out = nullptr;
  size_t out_len = 0;
  EXPECT_EQ(0, base64_encode(&out, &out_len, reinterpret_cast<const unsigned char*>(in.data()),
                             in.size()));
  Owned<char> owner(out);
  EXPECT_EQ(out_len, strlen(out) + 1);
  return out;
}

// Decodes; returns false (and the printed text) on failure.
bool unb64(const std::string& text, Bytes* bytes, std::string* printed = nullptr) {
  unsigned char* out = nullptr;
  size_t out_len = 0;
  testing::internal::CaptureStdout();
  int rc = base64_decode(&out, &out_len, text.data(), text.size());
  std::string said = testing::internal::GetCapturedStdout();
  if (printed) *printed = said;
  Owned<unsigned char> owner(out);
  if (rc != 0) return false;
  *bytes = Bytes(reinterpret_cast<char*>(out), out_len);
  return true;
}

std::string hex(const Bytes& in) {
  char* out = nullptr;
  EXPECT_EQ(0, string_to_hex(&out, reinterpret_cast<const unsigned char*>(in.data()), in.size()));
  Owned<char> owner(out);
  return out;
}

Bytes pattern(size_t n, unsigned seed) {
  Bytes b(n, '\0');
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<char>((i * 131 + seed * 17 + (i >> 3)) & 0xff);
  return b;
}

TEST(PayloadCipher, CiphertextLengthAndRoundTrip) {
  for (size_t n : {0u, 1u, 15u, 16u, 17u, 31u, 32u, 33u, 200u}) {
    SCOPED_TRACE(n);
    const Bytes plain = pattern(n, 1);
    CipherResult enc = encrypt(plain);
    ASSERT_EQ(0, enc.rc);
    EXPECT_EQ(n / 16 * 16 + 16, enc.data.size());
    EXPECT_TRUE(enc.terminated);
    EXPECT_EQ("set encrypt key success", enc.printed);

    CipherResult dec = decrypt(enc.data);
    ASSERT_EQ(0, dec.rc);
    EXPECT_EQ(plain, dec.data);
    EXPECT_TRUE(dec.terminated);
    EXPECT_EQ("set decrypt key success", dec.printed);
  }
}

TEST(PayloadCipher, UnusableKeyFailsButHandsOutTheBuffer) {
  CipherResult enc = encrypt("abc", "short");
  EXPECT_EQ(-1, enc.rc);
  EXPECT_EQ("cannot to set aes key", enc.printed);
  EXPECT_EQ(16u, enc.data.size());  // the buffer was already the caller's

  CipherResult dec = decrypt(Bytes(16, 'x'), "short");
  EXPECT_EQ(-1, dec.rc);
  EXPECT_EQ("cannot to set aes key", dec.printed);
  EXPECT_TRUE(dec.data.empty());
}

// A single ciphertext block C1 = E(P ^ IV) decrypts to P, so the first block of a
// chosen 16-byte plaintext gives full control over the decrypted padding.
Bytes blockDecryptingTo(const Bytes& block) {
  CipherResult enc = encrypt(block);
  return enc.data.substr(0, 16);
}

TEST(PayloadCipher, MalformedCiphertextFailsWithEmptyText) {
  const Bytes good = encrypt("hello world").data;
  struct Case {
    const char* what;
    Bytes cipher;
  } cases[] = {
      {"empty", Bytes()},
      {"15 bytes", good.substr(0, 15)},
      {"17 bytes", good + "x"},
      {"last byte 0", blockDecryptingTo(Bytes(15, 'A') + '\0')},
      {"last byte 17", blockDecryptingTo(Bytes(15, 'A') + '\x11')},
      {"last byte 255", blockDecryptingTo(Bytes(15, 'A') + '\xff')},
      {"padding disagrees", blockDecryptingTo(Bytes(13, 'A') + "\x03\x02\x03")},
      {"full block of 16 with one 15", blockDecryptingTo(Bytes(15, '\x10').insert(0, 1, '\x0f'))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CipherResult dec = decrypt(c.cipher);
    EXPECT_EQ(-1, dec.rc);
    EXPECT_TRUE(dec.data.empty());
    EXPECT_TRUE(dec.terminated);
  }

  // The same construction with consistent padding is accepted, proving the cases above
  // fail for their padding and not for the construction.
  CipherResult ok = decrypt(blockDecryptingTo(Bytes(13, 'A') + "\x03\x03\x03"));
  EXPECT_EQ(0, ok.rc);
  EXPECT_EQ(Bytes(13, 'A'), ok.data);
  CipherResult whole = decrypt(blockDecryptingTo(Bytes(16, '\x10')));
  EXPECT_EQ(0, whole.rc);
  EXPECT_EQ("", whole.data);
}

TEST(Base64, EncodeLengthsAndNoLineBreaks) {
  char* out = nullptr;
  size_t out_len = 0;
  const unsigned char three[] = {1, 2, 3};
  ASSERT_EQ(0, base64_encode(&out, &out_len, three, 3));
  Owned<char> owner(out);
  EXPECT_EQ(5u, out_len);
  EXPECT_STREQ("AQID", out);

  EXPECT_EQ("", b64(""));
  EXPECT_EQ("+/+/", b64("\xfb\xff\xbf"));
  const std::string long_text = b64(pattern(3000, 2));
  EXPECT_EQ(4000u, long_text.size());
  EXPECT_EQ(std::string::npos, long_text.find('\n'));
}

TEST(Base64, DecodeIsStrict) {
  Bytes bytes;
  std::string printed;
  EXPECT_FALSE(unb64("AQIDBA", &bytes, &printed));
  EXPECT_EQ("failed to calculate base64-decode length(6)\n", printed);
  EXPECT_FALSE(unb64("AQ\nD", &bytes, &printed));
  EXPECT_EQ("failed to decode base64", printed);
  EXPECT_FALSE(unb64("AQ D", &bytes, &printed));
  EXPECT_FALSE(unb64("AQI*", &bytes, &printed));

  ASSERT_TRUE(unb64("AQID", &bytes));
  EXPECT_EQ("\x01\x02\x03", bytes);
  ASSERT_TRUE(unb64("AQ==", &bytes));
  EXPECT_EQ(Bytes(1, '\x01'), bytes);
  ASSERT_TRUE(unb64("", &bytes));
  EXPECT_EQ("", bytes);
  for (size_t n = 0; n < 8; ++n) {
    ASSERT_TRUE(unb64(b64(pattern(n, 3)), &bytes));
    EXPECT_EQ(pattern(n, 3), bytes);
  }
}

TEST(Hex, LowercaseTwoPerByte) {
  EXPECT_EQ("00ab", hex(Bytes("\x00\xab", 2)));
  EXPECT_EQ("", hex(""));
  EXPECT_EQ("0f10ff", hex("\x0f\x10\xff"));
}

// ---------------------------------------------------------------------------
// Cross-check with the reference server's independent implementation of the wire
// format (tools/refserver/wire.py): every request is a line "OP hex-or-text", every
// answer a line.

std::string sourceRoot() {
  std::string file = __FILE__;
  const std::string self = "norvotools/norvo-zel/payload_cipher_test.cpp";
  return file.substr(0, file.size() - self.size());
}

const char kDriver[] = R"(
import sys
sys.path.insert(0, sys.argv[1])
import wire
for line in sys.stdin:
    op, _, arg = line.rstrip("\n").partition(" ")
    try:
        if op == "E":
            out = wire.encrypt(bytes.fromhex(arg)).hex()
        elif op == "D":
            out = wire.decrypt(bytes.fromhex(arg)).hex()
        elif op == "B":
            out = wire.b64encode(bytes.fromhex(arg)).decode()
        elif op == "U":
            out = wire.b64decode(arg.encode()).hex()
        else:
            out = "?"
    except ValueError:
        out = "ERR"
    print(out)
)";

// Runs the driver over `requests` (stdin from a file, so the child never blocks on a
// full pipe while we are still writing) and returns its answer lines.
std::vector<std::string> runWire(const std::vector<std::string>& requests) {
  TemporaryFile input;
  std::string text;
  for (const std::string& r : requests) text += r + "\n";
  EXPECT_TRUE(android::base::WriteStringToFd(text, input.fd));

  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return {};
  android::base::unique_fd read_end(pipefd[0]), write_end(pipefd[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.path, O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, write_end.get(), 1);
  const std::string root = sourceRoot() + "tools/refserver";
  std::vector<char*> argv = {const_cast<char*>("/usr/bin/python3"), const_cast<char*>("-c"),
                             const_cast<char*>(kDriver), const_cast<char*>(root.c_str()), nullptr};
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(0, rc) << strerror(rc);
  if (rc != 0) return {};
  write_end.reset();

  std::string output;
  EXPECT_TRUE(android::base::ReadFdToString(read_end, &output));
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "python driver failed";

  std::vector<std::string> lines;
  std::istringstream stream(output);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

Bytes fromHex(const std::string& h) {
  Bytes out;
  for (size_t i = 0; i + 1 < h.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16)));
  }
  return out;
}

TEST(PayloadCipherCrossCheck, AgreesWithReferenceWireFormat) {
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 64; ++n) lengths.push_back(n);
  lengths.push_back(4099);

  std::vector<std::string> requests;
  std::vector<Bytes> ours;  // our ciphertext per length
  for (size_t n : lengths) {
    const Bytes plain = pattern(n, static_cast<unsigned>(n));
    CipherResult enc = encrypt(plain);
    ASSERT_EQ(0, enc.rc);
    ours.push_back(enc.data);
    requests.push_back("D " + hex(enc.data));  // ours -> theirs
    requests.push_back("E " + hex(plain));     // theirs -> ours
    requests.push_back("B " + hex(plain));     // their Base64 of the bytes
    requests.push_back("U " + b64(plain));     // their decoding of ours
  }
  const std::vector<std::string> answers = runWire(requests);
  ASSERT_EQ(requests.size(), answers.size());

  for (size_t i = 0; i < lengths.size(); ++i) {
    SCOPED_TRACE(lengths[i]);
    const Bytes plain = pattern(lengths[i], static_cast<unsigned>(lengths[i]));
    const std::string* a = &answers[4 * i];
    EXPECT_EQ(hex(plain), a[0]) << "reference could not decrypt our ciphertext";

    const Bytes theirs = fromHex(a[1]);
    EXPECT_EQ(ours[i], theirs) << "ciphertexts differ for the same key and IV";
    CipherResult dec = decrypt(theirs);
    EXPECT_EQ(0, dec.rc);
    EXPECT_EQ(plain, dec.data);

    EXPECT_EQ(b64(plain), a[2]);
    Bytes decoded;
    ASSERT_TRUE(unb64(a[2], &decoded));
    EXPECT_EQ(plain, decoded);
    EXPECT_EQ(hex(plain), a[3]);
  }
}

}  // namespace
