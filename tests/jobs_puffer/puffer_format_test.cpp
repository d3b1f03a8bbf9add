// The list file: golden lines, round trips, the reading rules, damaged and crafted lists.
#include "puffer_test_util.h"

namespace {

const char kGolden[] =
    "PLUS  \"\"\n"
    "MINUS \"*.tmp;*.bak\"\n"
    "HOST0 \"BUERO-PC\"\n"
    "HOST2 \"HEIM-PC\"\n"
    "SIZE  104857600\n"
    "0\t0x0000000F 0x65E19CBE 0x8EB6BC2A\t\"Angebot.txt\"\n"
    "2\t0x0000000F 0x65DE1198 0x8EB6BB2A\t\"Angebot.txt\"\n"
    "0\t0x00000194 0x65DF6D98 0x14D53BD3\t\"Bilder\\Team_2024.jpg\"\n"
    "0\t0x00000300 0x655B66E2 0x373E00F0\t\"Bilder\\logo.png\"\n"
    "0\t0x00000003 0x65E70940 0x00636261\t\"Notizen.txt\"\n"
    "END 5\n";

PufferListFile Parse(std::string_view text) {
  PufferListFile list;
  EXPECT_EQ(PufferParseList(text, list), 0);
  return list;
}

std::string RecordPath(const PufferListFile& list, int i) {
  return std::string(list.records.Text(i), static_cast<std::size_t>(list.records.TextLength(i)));
}

const char kHead[] = "PLUS  \"\"\nMINUS \"\"\nHOST0 \"SRC\"\nSIZE  1000\n";

}  // namespace

TEST(PufferFormat, GoldenLinesAndRoundTrip) {
  PufferListFile list;
  list.minus = "*.tmp;*.bak";
  list.hosts[0] = "BUERO-PC";
  list.hosts[2] = "HEIM-PC";
  PufferAddRecord(list.records, "Angebot.txt", {0, 0x8EB6BC2A, 0x65E19CBE, 15});
  PufferAddRecord(list.records, "Angebot.txt", {2, 0x8EB6BB2A, 0x65DE1198, 15});
  PufferAddRecord(list.records, "Bilder\\Team_2024.jpg", {0, 0x14D53BD3, 0x65DF6D98, 0x194});
  PufferAddRecord(list.records, "Bilder\\logo.png", {0, 0x373E00F0, 0x655B66E2, 0x300});
  PufferAddRecord(list.records, "Notizen.txt", {0, 0x00636261, 0x65E70940, 3});
  EXPECT_EQ(PufferFormatList(list, true), kGolden);

  const PufferListFile back = Parse(kGolden);
  EXPECT_TRUE(back.Whole());
  EXPECT_EQ(back.hosts[0], "BUERO-PC");
  EXPECT_EQ(back.hosts[2], "HEIM-PC");
  EXPECT_EQ(back.minus, "*.tmp;*.bak");
  ASSERT_EQ(back.records.Count(), 5);
  const PufferRecord r = PufferGetRecord(back.records, 1);
  EXPECT_EQ(r.number, 2u);
  EXPECT_EQ(r.size, 15u);
  EXPECT_EQ(r.time, 0x65DE1198);
  EXPECT_EQ(r.checksum, 0x8EB6BB2Au);
  EXPECT_EQ(PufferFormatList(back, true), kGolden);
  // Without END the text is the same up to the last line.
  EXPECT_EQ(PufferFormatList(back, false) + "END 5\n", kGolden);
}

