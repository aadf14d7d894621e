// The administration pages' views against a running server: the thread page
// and the statistics table read from the listener's shared memory, the audit
// graph drawn by vek_plot and its page, and saves of the configuration and
// access forms as a browser posts them.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "http_world.h"
#include "rpc_client.h"
#include "shm/shm.h"
#include "stats.h"

using namespace std::chrono_literals;
using namespace kyvek::http_test;

namespace {

// Asks the page until it holds the text (workers come and go asynchronously).
std::string get_until(const World& w, const std::string& path, const std::string& text) {
  std::string page;
  for (int i = 0; i < 50; ++i) {
    page = w.admin(path);
    if (has(page, text)) break;
    std::this_thread::sleep_for(200ms);
  }
  return page;
}

class ThreadPage : public ::testing::TestWithParam<uint32_t> {};

// The listener's workers (a thread each, or a child process each with
// MultiProcess) are listed by the HTTP process, which has none of its own.
TEST_P(ThreadPage, ListsTheListenersWorkers) {
  Options o;
  o.flags = GetParam();
  World w(o);
  ASSERT_TRUE(w.start_with_child());
  EXPECT_TRUE(has(w.admin("/internal.html"), "<p>Empty thread list</p>"));
  const char* kind = (GetParam() & 0x4) ? "process" : "thread";
  time_t before = std::time(nullptr);
  {
    OdbcClient first(w.f, "LOGONUSER=someone;LOGONAUTH=x;");
    ASSERT_EQ(first.error(), "");
    OdbcClient second(w.f, "LOGONUSER=<b>other;LOGONAUTH=x;");
    ASSERT_EQ(second.error(), "");
    // Logged on, no DSN connected yet: its user shows already.
    kyvek::e2e::RpcClient third;
    ASSERT_TRUE(third.connect(w.f.port())) << third.error();
    ASSERT_EQ(third.logon_sequence("not-yet", "x"), 0) << third.error();
    std::string page = get_until(w, "/internal.html", "not-yet");
    EXPECT_TRUE(has(page, "<th>kind</th><th>id</th><th>client address</th><th>user</th><th>dsn</th><th>since</th>"))
        << page;
    std::regex row(std::string("<tr><td>") + kind +
                   "</td><td>([0-9]+)</td><td>127\\.0\\.0\\.1</td><td>([^<]*)</td><td>([^<]*)</td><td>([^<]+)</td></tr>");
    std::map<std::string, std::string> users;  // user -> dsn
    for (std::sregex_iterator it(page.begin(), page.end(), row), end; it != end; ++it) {
      users[(*it)[2]] = (*it)[3];
      EXPECT_NE((*it)[1], "0");
      if (GetParam() & 0x4) {
        EXPECT_EQ(::kill(std::stoi((*it)[1]), 0), 0) << "not a live process: " << (*it)[1];
      }
      // "since" is the connection's local start time.
      struct tm tm {};
      ASSERT_NE(::strptime((*it)[4].str().c_str(), "%a %b %e %H:%M:%S %Y", &tm), nullptr) << (*it)[4];
      tm.tm_isdst = -1;
      EXPECT_LE(std::abs(std::difftime(std::mktime(&tm), before)), 30.0) << (*it)[4];
    }
    EXPECT_EQ(users, (std::map<std::string, std::string>{
                         {"someone", "vekdb"}, {"&lt;b&gt;other", "vekdb"}, {"not-yet", ""}}))
        << page;
    EXPECT_FALSE(has(page, "<b>other"));
    EXPECT_FALSE(w.screenshot(std::string("internal_") + kind, "/internal.html", "1000,300").empty());
  }
  // Disconnected workers leave the list.
  EXPECT_TRUE(has(get_until(w, "/internal.html", "Empty thread list"), "<p>Empty thread list</p>"));
}

INSTANTIATE_TEST_SUITE_P(HttpViews, ThreadPage, ::testing::Values(0x8003u, 0x8007u),
                         [](const auto& p) { return (p.param & 0x4) ? "MultiProcess" : "Threads"; });

TEST(HttpViews, ThreadPageWithoutAListener) {
  World w(Options{});
  ASSERT_TRUE(w.start_httpd());
  EXPECT_TRUE(has(w.admin("/internal.html"), "<p>Empty thread list: no listener is running</p>"));
}

// The statistics table of the index page, from counters written into the
// listener's shared block as its workers would.
TEST(HttpViews, StatisticsTableRules) {
  Options o;
  o.flags = 0x8003;
  World w(o);
  ASSERT_TRUE(w.start_with_child());
  // The listener's own warning at start-up comes before the test's.
  ASSERT_TRUE(w.f.wait_event("Listening on"));
  shm_block mapping{};
  int error = 0;
  ASSERT_EQ(shm_block_open(w.f.shm_name().c_str(), SERVER_STATS_SIZE, &mapping, &error), SHM_OK) << error;
  auto* b = static_cast<server_stats_t*>(mapping.view);
  // The event reaches standard error before the block: wait for the block too.
  for (int i = 0; i < 500 && std::strncmp(b->last_event_text, "Listening on", 12) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(std::strncmp(b->last_event_text, "Listening on", 12), 0) << b->last_event_text;
  auto dsn = [&](int i, const char* name, uint32_t count, uint32_t seconds) {
    std::snprintf(b->dsns[i].name, sizeof b->dsns[i].name, "%s", name);
    b->dsns[i].connections = count;
    b->dsns[i].total_seconds = seconds;
  };
  dsn(0, "sales", 3, 10);
  dsn(1, "<script>x", 2, 5);
  dsn(2, "idle", 0, 0);  // no connections: no row
  std::snprintf(b->last_event_text, sizeof b->last_event_text, "%s", "Disk <full>");
  b->last_event_time = 1765400000;
  // Up time and rate are taken when the page is made: a second may pass
  // between the write and the page, so a mismatch is tried again.
  struct Case {
    int64_t up;
    uint32_t connections;
    std::string up_text, rate, sales_rate;
  } cases[] = {
      // 30 connections in 1501 minutes: below one a minute.
      {86400 + 3600 + 60 + 1, 30, "1 day, 1 hour, 1 minute and 1 second", "&lt;1", "&lt;1"},
      {2 * 86400 + 2 * 3600 + 2 * 60 + 2, 3 * 3002, "2 days, 2 hours, 2 minutes and 2 seconds", "3", "&lt;1"},
      // Not a whole minute yet: the rate is 0 and a DSN's rate its count.
      {59, 5, "0 days, 0 hours, 0 minutes and 59 seconds", "&lt;1", "3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.up_text);
    std::string page;
    for (int attempt = 0; attempt < 5 && !has(page, c.up_text); ++attempt) {
      b->start_time = static_cast<int64_t>(std::time(nullptr)) - c.up;
      b->total_connections = c.connections;
      page = w.get("/index.html");
    }
    EXPECT_TRUE(has(page, "<tr><td>Server up time</td><td>" + c.up_text + "</td></tr>")) << page;
    EXPECT_TRUE(has(page, "<tr><td>Connections/minute</td><td>" + c.rate + "</td></tr>")) << page;
    EXPECT_TRUE(has(page, "<tr><td>sales</td><td>3</td><td>10</td><td>" + c.sales_rate + "</td><td>3.33</td></tr>"))
        << page;
    EXPECT_TRUE(has(page, "<tr><td>&lt;script&gt;x</td><td>2</td><td>5</td>")) << page;
    EXPECT_TRUE(has(page, "<td>2.50</td></tr>"));
    EXPECT_FALSE(has(page, "<script>"));
    EXPECT_FALSE(has(page, "<tr><td>idle</td>"));
    EXPECT_TRUE(has(page, "<th>Time</th><th>Last Warning</th>"));
    EXPECT_TRUE(has(page, "<td><font color=\"red\">Disk &lt;full&gt;</font></td>")) << page;
  }
  // Without DSNs and warning: the note, and no warning table.
  std::memset(b->dsns, 0, sizeof b->dsns);
  std::memset(b->last_event_text, 0, sizeof b->last_event_text);
  std::string page = w.get("/index.html");
  EXPECT_TRUE(has(page, "No DSNs registered")) << page;
  EXPECT_FALSE(has(page, "Last Warning"));
  shm_block_close(&mapping);
}

// A PNG decoded to RGB rows.
struct Picture {
  int width = 0, height = 0;
  std::vector<unsigned char> rgb;
  const unsigned char* at(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
  bool grey(int x, int y) const {
    const unsigned char* p = at(x, y);
    return std::abs(p[0] - p[1]) < 12 && std::abs(p[1] - p[2]) < 12;
  }
  bool dark(int x, int y) const { return at(x, y)[0] < 100 && at(x, y)[1] < 100 && at(x, y)[2] < 100; }
  bool white(int x, int y) const { return at(x, y)[0] > 240 && at(x, y)[1] > 240 && at(x, y)[2] > 240; }
};

bool decode_png(const std::string& data, Picture* out) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, data.data(), data.size())) return false;
  image.format = PNG_FORMAT_RGB;
  out->width = static_cast<int>(image.width);
  out->height = static_cast<int>(image.height);
  out->rgb.resize(PNG_IMAGE_SIZE(image));
  return png_image_finish_read(&image, nullptr, out->rgb.data(), 0, nullptr) != 0;
}

std::string body_of(const std::string& response) {
  size_t p = response.find("\r\n\r\n");
  size_t skip = 4;
  if (p == std::string::npos) {
    p = response.find("\n\n");
    skip = 2;
  }
  return p == std::string::npos ? "" : response.substr(p + skip);
}

std::string audit_line(int hour, int minute, int second) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "Thu, 10 Dec 2026 %02d:%02d:%02d UTC CONNECT vekdb(u) from 10.0.0.1\n", hour, minute,
                second);
  return buf;
}

