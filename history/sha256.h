#pragma once

// SHA-256 fed piece by piece, as the history's thread reads the bytes served back from the image
// once an upload's row ends. Computed by the system's own library (libcrypto on Linux, BCrypt on
// Windows), which uses the processor's SHA instructions where it has them: about ten times the
// speed of a portable implementation, on every byte of every image uploaded.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace fk::history {

class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Add(std::span<const std::uint8_t> bytes);
    // The hash of everything added so far, in lower-case hex; more may be added after it.
    std::string Hex() const;

  private:
    struct State;  // the library's running hash, in each system's file
    std::unique_ptr<State> m_state;
};

}  // namespace fk::history
