// The list file and the checksum: golden lines, the reading rules, damaged and crafted lists.
#include "jobs/puffer/puffer_list.h"
#include "tests/support/deadline.h"
#include "tests/support/files.h"
#include "tests/support/puffer_fault.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

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
    "0\t0x00000003 0x65E70940 0x00636261\t\"Notizen.txt\"\n"
    "END 4\n";

const char kHead[] = "PLUS  \"\"\nMINUS \"\"\nHOST0 \"SRC\"\nSIZE  1000\n";

PufferListFile Parse(std::string_view text) {
  PufferListFile list;
  EXPECT_EQ(PufferParseList(text, list), 0);
  return list;
}

std::string RecordPath(const PufferListFile& list, int i) {
  return std::string(list.records.Text(i), static_cast<std::size_t>(list.records.TextLength(i)));
}

TEST(PufferFormat, GoldenLinesRoundTripAndSixtyFourBitWindows1252Names) {
  PufferListFile list;
  list.minus = "*.tmp;*.bak";
  list.hosts[0] = "BUERO-PC";
  list.hosts[2] = "HEIM-PC";
  PufferAddRecord(list.records, "Angebot.txt", {0, 0x8EB6BC2A, 0x65E19CBE, 15});
  PufferAddRecord(list.records, "Angebot.txt", {2, 0x8EB6BB2A, 0x65DE1198, 15});
  PufferAddRecord(list.records, "Bilder\\Team_2024.jpg", {0, 0x14D53BD3, 0x65DF6D98, 0x194});
  PufferAddRecord(list.records, "Notizen.txt", {0, 0x00636261, 0x65E70940, 3});
  EXPECT_EQ(PufferFormatList(list, true), kGolden);
  const PufferListFile back = Parse(kGolden);
  EXPECT_TRUE(back.Whole());
  EXPECT_EQ(PufferFormatList(back, true), kGolden);

  // Names that all fit Windows-1252 are written so; one beyond it makes the whole list UTF-8.
  PufferListFile big;
  big.hosts[0] = "SRC";
  PufferAddRecord(big.records, "groß\\Übersicht.bin", {0, 9, 0x1'2345'6789LL, 5ull << 30});
  const std::string text = PufferFormatList(big, true);
  EXPECT_NE(text.find("0\t0x140000000 0x123456789 0x00000009\t\"gro\xDF\\\xDC"
                      "bersicht.bin\"\n"),
            std::string::npos)
      << text;
  const PufferListFile bigBack = Parse(text);
  EXPECT_EQ(PufferGetRecord(bigBack.records, 0).size, 5ull << 30);
  EXPECT_EQ(RecordPath(bigBack, 0), "groß\\Übersicht.bin");
  PufferAddRecord(big.records, "Łódź.txt", {0, 1, 1, 1});
  EXPECT_NE(PufferFormatList(big, true).find("\t\"groß\\Übersicht.bin\"\n"), std::string::npos);
}

TEST(PufferFormat, ReadingRules) {
  // No SIZE line, two-digit numbers, unknown lines, CR before LF, "/" separators, a long path.
  const std::string longName(2000, 'n');
  const PufferListFile list = Parse(
      "PLUS  \"*.txt\"\r\nHOST0 \"A\"\nHOST10 \"X\"\nhost1 \"Y\"\nKOMMENTAR irgendwas\n\n"
      "12\t0x1 0x1 0x1\t\"zwei.txt\"\n0\t0x1 0x2 0x3\t\"a/b/c.txt\"\r\n1\t5 0d6 0b111\t\"" +
      longName + "\"\nEND 2\n");
  EXPECT_TRUE(list.Whole());
  EXPECT_EQ(list.plus, "*.txt");
  EXPECT_EQ(list.room, kPufferDefaultRoom);
  EXPECT_EQ(list.hosts[1], "");
  ASSERT_EQ(list.records.Count(), 2);
  EXPECT_EQ(RecordPath(list, 0), "a\\b\\c.txt");
  EXPECT_EQ(RecordPath(list, 1), longName);
  EXPECT_EQ(PufferGetRecord(list.records, 1).checksum, 7u);

  EXPECT_EQ(Parse("SIZE  0\n").room, kPufferDefaultRoom);  // a room of 0 would never carry anything
  EXPECT_EQ(Parse("SIZE  0x100\n").room, 256u);
  EXPECT_TRUE(Parse("SIZE  12abc\n").headerDamaged);
  u64 v = 0;
  EXPECT_TRUE(PufferParseNumber("0o17", v) && v == 15);
  EXPECT_TRUE(PufferParseNumber("0xFFFFFFFFFFFFFFFF", v) && v == ~0ull);
  for (const char* bad : {"", "0x", "12x", "-1", "0x10000000000000000", "18446744073709551616"})
    EXPECT_FALSE(PufferParseNumber(bad, v)) << bad;

  int polls = 0;
  auto stopAtThird = [](void* ctx, int code, const char*) -> int {
    return code == PUFFER_POLL && ++*static_cast<int*>(ctx) == 3;
  };
  PufferListFile stopped;
  EXPECT_EQ(PufferParseList(kGolden, stopped, stopAtThird, &polls), PUFFER_STOPPED);
}

