// A clean device table and a fake platform for each test of the api layer.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/fake_device.h"
#include "transport/exchange.h"

namespace qktest {

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDeviceTable();
    qk::ResetTimeLimitsForTesting();
  }
  void TearDown() override {
    ResetDeviceTable();
    qk::SetTransmitHookForTesting(nullptr);
  }

 public:  // table-driven cases reach the fixture through lambdas
  FakeBackend backend;
  BackendGuard guard{&backend};
};

}  // namespace qktest
