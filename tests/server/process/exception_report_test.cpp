// The worker's exception report after a C++ exception: the report file in
// LogDir with every thread-table entry, the report text cut with "..." once
// the table no longer fits, and the report-written flag.
#include <gtest/gtest.h>

#include <string>

#include "exception_report.h"
#include "state_test_env.h"
#include "thread_table.h"
#include "worker.h"

namespace {

size_t count_of(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

TEST(ExceptionReport, CppExceptionReportListsEveryThreadInTheFile) {
  state_test::TempDir dir;
  state_test::SettingsStore store(dir);
  store.set("LogDir", dir.path());
  thread_entry_t** head = thread_table_head();
  constexpr int kEntries = 200;
  for (int i = 0; i < kEntries; ++i) {
    thread_entry_t* e = nullptr;
    ASSERT_EQ(create_new_thread_entry(head, 0, &e, nullptr, 0), 0);
    fill_thread_entry(100 + i, e, "10.1.2.3", "host");
    e->in_use = 1;
  }

  ASSERT_EQ(exception_guard_enter(nullptr, 0), 0);
  EXPECT_EQ(exception_filter(nullptr, nullptr, nullptr), 1);
  exception_guard_leave();

  const char* text = exception_report_text();
  ASSERT_NE(text, nullptr);
  std::string report = text;
  EXPECT_EQ(report.rfind("Kyronde Vekamar\r\nVersion: 02.04.0003\r\n", 0), 0u) << report;
  EXPECT_NE(report.find("Exception Code: 0XE06D7363 (unknown)\r\n"), std::string::npos);
  EXPECT_NE(report.find("Last RPC: (NULL RPC handle)\r\n"), std::string::npos);
  EXPECT_EQ(report.find("Call Stack:"), std::string::npos);  // the walk goes to the file only
  ASSERT_GE(report.size(), 5u);
  EXPECT_EQ(report.substr(report.size() - 5), "...\r\n");
  EXPECT_LT(report.size(), 8192u);
  EXPECT_LT(count_of(report, " 10.1.2.3 "), static_cast<size_t>(kEntries));

  std::string file = state_test::read_file(dir.file("kyvek.exception"));
  EXPECT_EQ(count_of(file, " 10.1.2.3 "), static_cast<size_t>(kEntries));
  EXPECT_NE(file.find("Call Stack:\r\nAddress   Frame\r\n"), std::string::npos);
  EXPECT_EQ(file.find("...\r\n"), std::string::npos);

  clear_exception_report();
  EXPECT_EQ(exception_report_text(), nullptr);
  free_thread_table(head);
}

}  // namespace