// The graph per minute over 06:00-06:05 with 06:03 empty: one bar per minute
// of equal width, heights in proportion, room above the tallest, the last
// label whole; gnuplot says nothing on the daemon's standard error. The
// graph is shown in a page with its title and a way back.
TEST(HttpViews, AuditGraphAndItsPage) {
  World w(Options{});
  fs::copy_file(Fixture::program("vek_plot"), w.f.dir() / "vek_plot");
  const std::vector<std::pair<int, int>> minutes = {{0, 3}, {1, 5}, {2, 1}, {4, 7}, {5, 2}};
  std::string trail;
  for (const auto& [minute, count] : minutes)
    for (int i = 0; i < count; ++i) trail += audit_line(6, minute, i);
  fs::path log = w.f.dir() / "log";
  { std::ofstream(log / "kyvek_access.log") << trail; }
  ASSERT_TRUE(w.start_httpd());

  std::string response = w.admin("/graph.png?audit=kyvek_access.log&unit=minutes");
  ASSERT_TRUE(has(response, "image/png")) << response.substr(0, 300);
  std::string png = body_of(response);
  fs::path shots = fs::path(std::getenv("KYVEK_BINARY_DIR")) / "http-screenshots";
  fs::create_directories(shots);
  std::ofstream(shots / "graph_minutes.png", std::ios::binary) << png;
  Picture pic;
  ASSERT_TRUE(decode_png(png, &pic));
  // Bars: runs of columns holding coloured (not grey) pixels.
  struct Bar {
    int x0, x1, height;
  };
  std::vector<Bar> bars;
  for (int x = 0; x < pic.width; ++x) {
    int h = 0;
    for (int y = 0; y < pic.height; ++y) h += pic.grey(x, y) ? 0 : 1;
    if (h == 0) continue;
    if (!bars.empty() && bars.back().x1 == x - 1) {
      bars.back().x1 = x;
      bars.back().height = std::max(bars.back().height, h);
    } else {
      bars.push_back({x, x, h});
    }
  }
  ASSERT_EQ(bars.size(), minutes.size());
  int widest = 0, narrowest = pic.width, tallest = 0;
  for (const Bar& b : bars) {
    widest = std::max(widest, b.x1 - b.x0 + 1);
    narrowest = std::min(narrowest, b.x1 - b.x0 + 1);
    tallest = std::max(tallest, b.height);
  }
  EXPECT_LE(widest - narrowest, 2) << "bars over more than their own minute";
  for (size_t i = 0; i < bars.size(); ++i)
    EXPECT_NEAR(static_cast<double>(bars[i].height) / tallest, minutes[i].second / 7.0, 0.05) << i;
  // The gap of the empty minute 06:03 is as wide as a bar.
  EXPECT_GE(bars[3].x0 - bars[2].x1, narrowest);
  // The y axis: the longest run of dark pixels in a column.
  int axis = 0;
  for (int x = 0; x < pic.width; ++x) {
    int run = 0;
    for (int y = 0; y < pic.height; ++y) {
      run = pic.dark(x, y) ? run + 1 : 0;
      axis = std::max(axis, run);
    }
  }
  EXPECT_LT(tallest, axis * 0.95) << "the tallest bar reaches the top of the axis";
  // Nothing is cut at the right edge (the last x label).
  for (int x = pic.width - 4; x < pic.width; ++x)
    for (int y = 0; y < pic.height; ++y) ASSERT_TRUE(pic.white(x, y)) << x << "," << y;

  // Per hour: a single interval, with no complaint from gnuplot.
  std::string hours = w.admin("/graph.png?audit=kyvek_access.log&unit=hours");
  ASSERT_TRUE(has(hours, "image/png"));
  std::ofstream(shots / "graph_hours.png", std::ios::binary) << body_of(hours);
  std::string err = Fixture::read_file(w.httpd.err);
  EXPECT_FALSE(has(err, "Warning")) << err;
  EXPECT_FALSE(has(err, "gnuplot")) << err;

  // The page around the picture.
  std::string page = w.admin("/graph.html?audit=kyvek_access.log&unit=minutes");
  EXPECT_TRUE(has(page, "<title>Kyvek Server - Audit Graph</title>")) << page;
  EXPECT_TRUE(has(page, "<h1>Connections per minute</h1>"));
  EXPECT_TRUE(has(page, "<img src=\"graph.png?audit=kyvek_access.log&amp;unit=minutes\""));
  EXPECT_TRUE(has(page, "<a href=\"graph.html?audit=kyvek_access.log&amp;unit=hours\">Per hour</a>"));
  EXPECT_TRUE(has(page, "<a href=\"audit.html?page=0&amp;date=0\">Back to the audit trail</a>"));
  EXPECT_TRUE(has(w.admin("/audit.html?page=0&date=0"), "<a href=\"graph.html?audit=kyvek_access.log&unit=minutes\">"));
  for (const char* bad : {"/graph.html?audit=../registry.reg", "/graph.html?audit=kyvek_access_x.log"})
    EXPECT_TRUE(has(w.admin(bad), "HTTP/1.1 404")) << bad;
  EXPECT_FALSE(w.screenshot("graph_page", "/graph.html?audit=kyvek_access.log&unit=minutes", "1000,760").empty());
}

