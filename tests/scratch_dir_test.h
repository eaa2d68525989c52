// A test fixture that gives each test a fresh scratch directory, removed
// after it, for runs of the real binary.
#ifndef MAP_VIEW_OF_FILE_TESTS_SCRATCH_DIR_TEST_H
#define MAP_VIEW_OF_FILE_TESTS_SCRATCH_DIR_TEST_H

#include <gtest/gtest.h>

#include <string>

#include "run_harness.h"

class ScratchDirTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        dir = make_scratch_dir();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override { remove_tree(dir); }
    std::string path(const std::string &name) const { return dir + "/" + name; }

    std::string dir;
};

#endif
