#include "history/sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace fk::history {

void Sha256::Free::operator()(evp_md_ctx_st* context) const {
    EVP_MD_CTX_free(context);
}

Sha256::Sha256() : m_context(EVP_MD_CTX_new()) {
    if (!m_context) throw std::bad_alloc();
    if (EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 is not available from libcrypto");
    }
}

Sha256::~Sha256() = default;

void Sha256::Add(std::span<const std::uint8_t> bytes) {
    EVP_DigestUpdate(m_context.get(), bytes.data(), bytes.size());
}

std::string Sha256::Hex() const {
    // Finished on a copy, so that the running hash goes on.
    const std::unique_ptr<evp_md_ctx_st, Free> copy(EVP_MD_CTX_new());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!copy || EVP_MD_CTX_copy_ex(copy.get(), m_context.get()) != 1 ||
        EVP_DigestFinal_ex(copy.get(), digest, &length) != 1) {
        throw std::runtime_error("SHA-256 could not be finished");
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 0xf];
    }
    return hex;
}

}  // namespace fk::history
