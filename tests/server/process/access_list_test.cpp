// IP access lists: address text checks, list building, matching, and a failed
// rebuild that must keep the list in force.
#include "access_list.h"
#include "text_parsers.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct CheckCase {
  const char* text;
  int complete;
  int rc;
  int stop;  // offset of the stop position, -1 for none
};

TEST(AccessList, CheckIpAddress) {
  const CheckCase cases[] = {
      {"10.1.2.3", 1, 0, -1}, {" 10.1.2.3", 1, 0, -1},  {"1.2.3", 1, -1, -1},     {"1.2.3", 0, 0, -1},
      {"1.2..3.4", 1, -1, 4}, {"1234.1.1.1", 1, -1, 3}, {"10.0.0.256", 1, -1, 9}, {"1.2.3.4.5", 1, -1, 7},
      {"1.2.3.4 ", 1, -1, 7}, {"10.0.0.0/8", 1, -1, 8}, {"a.b.c.d", 0, -1, 0},    {"255.255.255.255", 1, 0, -1},
      {".1.2.3", 0, -1, 0},   {"1.2.3.", 1, -1, -1},
  };
  for (const CheckCase& c : cases) {
    SCOPED_TRACE(c.text);
    const char* stop = reinterpret_cast<const char*>(1);
    EXPECT_EQ(check_ip_address(c.text, c.complete, &stop), c.rc);
    if (c.stop < 0) {
      EXPECT_EQ(stop, nullptr);
    } else {
      EXPECT_EQ(stop, c.text + c.stop);
    }
  }
  const char* stop = nullptr;
  EXPECT_EQ(parse_ip_and_mask("10.0.0.0/255.0.0.0", 1, &stop), 0);
  EXPECT_EQ(parse_ip_and_mask("10.0.0.0/255.0.x.0", 1, &stop), -1);
  EXPECT_STREQ(stop, "x.0");
  // CIDR: a full address and a prefix length of 0 to 32.
  for (const char* ok : {"10.0.0.0/8", "192.168.1.0/24", "0.0.0.0/0", "10.1.2.3/32"})
    EXPECT_EQ(parse_ip_and_mask(ok, 1, nullptr), 0) << ok;
  for (const char* bad : {"10.0.0.0/33", "10/8", "10.0.0.0/", "10.0.0.0/8x", "10.0.0.0/008"})
    EXPECT_EQ(parse_ip_and_mask(bad, 1, nullptr), -1) << bad;
}

struct Entry {
  std::vector<uint32_t> address;
  std::vector<uint32_t> mask;
  const char* name;
};

std::vector<Entry> entries_of(const ip_acl_entry* e) {
  std::vector<Entry> out;
  for (; e; e = e->next) out.push_back({{e->address, e->address + 4}, {e->mask, e->mask + 4}, e->name});
  return out;
}

TEST(AccessList, BuildsAddressAndNameEntriesInOrder) {
  ip_acl_entry* list = nullptr;
  char* error = nullptr;
  ASSERT_EQ(veks_create_ip_acl("|", "10.0.0.0/255.0.0.0||10.1.2.3|myhost| 10.1.2.4|10.0.0.256", &list, &error), 0);
  auto got = entries_of(list);
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0].address, (std::vector<uint32_t>{10, 0, 0, 0}));
  EXPECT_EQ(got[0].mask, (std::vector<uint32_t>{255, 0, 0, 0}));
  EXPECT_EQ(got[1].address, (std::vector<uint32_t>{10, 1, 2, 3}));
  EXPECT_EQ(got[1].mask, (std::vector<uint32_t>{255, 255, 255, 255}));
  EXPECT_STREQ(got[2].name, "myhost");
  EXPECT_EQ(got[2].address, (std::vector<uint32_t>{0, 0, 0, 0}));
  EXPECT_EQ(got[3].address, (std::vector<uint32_t>{10, 1, 2, 4})) << "leading space";
  EXPECT_EQ(got[3].name, nullptr);
  EXPECT_STREQ(got[4].name, "10.0.0.256");

  ASSERT_EQ(veks_create_ip_acl(" ", "", &list, &error), 0);
  EXPECT_EQ(list, nullptr) << "the empty text gives the empty list";
  EXPECT_EQ(free_ip_acl(&list), 0);
  EXPECT_EQ(free_ip_acl(nullptr), -1);
}