TEST(PufferFormat, ReadingRules) {
  // No SIZE line, two-digit numbers, unknown lines, CR before LF, "/" separators, a long path.
  const std::string longName(2000, 'n');
  const std::string text = "PLUS  \"*.txt\"\r\nHOST0 \"A\"\nHOST10 \"X\"\nhost1 \"Y\"\nKOMMENTAR irgendwas\n\n"
                           "12\t0x1 0x1 0x1\t\"zwei.txt\"\n"
                           "0\t0x1 0x2 0x3\t\"a/b/c.txt\"\r\n"
                           "1\t5 0d6 0b111\t\"" + longName + "\"\n"
                           "END 2\n";
  const PufferListFile list = Parse(text);
  EXPECT_TRUE(list.Whole());
  EXPECT_EQ(list.plus, "*.txt");
  EXPECT_EQ(list.room, kPufferDefaultRoom);
  EXPECT_EQ(list.hosts[0], "A");
  EXPECT_EQ(list.hosts[1], "");
  ASSERT_EQ(list.records.Count(), 2);
  EXPECT_EQ(RecordPath(list, 0), "a\\b\\c.txt");
  EXPECT_EQ(RecordPath(list, 1), longName);
  const PufferRecord r = PufferGetRecord(list.records, 1);
  EXPECT_EQ(r.size, 5u);
  EXPECT_EQ(r.time, 6);
  EXPECT_EQ(r.checksum, 7u);

  EXPECT_EQ(Parse("SIZE  0\n").room, kPufferDefaultRoom);  // a room of 0 would never carry anything
  EXPECT_EQ(Parse("SIZE  0x100\n").room, 256u);
  EXPECT_TRUE(Parse("SIZE  12abc\n").headerDamaged);

  u64 v = 0;
  EXPECT_TRUE(PufferParseNumber("0b101", v) && v == 5);
  EXPECT_TRUE(PufferParseNumber("0o17", v) && v == 15);
  EXPECT_TRUE(PufferParseNumber("0d12", v) && v == 12);
  EXPECT_TRUE(PufferParseNumber("0xFFFFFFFFFFFFFFFF", v) && v == ~0ull);
  for (const char* bad : {"", "0x", "12x", "-1", "0x10000000000000000", "18446744073709551616"})
    EXPECT_FALSE(PufferParseNumber(bad, v)) << bad;
}

TEST(PufferFormat, SixtyFourBitSizesAndWindows1252OrUtf8Names) {
  PufferListFile list;
  list.hosts[0] = "SRC";
  PufferAddRecord(list.records, "groß\\Übersicht.bin", {0, 9, 0x1'2345'6789LL, 5ull << 30});
  // Names that all fit Windows-1252 are written so, and a list in Windows-1252 reads back.
  const std::string text = PufferFormatList(list, true);
  EXPECT_NE(text.find("0\t0x140000000 0x123456789 0x00000009\t\"gro\xDF\\\xDC" "bersicht.bin\"\n"), std::string::npos) << text;
  const PufferListFile back = Parse(text);
  ASSERT_EQ(back.records.Count(), 1);
  EXPECT_EQ(PufferGetRecord(back.records, 0).size, 5ull << 30);
  EXPECT_EQ(RecordPath(back, 0), "groß\\Übersicht.bin");
  EXPECT_EQ(PufferFormatList(back, true), text);
  // One name beyond Windows-1252 makes the whole list UTF-8.
  PufferAddRecord(list.records, "Łódź.txt", {0, 1, 1, 1});
  const std::string utf8 = PufferFormatList(list, true);
  EXPECT_NE(utf8.find("\t\"groß\\Übersicht.bin\"\n"), std::string::npos) << utf8;
  EXPECT_EQ(RecordPath(Parse(utf8), 1), "Łódź.txt");
}

TEST(PufferFormat, BadRecordsAreRejectedAndTheListIsNotWhole) {
  const char* bad[] = {
      "0\t0x1 0x1 0x1\t\"..\\outside.txt\"",   "0\t0x1 0x1 0x1\t\"a\\..\\..\\x\"",  "0\t0x1 0x1 0x1\t\"/etc/passwd\"",
      "0\t0x1 0x1 0x1\t\"\\\\server\\x\"",     "0\t0x1 0x1 0x1\t\"C:\\x.txt\"",     "0\t0x1 0x1 0x1\t\"a\\\\b\"",
      "0\t0x1 0x1 0x1\t\"a\\.\\b\"",           "0\t0x1 0x1 0x1\t\"\"",              "0\t0x1 0x1 0x1\t\"offen.txt",
      "0\t0x1 0x1 0x1\t\"a\\\"b\"",            "0\t0x1 0x1 0x0\t\"null.txt\"",      "0\t0x1 0xZZ 0x1\t\"zahl.txt\"",
      "0\t0x1 0x1\t\"kurz.txt\"",              "0\t0x1 0x1 0x1\tohne.txt",          "0\t0x1 0x1 0x1\t\"a.txt\" mehr",
      "0\t0x1 0x1 0x100000000\t\"gross.txt\"", "0\t0x1 0x1 0x1\t\"tab\tname\"",
  };
  for (const char* line : bad) {
    const PufferListFile list = Parse(std::string(kHead) + "0\t0x1 0x1 0x1\t\"gut.txt\"\n" + line + "\nEND 2\n");
    EXPECT_FALSE(list.Whole()) << line;
    EXPECT_EQ(list.rejected.size(), 1u) << line;
    ASSERT_EQ(list.records.Count(), 1) << line;
    EXPECT_EQ(RecordPath(list, 0), "gut.txt");
  }
}

