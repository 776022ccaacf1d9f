// AES through OpenSSL's EVP interface (ECB over whole blocks, no padding) with the CBC chaining done
// here, so the chain always starts from the zero vector and never carries over between messages.
#include "dc09/Aes.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <openssl/evp.h>

namespace {

struct CipherFree {
    void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
};
struct ContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using ContextPtr = std::unique_ptr<EVP_CIPHER_CTX, ContextFree>;

// Fetched once: an explicit fetch per message would cost more than the cipher itself.
const EVP_CIPHER* ecbCipher(int bits)
{
    static const std::unique_ptr<EVP_CIPHER, CipherFree> aes128(
        EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr));
    static const std::unique_ptr<EVP_CIPHER, CipherFree> aes192(
        EVP_CIPHER_fetch(nullptr, "AES-192-ECB", nullptr));
    static const std::unique_ptr<EVP_CIPHER, CipherFree> aes256(
        EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr));
    switch (bits) {
    case 128:
        return aes128.get();
    case 192:
        return aes192.get();
    case 256:
        return aes256.get();
    default:
        return nullptr;
    }
}

bool roundsMatch(int bits, int rounds)
{
    return (bits == 128 && rounds == 10) || (bits == 192 && rounds == 12) || (bits == 256 && rounds == 14);
}

// A context keyed for one direction, or null when OpenSSL refuses.
ContextPtr makeContext(const AES_Round_Keys& roundKeys, bool encrypt)
{
    const EVP_CIPHER* cipher = ecbCipher(roundKeys.bits);
    if (cipher == nullptr) {
        return nullptr;
    }
    ContextPtr context(EVP_CIPHER_CTX_new());
    if (!context) {
        return nullptr;
    }
    const int ok = encrypt ? EVP_EncryptInit_ex2(context.get(), cipher, roundKeys.key, nullptr, nullptr)
                           : EVP_DecryptInit_ex2(context.get(), cipher, roundKeys.key, nullptr, nullptr);
    if (ok != 1 || EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1) {
        return nullptr;
    }
    return context;
}

// Runs whole blocks through the keyed ECB context in place.
bool ecbUpdate(EVP_CIPHER_CTX* context, std::uint8_t* data, std::size_t bytes, bool encrypt)
{
    if (bytes == 0) {
        return true;
    }
    int outLength = 0;
    const int ok = encrypt ? EVP_EncryptUpdate(context, data, &outLength, data, int(bytes))
                           : EVP_DecryptUpdate(context, data, &outLength, data, int(bytes));
    return ok == 1 && outLength == int(bytes);
}

bool failAndClear(std::uint8_t* data, std::size_t bytes)
{
    if (bytes != 0) {
        std::memset(data, 0, bytes);
    }
    return false;
}

bool singleBlock(std::uint8_t block[16], const AES_Round_Keys& roundKeys, int rounds, bool encrypt)
{
    if (!roundsMatch(roundKeys.bits, rounds)) {
        return failAndClear(block, 16);
    }
    const ContextPtr context = makeContext(roundKeys, encrypt);
    if (!context || !ecbUpdate(context.get(), block, 16, encrypt)) {
        return failAndClear(block, 16);
    }
    return true;
}

} // namespace

bool AES_Expand_Key(const std::uint8_t* key, int bits, AES_Round_Keys& roundKeys)
{
    roundKeys = AES_Round_Keys{};
    if (key == nullptr || (bits != 128 && bits != 192 && bits != 256)) {
        return false;
    }
    std::memcpy(roundKeys.key, key, std::size_t(bits / 8));
    roundKeys.bits = bits;
    roundKeys.rounds = bits / 32 + 6;
    return true;
}

bool AES_Encrypt_Block(std::uint8_t block[16], const AES_Round_Keys& roundKeys, int rounds)
{
    return singleBlock(block, roundKeys, rounds, true);
}

bool AES_Decrypt_Block(std::uint8_t block[16], const AES_Round_Keys& roundKeys, int rounds)
{
    return singleBlock(block, roundKeys, rounds, false);
}

bool CBC_Encrypt(std::uint8_t* data, std::size_t blocks, const AES_Round_Keys& roundKeys)
{
    const std::size_t bytes = blocks * 16;
    if (blocks == 0) {
        return true;
    }
    const ContextPtr context = makeContext(roundKeys, true);
    if (!context) {
        return failAndClear(data, bytes);
    }
    // Each block depends on the previous cipher text, so the blocks go through one at a time.
    const std::uint8_t zero[16] = {};
    const std::uint8_t* previous = zero;
    for (std::size_t j = 0; j < blocks; ++j) {
        std::uint8_t* block = data + j * 16;
        for (int i = 0; i < 16; ++i) {
            block[i] ^= previous[i];
        }
        if (!ecbUpdate(context.get(), block, 16, true)) {
            return failAndClear(data, bytes);
        }
        previous = block;
    }
    return true;
}

bool CBC_Decrypt(std::uint8_t* data, std::size_t blocks, const AES_Round_Keys& roundKeys)
{
    const std::size_t bytes = blocks * 16;
    if (blocks == 0) {
        return true;
    }
    const ContextPtr context = makeContext(roundKeys, false);
    if (!context) {
        return failAndClear(data, bytes);
    }
    // Decryption has no chain dependency: all blocks in one call, then the XOR with the kept cipher text.
    std::uint8_t previous[16] = {};
    constexpr std::size_t kChunkBlocks = 64;
    for (std::size_t first = 0; first < blocks; first += kChunkBlocks) {
        const std::size_t count = std::min(kChunkBlocks, blocks - first);
        std::uint8_t kept[kChunkBlocks * 16];
        std::uint8_t* chunk = data + first * 16;
        std::memcpy(kept, chunk, count * 16);
        if (!ecbUpdate(context.get(), chunk, count * 16, false)) {
            return failAndClear(data, bytes);
        }
        for (std::size_t j = 0; j < count; ++j) {
            for (int i = 0; i < 16; ++i) {
                chunk[j * 16 + std::size_t(i)] ^= previous[i];
            }
            std::memcpy(previous, kept + j * 16, 16);
        }
    }
    return true;
}
