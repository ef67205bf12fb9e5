// windows.h first: bcrypt.h uses its types.
// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

#include <stdexcept>
#include <vector>

#include "history/sha256.h"

namespace fk::history {

namespace {

constexpr ULONG kDigestSize = 32;

struct CloseHash {
    void operator()(void* hash) const { BCryptDestroyHash(hash); }
};
using Hash = std::unique_ptr<void, CloseHash>;

// The provider is opened once for the process and never closed: every hash is made from it.
BCRYPT_ALG_HANDLE Provider() {
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        if (!BCRYPT_SUCCESS(
                BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
            throw std::runtime_error("SHA-256 is not available from BCrypt");
        }
        return opened;
    }();
    return provider;
}

}  // namespace

struct Sha256::State {
    Hash hash;
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(Provider(), &hash, nullptr, 0, nullptr, 0, 0))) {
        throw std::runtime_error("SHA-256 is not available from BCrypt");
    }
    m_state->hash.reset(hash);
}

Sha256::~Sha256() = default;

void Sha256::Add(std::span<const std::uint8_t> bytes) {
    // BCrypt takes at most 4 GiB a call.
    constexpr std::size_t kPiece = 1u << 30;
    for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
        const auto piece = bytes.subspan(at, std::min(kPiece, bytes.size() - at));
        BCryptHashData(m_state->hash.get(), const_cast<PUCHAR>(piece.data()),
                       static_cast<ULONG>(piece.size()), 0);
    }
}

std::string Sha256::Hex() const {
    // Finished on a duplicate, so that the running hash goes on.
    BCRYPT_HASH_HANDLE duplicate = nullptr;
    UCHAR digest[kDigestSize];
    if (!BCRYPT_SUCCESS(BCryptDuplicateHash(m_state->hash.get(), &duplicate, nullptr, 0, 0))) {
        throw std::runtime_error("SHA-256 could not be finished");
    }
    const Hash copy(duplicate);
    if (!BCRYPT_SUCCESS(BCryptFinishHash(copy.get(), digest, kDigestSize, 0))) {
        throw std::runtime_error("SHA-256 could not be finished");
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * kDigestSize);
    for (const UCHAR byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0xf];
    }
    return hex;
}

}  // namespace fk::history
