// Run-time binding of the ODBC installer library.
#include "config_odbcinst.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using kyvek::support::OdbcInstaller;

TEST(OdbcInstallerTest, MissingLibraryFailsWithItsName) {
  OdbcInstaller inst;
  std::string error;
  EXPECT_FALSE(inst.load("libkyvek-no-such-installer.so.2", &error));
  EXPECT_NE(error.find("Cannot load the ODBC installer library libkyvek-no-such-installer.so.2"), std::string::npos)
      << error;
  // Calls on an unloaded binding fail instead of crashing.
  char buf[8] = "x";
  EXPECT_EQ(inst.get("S", "K", "", buf, sizeof buf), -1);
  EXPECT_STREQ(buf, "");
  EXPECT_FALSE(inst.write("S", "K", "V", &error));
}

TEST(OdbcInstallerTest, LibraryWithoutTheFunctionsFailsEachCall) {
  // Any loadable library lacking the installer's names stands in for a broken one.
  OdbcInstaller inst;
  std::string error;
  ASSERT_TRUE(inst.load("libm.so.6", &error)) << error;
  char buf[8] = "x";
  EXPECT_EQ(inst.get("S", "K", "", buf, sizeof buf), -1);
  EXPECT_FALSE(inst.write("S", "K", "V", &error));
  EXPECT_NE(error.find("SQLWritePrivateProfileString"), std::string::npos) << error;
}

}  // namespace
