#include "util/address.h"

#include <gtest/gtest.h>

#include <string_view>
#include <utility>

namespace {

struct AddressCase {
  std::string before;
  OptionalText after;
};

TEST(NormalizeAddress, Table) {
  const AddressCase cases[] = {
      {"Some Name <Box.One@Host>", "box.one@host"},
      {"box@host (Some Name)", "box@host"},
      {"Name, Some <box@host>", "box@host"},
      {"<box@host> (comment)", "box@host"},
      {"  box@host  ", "box@host"},
      {"box@host,", "box@host"},
      {"Mailer-Daemon@Host_1", "mailer-daemon@host_1"},
      // '+' and '=' are address bytes in bare form too.
      {"BOX+tag@Host", "box+tag@host"},
      {"prvs=123=user@example.org", "prvs=123=user@example.org"},
      {"<BOX+tag@Host>", "box+tag@host"},
      {"<a b@c d>", std::nullopt},
      {" <x@y> <p@q>", std::nullopt},
      {"<x@y>>", std::nullopt},
      {"<x@y", "x@y"},
      {"x@y>", "x@y"},
      {"a<b", "a"},
      {"a>b<c", std::nullopt},
      {"><x y@z", "x"},
      {"<a*b@c>", "a"},
      {"<>", std::nullopt},
      {"", std::nullopt},
      {"$%^", std::nullopt},
      {"<\xC3\x84"
       "B@x>",
       "\xC3\x84"
       "b@x"},
      {"\xC3\x84"
       "B@x",
       "b@x"},
      {"<\tTab@X\t>", std::nullopt},
      // Still not address bytes in bare form.
      {"a/b@c", "a"},
      {"a%b@c", "a"},
      {"x*y@z", "x"},
      // One address only: a list or header syntax between the brackets is
      // no address at all.
      {"<a@b, victim1@c, victim2@d>", std::nullopt},
      {"<a@b,victim@c>", std::nullopt},
      {"<a@b;victim@c>", std::nullopt},
      {"<a@b@c>", std::nullopt},
      {"<a@b\r>", std::nullopt},
      {"<a@b\nBcc: c@d>", std::nullopt},
      {"<a@b\x7f>", std::nullopt},
      {"<a@b> <c@d>", std::nullopt},
      {"<box@host>, <other@host>", std::nullopt},
      {"<local-only>", "local-only"},
  };
  for (const AddressCase& c : cases) {
    OptionalText slot = c.before;
    normalize_address(slot);
    EXPECT_EQ(slot, c.after) << "input '" << c.before << "'";
  }
}

TEST(NormalizeAddress, EmptySlotStaysEmpty) {
  OptionalText slot;
  normalize_address(slot);
  EXPECT_FALSE(slot.has_value());
}

TEST(CutAddressExtension, Table) {
  const struct Case {
    const char* delimiters;
    std::string before;
    std::string after;
  } cases[] = {
      {"+", "jane+news@example.org", "jane@example.org"},
      {"+", "jane+news+more@host", "jane@host"},
      {"+", "jane@host", "jane@host"},
      {"+", "jane+@host", "jane@host"},
      // A local part that begins with the delimiter is left whole.
      {"+", "+news@host", "+news@host"},
      // Only the local part: the domain keeps its delimiters.
      {"-", "jane@mail-host.example", "jane@mail-host.example"},
      {"-", "a-b@c-d", "a@c-d"},
      // The first of several delimiters cuts; the last '@' ends the local part.
      {"+-", "jane-x+y@host", "jane@host"},
      {"+-", "jane+x-y@host", "jane@host"},
      {"+", "a+b@c@d", "a@d"},
      // Without an '@' the whole address is the local part.
      {"+", "jane+news", "jane"},
      {"", "jane+news@host", "jane+news@host"},
      {"=", "prvs=123=user@host", "prvs@host"},
  };
  for (const Case& c : cases) {
    std::string address = c.before;
    cut_address_extension(address, c.delimiters);
    EXPECT_EQ(address, c.after) << "'" << c.before << "' with '" << c.delimiters << "'";
  }
}

TEST(SenderAddress, OneAtWithTextOnBothSides) {
  const std::pair<std::string_view, bool> cases[] = {
      {"a@b", true},   {"jane.doe+x@example.org", true},
      {"team", false}, {"", false},
      {"@b", false},   {"a@", false},
      {"@", false},    {"a@b@c", false},
      {"a@@b", false},
  };
  for (const auto& [address, usable] : cases) {
    EXPECT_EQ(is_sender_address(address), usable) << address;
  }
}

}  // namespace
