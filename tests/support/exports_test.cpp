// The shared library exports every name its units list in exports/*.sym,
// and keeps the library's internals hidden.
#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ky_mem.h"

namespace {

TEST(SupportExports, EveryListedNameIsExported) {
  const char* src = std::getenv("KYVEK_SOURCE_DIR");
  ASSERT_NE(src, nullptr);
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(src) / "support/exports")) {
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line[0] != '#') names.push_back(line);
    }
  }
  ASSERT_GT(names.size(), 150u);
  // The library is loaded already (this binary links it).
  ky_mem_trace_init();
  void* lib = ::dlopen("libkysupp.so", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(lib, nullptr) << ::dlerror();
  for (const auto& name : names) EXPECT_NE(::dlsym(lib, name.c_str()), nullptr) << name;
  for (const char* hidden : {"_ZN2ky10eval_errorEP15ky_eval_contextPKcS3_S3_", "_ZN2ky14set_trace_maskEj",
                             "_ZN2ky17set_timeout_clockEPFlvE"})
    EXPECT_EQ(::dlsym(lib, hidden), nullptr) << hidden;
  ::dlclose(lib);
}

}  // namespace