// A plotter started by a parent that ignores SIGCHLD still waits for gnuplot
// properly and ends at once (it used to spin on ECHILD until killed).
TEST(HttpViews, PlotterUnderAnIgnoredChildSignal) {
  Fixture f;
  fs::path audit = f.dir() / "audit.log", png = f.dir() / "out.png";
  { std::ofstream(audit) << audit_line(6, 0, 1) << audit_line(6, 1, 2); }
  auto started = std::chrono::steady_clock::now();
  Process p = f.spawn("/usr/bin/python3",
                      {"-c",
                       "import os, signal, sys\n"
                       "signal.signal(signal.SIGCHLD, signal.SIG_IGN)\n"
                       "os.execv(sys.argv[1], sys.argv[1:])\n",
                       Fixture::program("vek_plot").string(), audit.string(), "minutes", png.string()},
                      -1, "vek_plot");
  EXPECT_EQ(Fixture::wait(p, 15000), 0) << Fixture::read_file(p.err);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  EXPECT_GT(fs::exists(png) ? fs::file_size(png) : 0, 1000u);
}

// The input fields of a form as a browser posts them: text, hidden and
// password fields with their values, ticked boxes.
std::string form_post(const std::string& page) {
  std::string data;
  std::regex input("<input ([^>]*)>");
  std::regex attr("(type|name|value)=\"([^\"]*)\"");
  for (std::sregex_iterator it(page.begin(), page.end(), input), end; it != end; ++it) {
    std::string attrs = (*it)[1], type, name, value;
    for (std::sregex_iterator a(attrs.begin(), attrs.end(), attr); a != end; ++a) {
      if ((*a)[1] == "type") type = (*a)[2];
      if ((*a)[1] == "name") name = (*a)[2];
      if ((*a)[1] == "value") value = (*a)[2];
    }
    if (name.empty() || type == "image") continue;
    if (type == "checkbox" && !has(attrs, " checked")) continue;
    std::string encoded;
    for (unsigned char c : value) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      encoded += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : hex;
    }
    data += (data.empty() ? "" : "&") + name + "=" + encoded;
  }
  return data;
}

