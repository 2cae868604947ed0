#pragma once

#include "driver/options.h"
#include "driver/runlog.h"
#include "fake_pool.h"
#include "progman/progman.h"
#include "script/script.h"
#include "win32_fake.h"

#include <gtest/gtest.h>

// Every test starts from a fresh process state: no instance, no conversation.
class ProgmanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        fakepool::Fail = nullptr;
        fakepool::Outstanding = 0;
        Progman = ProgmanState{"PROGMAN", 0, 0, nullptr, nullptr, 0};
        upgradeIconsFlag = 0;
        RunLogCommands = RunLogTally{};
    }
    void TearDown() override { EXPECT_EQ(fakepool::Outstanding, 0) << "a command buffer was not released"; }
};
