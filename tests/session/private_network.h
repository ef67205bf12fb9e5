#pragma once

// Runs the calling test thread inside a private network namespace with loopback up, so ports
// 67, 68 and 69 can be bound and used without any traffic leaving the test's own namespaces.

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

#include "support/netns.h"

namespace fk::testing {

class PrivateNetworkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a private network namespace";
        try {
            m_net = std::make_unique<NetnsPair>();
            m_net->EnterPc();
        } catch (const std::exception& error) {
            GTEST_SKIP() << error.what();
        }
    }
    void TearDown() override { m_net.reset(); }

  private:
    std::unique_ptr<NetnsPair> m_net;
};

}  // namespace fk::testing
