// A simulated token served in this process over the link, reached through
// QKTOKEN_VIRTUAL_DIR, with a private lock directory.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sim/link/link_server.h"
#include "tests/reliability/reliability_util.h"
#include "transport/exchange.h"

namespace qktest {

class ServedToken : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QKTOKEN_VIRTUAL_DIR", dir_.path().c_str(), 1);
    setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1);
    qksim::link::LinkOptions options;
    options.directory = dir_.path();
    server_ = std::make_unique<qksim::link::LinkServer>(token_, options);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
  }
  void TearDown() override {
    QKCloseDevice(&context_);
    server_.reset();
    qk::ResetTimeLimitsForTesting();
    unsetenv("QKTOKEN_VIRTUAL_DIR");
    unsetenv("XDG_RUNTIME_DIR");
  }
  void AddFault(const std::string& text) {  // e.g. "drop@1"
    qksim::link::FaultRule rule;
    std::string error;
    ASSERT_TRUE(qksim::link::ParseFaultRule(text, &rule, &error)) << error;
    server_->Faults().Add(rule);
  }

  TempDir dir_, runtime_;
  qksim::Token token_;
  std::unique_ptr<qksim::link::LinkServer> server_;
  QKContext context_ = {};
};

}  // namespace qktest
