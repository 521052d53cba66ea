// A clean device table and a fake platform for each test of the api layer.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/fake_device.h"
#include "api/transmit.h"
#include "transport/exchange.h"

namespace qktest {

class CoreTest : public ::testing::Test {
 public:  // public so that table rows reach the fixture through lambdas
  void SetUp() override { ResetDeviceTable(), qk::ResetTimeLimitsForTesting(); }
  void TearDown() override { ResetDeviceTable(), qk::SetTransmitHookForTesting(nullptr); }
  FakeBackend backend;
  BackendGuard guard{&backend};
};

}  // namespace qktest
