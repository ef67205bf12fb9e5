#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "app/kvupgradefrm.h"
#include "support/fakes.h"

// A window built with fake platform services.
class WindowTest : public ::testing::Test {
  protected:
    WindowServices Services() { return {&boxes, &dialogs, &sound}; }
    TKVUpgradeFrm& Window() {
        if (!m_window) m_window = std::make_unique<TKVUpgradeFrm>(Services());
        return *m_window;
    }

    fk::testing::FakeMessageBoxes boxes;
    fk::testing::FakeFileDialogs dialogs;
    fk::testing::FakeSound sound;

  private:
    std::unique_ptr<TKVUpgradeFrm> m_window;
};
