// AES (FIPS-197) on single 16-byte blocks through OpenSSL, and the zero-vector CBC chains DC-09 uses.
#pragma once

#include <cstddef>
#include <cstdint>

struct AES_Round_Keys {
    std::uint8_t key[32] = {};
    int bits = 0;   // 128, 192 or 256
    int rounds = 0; // 10, 12 or 14
};

// False for a key size other than 128, 192 or 256.
[[nodiscard]] bool AES_Expand_Key(const std::uint8_t* key, int bits, AES_Round_Keys& roundKeys);

// The cipher functions return false only when OpenSSL fails (or the round keys were never expanded);
// the data is then zeroed, so that neither clear text nor half-processed bytes are used by mistake.
[[nodiscard]] bool AES_Encrypt_Block(std::uint8_t block[16], const AES_Round_Keys& roundKeys, int rounds);
[[nodiscard]] bool AES_Decrypt_Block(std::uint8_t block[16], const AES_Round_Keys& roundKeys, int rounds);

// `blocks` whole 16-byte blocks, in place, each call a fresh chain from an all-zero vector.
[[nodiscard]] bool CBC_Encrypt(std::uint8_t* data, std::size_t blocks, const AES_Round_Keys& roundKeys);
[[nodiscard]] bool CBC_Decrypt(std::uint8_t* data, std::size_t blocks, const AES_Round_Keys& roundKeys);
