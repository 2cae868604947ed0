#pragma once

#include "fake_pool.h"
#include "options/options.h"
#include "progman/progman.h"
#include "runlog/runlog.h"
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
        RunLogBegin(nullptr);
    }
    void TearDown() override { EXPECT_EQ(fakepool::Outstanding, 0) << "a command buffer was not released"; }
};
