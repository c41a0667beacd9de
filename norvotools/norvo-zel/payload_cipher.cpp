#include "norvotools/norvo-zel/payload_cipher.h"

#include <openssl/aes.h>
#include <openssl/base64.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "norvotools/norvo-root/scoped.h"

namespace {

// Shared with the update server; every call starts CBC from this value afresh.
const unsigned char kIv[AES_BLOCK_SIZE] = {'9', '0', '8', '1', '7', '2', '6', '3',
                                           '5', '4', '4', '5', '3', '6', '2', '7'};
constexpr int32_t kBlock = AES_BLOCK_SIZE;
constexpr unsigned kKeyBits = 128;

using HeapBytes = UniqueMalloc<unsigned char>;

// The key is text; its first 16 bytes are the AES-128 key. A shorter (or absent) key
// cannot be scheduled: reading 16 bytes from it would run past its end.
bool keyUsable(const char* key) { return key != nullptr && strnlen(key, kBlock) == kBlock; }

// Expands `key` for one direction and says so on stdout, as the callers' logs expect.
bool setKey(const char* key, bool encrypt, AES_KEY* aes_key) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(key);
  if (!keyUsable(key) || (encrypt ? AES_set_encrypt_key(bytes, kKeyBits, aes_key)
                                  : AES_set_decrypt_key(bytes, kKeyBits, aes_key)) != 0) {
    printf("cannot to set aes key");
    return false;
  }
  printf(encrypt ? "set encrypt key success" : "set decrypt key success");
  return true;
}

}  // namespace

int AES_CBC_PKCS5Padding_Encrypt(const char* key, unsigned char** out, int32_t* out_len,
                                 const unsigned char* in, int32_t in_len) {
  if (in_len < 0 || in_len > INT32_MAX - 2 * kBlock || (in == nullptr && in_len != 0)) {
    *out = nullptr;
    *out_len = 0;
    printf("cannot to encrypt %d bytes\n", in_len);
    return -1;
  }
  const int32_t padded_len = in_len / kBlock * kBlock + kBlock;
  const unsigned char pad = static_cast<unsigned char>(padded_len - in_len);

  HeapBytes work(static_cast<unsigned char*>(malloc(padded_len)));
  memset(work.get(), pad, padded_len);
  if (in_len > 0) memcpy(work.get(), in, in_len);

  // The caller owns the output from here on, whether or not the key can be set.
  unsigned char* cipher = static_cast<unsigned char*>(malloc(padded_len + 1));
  cipher[padded_len] = '\0';
  *out = cipher;
  *out_len = padded_len;

  AES_KEY aes_key;
  if (!setKey(key, true, &aes_key)) return -1;

  unsigned char iv[AES_BLOCK_SIZE];
  memcpy(iv, kIv, sizeof(iv));
  AES_cbc_encrypt(work.get(), cipher, padded_len, &aes_key, iv, AES_ENCRYPT);
  return 0;
}

// On malformed ciphertext (length not a positive multiple of 16, last byte 0 or above
// 16, padding bytes that disagree) the call fails with -1; the handed-out buffer then
// holds only zero bytes (an empty C string) and the out length is 0, so no partial
// plaintext escapes and callers reading it as text see nothing.
int AES_CBC_PKCS5Padding_Decrypt(const char* key, unsigned char** out, int32_t* out_len,
                                 const unsigned char* in, int32_t in_len) {
  const size_t buf_len = in_len > 0 ? static_cast<size_t>(in_len) + 1 : 1;
  unsigned char* plain = static_cast<unsigned char*>(calloc(buf_len, 1));
  *out = plain;
  *out_len = 0;

  AES_KEY aes_key;
  if (!setKey(key, false, &aes_key)) return -1;

  if (in_len <= 0 || in_len % kBlock != 0 || in == nullptr) {
    printf("invalid ciphertext length(%d)\n", in_len);
    return -1;
  }

  unsigned char iv[AES_BLOCK_SIZE];
  memcpy(iv, kIv, sizeof(iv));
  AES_cbc_encrypt(in, plain, in_len, &aes_key, iv, AES_DECRYPT);

  const unsigned char pad = plain[in_len - 1];
  bool padding_ok = pad >= 1 && pad <= kBlock;
  for (int32_t i = 0; padding_ok && i < pad; ++i) {
    padding_ok = plain[in_len - 1 - i] == pad;
  }
  if (!padding_ok) {
    memset(plain, 0, buf_len);
    printf("invalid ciphertext padding\n");
    return -1;
  }
  const int32_t plain_len = in_len - pad;
  plain[plain_len] = '\0';
  *out_len = plain_len;
  return 0;
}

int base64_encode(char** out, size_t* out_len, const unsigned char* in, size_t in_len) {
  size_t size = 0;
  if (!EVP_EncodedLength(&size, in_len)) {
    printf("failed to calculate base64-encode length(%zu)\n", in_len);
    return -1;
  }
  HeapBytes buf(static_cast<unsigned char*>(calloc(size, 1)));
  const size_t written = EVP_EncodeBlock(buf.get(), in, in_len);
  if (written != size - 1) {
    printf("failed to encode base64");
    return -1;
  }
  *out = reinterpret_cast<char*>(buf.release());
  *out_len = size;
  return 0;
}

int base64_decode(unsigned char** out, size_t* out_len, const char* in, size_t in_len) {
  size_t size = 0;
  if (!EVP_DecodedLength(&size, in_len)) {
    printf("failed to calculate base64-decode length(%zu)\n", in_len);
    return -1;
  }
  // malloc(0) may return null; keep a real buffer for the empty text.
  HeapBytes buf(static_cast<unsigned char*>(malloc(size > 0 ? size : 1)));
  size_t decoded = 0;
  if (!EVP_DecodeBase64(buf.get(), &decoded, size, reinterpret_cast<const uint8_t*>(in), in_len)) {
    printf("failed to decode base64");
    return -1;
  }
  *out = buf.release();
  *out_len = decoded;
  return 0;
}

int string_to_hex(char** out, const unsigned char* in, size_t in_len) {
  static const char kDigits[] = "0123456789abcdef";
  char* text = static_cast<char*>(calloc(2 * in_len + 1, 1));
  if (text == nullptr) return -1;
  for (size_t i = 0; i < in_len; ++i) {
    text[2 * i] = kDigits[in[i] >> 4];
    text[2 * i + 1] = kDigits[in[i] & 0x0f];
  }
  *out = text;
  return 0;
}

std::string hex_string(const unsigned char* in, size_t in_len) {
  char* text = nullptr;
  if (string_to_hex(&text, in, in_len) != 0) return std::string();
  UniqueMalloc<char> owner(text);
  return std::string(text, 2 * in_len);
}
