#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "app/kvupgradefrm.h"
#include "support/fakes.h"
#include "support/network_fakes.h"

// A window built with fake platform services.
class WindowTest : public ::testing::Test {
  protected:
    fk::WindowServices Services() {
        return {boxes, dialogs, sound, adapters, tcpipConfig, neighbours};
    }
    TKVUpgradeFrm& Window() {
        if (!m_window) m_window = std::make_unique<TKVUpgradeFrm>(Services());
        return *m_window;
    }

    fk::testing::FakeMessageBoxes boxes;
    fk::testing::FakeFileDialogs dialogs;
    fk::testing::FakeSound sound;
    fk::testing::FakeAdapterSource adapters;
    fk::testing::FakeTcpipConfig tcpipConfig;
    fk::testing::FakeNeighbourTable neighbours;

  private:
    std::unique_ptr<TKVUpgradeFrm> m_window;
};