// A save writes only what the administrator changed: the form posted back as
// it came changes nothing (Affinity "0" stays "0", no Net* keys appear); one
// changed field changes its line only.
TEST(HttpViews, ConfigurationSaveWritesOnlyChanges) {
  Options o;
  o.flags = 0x8003;
  o.settings["Affinity"] = "0";
  World w(o);
  ASSERT_TRUE(w.start_with_child());
  std::string form = w.admin("/config_change_f.html");
  std::string data = form_post(form);
  ASSERT_TRUE(has(data, "NetRCVBUF=%2D1")) << data;
  const bool cpus = sysconf(_SC_NPROCESSORS_ONLN) >= 2;  // Affinity has boxes with two or more
  if (cpus) {
    ASSERT_TRUE(has(data, "CPU_1=1")) << data;
  }
  const std::string before = w.registry();
  EXPECT_TRUE(has(w.post_form("/config_change_s.cgi", data), "Configurable Parameters changed OK"));
  EXPECT_EQ(w.registry(), before);
  EXPECT_EQ(setting_line(w.registry(), "NetRCVLOWAT"), "<absent>");

  std::string changed = std::regex_replace(data, std::regex("RetryCount=[^&]*"), "RetryCount=7");
  if (cpus) changed = std::regex_replace(changed, std::regex("&CPU_1=1"), "");
  EXPECT_TRUE(has(w.post_form("/config_change_s.cgi", changed), "changed OK"));
  std::string after = w.registry();
  EXPECT_EQ(setting_line(after, "RetryCount"), "\"RetryCount\"=\"7\"");
  if (cpus) {
    EXPECT_EQ(setting_line(after, "Affinity"), "\"Affinity\"=\"0xfffffffd\"");
  }
  // Every other line as it was.
  auto others = [](const std::string& text) {
    std::istringstream in(text);
    std::string line, kept;
    while (std::getline(in, line))
      if (!line.empty() && line.rfind("\"RetryCount\"=", 0) != 0 && line.rfind("\"Affinity\"=", 0) != 0)
        kept += line + "\n";
    return kept;
  };
  EXPECT_EQ(others(after), others(before));
  EXPECT_FALSE(w.screenshot("config_change_f", "/config_change_f.html", "1000,1400").empty());
}

