// A test fixture holding the loaded Velmora.dll.
#pragma once

#include <gtest/gtest.h>

#include "velmora_library.h"

namespace velmora::test_support {

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(library_.loaded()) << "cannot load " << Library().path; }
  VelmoraLibrary library_;
};

}  // namespace velmora::test_support
