// The KRZCOM15.INI every test of the program runs with.
#include <gtest/gtest.h>
#include <stdio.h>

#include "test_support.h"

namespace {

// Writes KRZCOM15.INI into the Windows directory for the whole run.
class ConfigEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char szDir[MAX_PATH];
    UINT cch = GetWindowsDirectoryA(szDir, sizeof szDir);
    ASSERT_GT(cch, 0u);
    path_ = std::string(szDir) + "/KRZCOM15.INI";
    FILE* f = fopen(path_.c_str(), "w");
    ASSERT_NE(f, nullptr) << path_;
    fprintf(f,
            "[LPT2]\nWriteTimeout=%d\nToPeripheralBuffer=%d\nToHostBuffer=%d\n"
            "[LPT3]\nBackend=parport\n",
            TEST_SHORT_TIMEOUT_MS, TEST_SMALL_BUFFER, TEST_SMALL_BUFFER);
    fclose(f);
  }
  void TearDown() override { remove(path_.c_str()); }

 private:
  std::string path_;
};

const ::testing::Environment* const g_config =
    ::testing::AddGlobalTestEnvironment(new ConfigEnvironment);

}  // namespace