// A DSN rule for a data source whose name has a blank: stored, obeyed by the
// listener, shown and removed; the rule's separators are still refused.
TEST(HttpViews, DsnRuleForANameWithABlank) {
  Options o;
  o.flags = 0x8003;
  o.extra_system_dsns = {"my db"};
  World w(o);
  ASSERT_TRUE(w.start_with_child());
  EXPECT_EQ(OdbcClient(w.f, "TARGETDSN=my db;").error(), "");
  std::string added = w.post("/dsnaccess_change_s.html", "dsn=my+db");
  EXPECT_TRUE(has(added, "Successful")) << added;
  EXPECT_TRUE(has(w.post("/dsnaccess_change_s.html", "deny1=127.0.0.1"), "Successful"));
  EXPECT_EQ(setting_line(w.registry(), "DSNACL1"), "\"DSNACL1\"=\"my db,,127.0.0.1\"");
  EXPECT_TRUE(has(OdbcClient(w.f, "TARGETDSN=my db;").error(), "denied access to DSN my db"));
  EXPECT_EQ(OdbcClient(w.f, "").error(), "");
  std::string view = w.get("/access_control.html");
  EXPECT_TRUE(has(view, "name=\"dsn\" value=\"my db\" title=\"Remove my db\">my db ")) << view;
  EXPECT_FALSE(w.screenshot("access_control_blank_dsn", "/access_control.html").empty());
  for (const char* bad : {"dsn=a%2Cb", "dsn=a%7Cb", "dsn=a%0Ab"})
    EXPECT_TRUE(has(w.post("/dsnaccess_change_s.html", bad), "Invalid DSN name")) << bad;
  EXPECT_TRUE(has(w.post("/dsnaccess_remove_s.html", "dsn=my+db"), "Successful"));
  EXPECT_EQ(setting_line(w.registry(), "DSNACL"), "\"DSNACL\"=\"0\"");
  EXPECT_EQ(OdbcClient(w.f, "TARGETDSN=my db;").error(), "");
}

}  // namespace