TEST(PufferFormat, BadRecordsAreRejectedAndTheListIsNotWhole) {
  const char* bad[] = {
      "\"..\\outside.txt\"", "\"a\\..\\..\\x\"", "\"/etc/passwd\"", "\"\\\\server\\x\"",
      "\"C:\\x.txt\"",       "\"a\\\\b\"",       "\"a\\.\\b\"",     "\"\"",
      "\"offen.txt",         "\"a\\\"b\"",       "ohne.txt",        "\"a.txt\" mehr",
      "\"tab\tname\"",       "\"a/\"",           "\"c:x\"",
  };
  std::vector<std::string> lines;
  for (const char* path : bad) lines.push_back(std::string("0\t0x1 0x1 0x1\t") + path);
  for (const char* fields : {"0x1 0x1 0x0", "0x1 0xZZ 0x1", "0x1 0x1", "0x1 0x1 0x100000000"})
    lines.push_back(std::string("0\t") + fields + "\t\"x.txt\"");
  for (const std::string& line : lines) {
    const PufferListFile list =
        Parse(std::string(kHead) + "0\t0x1 0x1 0x1\t\"gut.txt\"\n" + line + "\nEND 2\n");
    EXPECT_FALSE(list.Whole()) << line;
    EXPECT_EQ(list.rejected.size(), 1u) << line;
    ASSERT_EQ(list.records.Count(), 1) << line;
  }
}

TEST(PufferFormat, OnlyAListEndingInItsCountedEndIsWhole) {
  const std::string text = kGolden;
  for (std::size_t n = 0; n < text.size(); ++n) EXPECT_FALSE(Parse(text.substr(0, n)).Whole()) << n;
  std::string wrong = text;
  wrong.replace(wrong.find("END 4"), 5, "END 3");
  EXPECT_FALSE(Parse(wrong).Whole());
  EXPECT_FALSE(Parse(text + "0\t0x1 0x1 0x1\t\"spaet.txt\"\n").Whole());
  EXPECT_FALSE(Parse(std::string(kHead) + "END\n").Whole());
  EXPECT_FALSE(Parse(std::string(kHead) + "END 0\nEND 0\n").Whole());
  EXPECT_TRUE(Parse(std::string(kHead) + "END 0\n\n").Whole());
}

TEST(PufferChecksum, KnownValuesAndFilesThatCannotBeRead) {
  kpwtest::TempDir dir;
  PufferList engine("pc");
  const std::string f = dir / "f";
  const std::pair<std::string, u32> cases[] = {
      {"abc", 0x636261u}, {std::string("\1\0\0\0", 4), 32u}, {"", 1u}};
  for (const auto& [data, sum] : cases) {
    kpwtest::WriteFile(f, data);
    EXPECT_EQ(engine.Checksum(f.c_str()), sum) << data.size();
  }
  // A file past the reader's 1 MiB block, against the value data/checksum_oracle.py gives.
  std::string data((1u << 20) + 3, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7919 + (i >> 11));
  kpwtest::WriteFile(f, data);
  EXPECT_EQ(engine.Checksum(f.c_str()), 0x0DAFFEF4u);

  EXPECT_EQ(engine.Checksum(dir.path().c_str()), 0u);
  ::mkfifo((dir / "pipe").c_str(), 0600);  // would block a reader forever
  {
    const kpwtest::Deadline deadline("the check sum of a pipe");
    EXPECT_EQ(engine.Checksum((dir / "pipe").c_str()), 0u);
  }
  PufferTestSetFault([](const char*, int op) { return op == PUFFER_FAULT_READ ? EIO : 0; });
  EXPECT_EQ(engine.Checksum(f.c_str()), 0u);
  PufferTestSetFault(nullptr);
}

}  // namespace