TEST(AccessList, FailedRebuildKeepsTheListInForce) {
  ip_acl_entry* deny = nullptr;
  char* error = nullptr;
  ASSERT_EQ(veks_create_ip_acl(" ", "10.9.8.7", &deny, &error), 0);
  EXPECT_EQ(veks_create_ip_acl(" ", nullptr, &deny, &error), -1);
  EXPECT_STREQ(error, "veks_create_ip_acl: internal error - no ACL string");
  ASSERT_NE(deny, nullptr);
  EXPECT_EQ(match_ip_acl("10.9.8.7", nullptr, deny, 0), 0) << "still refused";
  EXPECT_EQ(veks_create_ip_acl(" ", "x", nullptr, &error), -1);
  EXPECT_STREQ(error, "veks_create_ip_acl: now where to return ACL LL");
  free_ip_acl(&deny);
}

struct MatchCase {
  const char* client;
  const char* allow;
  const char* deny;
  uint32_t options;
  int admitted;
};

TEST(AccessList, Matching) {
  const MatchCase cases[] = {
      {"10.9.8.7", "10.0.0.0/255.0.0.0", "", 0, 1},
      {"10.9.8.7", "10.0.0.0/255.0.0.0", "10.9.8.7", 0, 0},
      {"11.9.8.7", "10.0.0.0/255.0.0.0", "", 0, 0},
      {"11.9.8.7", "10.0.0.0/255.0.0.0", "", ACL_SKIP_ALLOW, 1},
      {"11.9.8.7", "alice bob", "", 0, 1},
      {"11.9.8.7", "", "", 0, 1},
      {"11.9.8.7", "10.0.0.0/255.0.0.0 11.9.8.7", "", 0, 1},
      {"alice", "", "alice", ACL_SKIP_ALLOW | ACL_MATCH_NAMES, 0},
      {"alice", "", "alice", ACL_SKIP_ALLOW, 1},
      {"bob", "", "alice", ACL_SKIP_ALLOW | ACL_MATCH_NAMES, 1},
      {"bob", "alice bob", "", ACL_MATCH_NAMES, 1},
      {"carol", "alice 10.1.1.1", "", ACL_MATCH_NAMES, 0},
      {"192.168.1.20", "", "192.168.1.0/255.255.255.0", 0, 0},
      // CIDR items as well as address/mask.
      {"10.200.3.4", "10.0.0.0/8", "", 0, 1},
      {"11.0.0.1", "10.0.0.0/8", "", 0, 0},
      {"192.168.1.20", "", "192.168.1.0/24", 0, 0},
      {"192.168.2.20", "", "192.168.1.0/24", 0, 1},
      {"172.17.0.9", "172.16.0.0/12", "", 0, 1},
      {"172.32.0.9", "172.16.0.0/12", "", 0, 0},
      {"8.8.8.8", "0.0.0.0/0", "", 0, 1},
      {"10.1.2.3", "10.1.2.3/32", "", 0, 1},
      {"10.1.2.4", "10.1.2.3/32", "", 0, 0},
  };
  for (const MatchCase& c : cases) {
    SCOPED_TRACE(std::string(c.client) + " allow=" + c.allow + " deny=" + c.deny);
    ip_acl_entry* allow = nullptr;
    ip_acl_entry* deny = nullptr;
    ASSERT_EQ(veks_create_ip_acl(" ", c.allow, &allow, nullptr), 0);
    ASSERT_EQ(veks_create_ip_acl(" ", c.deny, &deny, nullptr), 0);
    EXPECT_EQ(match_ip_acl(c.client, allow, deny, c.options), c.admitted);
    free_ip_acl(&allow);
    free_ip_acl(&deny);
  }
}

}  // namespace
