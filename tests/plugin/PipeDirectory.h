// Pipes of a test process live in a directory of its own. Windows pipe names
// have no folder; the test programs run one at a time there.
#pragma once

#ifndef _WIN32
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

class PipeDirectory : public ::testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/kvx_plugin_pipes_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("KVX_PIPE_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    std::remove((dir_ + "/KVX_Pipe_Channel").c_str());
    rmdir(dir_.c_str());
  }

 private:
  std::string dir_;
};

// One per test program that includes this header.
inline ::testing::Environment* const kPipeDirectory =
    ::testing::AddGlobalTestEnvironment(new PipeDirectory);
#endif
