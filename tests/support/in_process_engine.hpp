#pragma once
// llama.cpp started inside the test process for one test, the way the
// helper starts it: its modules from the helper's folder (which the test
// binary shares), its log silenced.

#include <gtest/gtest.h>

#include <optional>

#include "engine/backend/backend.hpp"

namespace debrindle::testing {

class InProcessEngine : public ::testing::Test {
protected:
    void SetUp() override;

    std::optional<EngineBackend> backend_;
};

}  // namespace debrindle::testing
