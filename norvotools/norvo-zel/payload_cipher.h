// Payload cipher and encodings: AES-128-CBC with PKCS#5 padding and a fixed IV,
// Base64 without line breaks, lowercase hex. Every buffer handed out through an
// out argument is malloc'ed and belongs to the caller (free()).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

static const char PAYLOAD_KEY[] = "plorvastenumix27";

int AES_CBC_PKCS5Padding_Encrypt(const char* key, unsigned char** out, int32_t* out_len,
                                 const unsigned char* in, int32_t in_len);
int AES_CBC_PKCS5Padding_Decrypt(const char* key, unsigned char** out, int32_t* out_len,
                                 const unsigned char* in, int32_t in_len);
int base64_encode(char** out, size_t* out_len, const unsigned char* in, size_t in_len);
int base64_decode(unsigned char** out, size_t* out_len, const char* in, size_t in_len);
int string_to_hex(char** out, const unsigned char* in, size_t in_len);

// string_to_hex() as a string; "" when no memory could be had.
std::string hex_string(const unsigned char* in, size_t in_len);