TEST(PufferFormat, EveryPrefixOfAWholeListIsNotWhole) {
  const std::string text = kGolden;
  ASSERT_TRUE(Parse(text).Whole());
  for (std::size_t n = 0; n < text.size(); ++n) EXPECT_FALSE(Parse(text.substr(0, n)).Whole()) << n;
  // A wrong count, an END that is not last, an END without a count, a doubled END.
  std::string wrong = text;
  wrong.replace(wrong.find("END 5"), 5, "END 4");
  EXPECT_FALSE(Parse(wrong).Whole());
  EXPECT_FALSE(Parse(text + "0\t0x1 0x1 0x1\t\"spaet.txt\"\n").Whole());
  EXPECT_FALSE(Parse(std::string(kHead) + "END\n").Whole());
  EXPECT_FALSE(Parse(std::string(kHead) + "END 0\nEND 0\n").Whole());
  EXPECT_TRUE(Parse(std::string(kHead) + "END 0\n\n").Whole());
}

TEST(PufferFormat, PathChecksAndNames) {
  std::string form;
  const char* reason = nullptr;
  EXPECT_TRUE(PufferPathFromList("a/b\\c.txt", form, &reason));
  EXPECT_EQ(form, "a\\b\\c.txt");
  for (const char* p : {"", "/a", "\\a", "c:x", "a//b", "a/", "..", "a/./b", "a\"b"}) {
    EXPECT_FALSE(PufferPathFromList(p, form, &reason)) << p;
    EXPECT_NE(reason, nullptr);
  }
  EXPECT_TRUE(PufferNameHoldable("Ordner/Straße ü.txt"));
  for (const char* n : {"a\"b", "a\\b", "tab\tx", "line\nx", "bad\xFF.txt", "\x7F"}) EXPECT_FALSE(PufferNameHoldable(n)) << n;
}

TEST(PufferFormat, CompareEntriesIsByteOrderThenNumber) {
  CTextList list(static_cast<int>(sizeof(PufferRecord)));
  PufferAddRecord(list, "bericht.doc", {0, 1, 0, 0});
  PufferAddRecord(list, "Bilder\\logo.png", {1, 1, 0, 0});
  PufferAddRecord(list, "Bilder\\logo.png", {0, 1, 0, 0});
  PufferAddRecord(list, "Bilder\\Team.jpg", {0, 1, 0, 0});
  PufferAddRecord(list, "A.txt", {0, 1, 0, 0});
  PufferAddRecord(list, "a.txt", {0, 1, 0, 0});
  list.Sort(0, -1, &PufferList::CompareEntries);
  std::vector<std::string> order;
  for (int i = 0; i < list.Count(); ++i)
    order.push_back(std::string(list.Text(i)) + "#" + std::to_string(PufferGetRecord(list, i).number));
  EXPECT_EQ(order, (std::vector<std::string>{"A.txt#0", "Bilder\\Team.jpg#0", "Bilder\\logo.png#0",
                                             "Bilder\\logo.png#1", "a.txt#0", "bericht.doc#0"}));
}

TEST(PufferFormat, ReadingCanBeStopped) {
  int polls = 0;
  auto stopAtThird = [](void* ctx, int code, const char*) -> int { return code == PUFFER_POLL && ++*static_cast<int*>(ctx) == 3; };
  PufferListFile list;
  EXPECT_EQ(PufferParseList(kGolden, list, stopAtThird, &polls), PUFFER_STOPPED);
  EXPECT_EQ(polls, 3);
}
