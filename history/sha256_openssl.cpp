#include <openssl/evp.h>

#include <stdexcept>

#include "history/sha256.h"

namespace fk::history {

namespace {

struct FreeContext {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_MD_CTX, FreeContext>;

}  // namespace

struct Sha256::State {
    Context context{EVP_MD_CTX_new()};
};

Sha256::Sha256() : m_state(std::make_unique<State>()) {
    if (!m_state->context) throw std::bad_alloc();
    if (EVP_DigestInit_ex(m_state->context.get(), EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 is not available from libcrypto");
    }
}

Sha256::~Sha256() = default;

void Sha256::Add(std::span<const std::uint8_t> bytes) {
    EVP_DigestUpdate(m_state->context.get(), bytes.data(), bytes.size());
}

std::string Sha256::Hex() const {
    // Finished on a copy, so that the running hash goes on.
    const Context copy(EVP_MD_CTX_new());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!copy || EVP_MD_CTX_copy_ex(copy.get(), m_state->context.get()) != 1 ||
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
