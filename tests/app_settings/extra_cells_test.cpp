// The workers' readers of the extra cell and the writers beside them: what is written reads back the same.
#include "jobs/job_extra.h"
#include "jobs/workers/kopiwart_rules.h"
#include "jobs/workers/local_workers.h"
#include "jobs/workers/puffer_cell.h"
#include "jobs/workers/shrink_rules.h"
#include "jobs/workers/zip_worker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

TEST(ExtraHeadFormat, EveryFormReadsBackWithItsHostSignAndFolders) {
  struct Case {
    int when;
    const char* host;
    Strings folders;
    const char* text;
    bool restricted, sign;
    Strings read;
  };
  const Case cases[] = {
      {EXTRA_WHEN_ALWAYS, "", {}, "", false, false, {}},
      {EXTRA_WHEN_TARGET_EXISTS, "", {}, "*", false, true, {}},
      {EXTRA_WHEN_HOST, "pc", {}, "*[pc]", true, false, {}},
      {EXTRA_WHEN_ALWAYS, "x", {"Tmp", "", "\\a\\B "}, "Tmp;\\a\\B ", false, false, {"tmp", "a/b"}},
      {EXTRA_WHEN_TARGET_EXISTS, "", {"x"}, "*;x", false, true, {"x"}},
      {EXTRA_WHEN_HOST, "pc", {"a", "b"}, "*[pc];a;b", true, false, {"a", "b"}},
      // A "*" behind the host is the sign again: the dialogs show it as a line and keep it there.
      {EXTRA_WHEN_HOST, "pc", {"*", "a"}, "*[pc];*;a", true, true, {"a"}},
      // A first folder that would read as a head keeps its ";" and stays a folder.
      {EXTRA_WHEN_ALWAYS, "", {"*", "a"}, ";*;a", false, false, {"*", "a"}},
      {EXTRA_WHEN_ALWAYS, "", {"*"}, ";*", false, false, {"*"}},
      {EXTRA_WHEN_ALWAYS, "", {"*[y]", "a"}, ";*[y];a", false, false, {"*[y]", "a"}},
      {EXTRA_WHEN_ALWAYS, "", {"*x"}, "*x", false, false, {"*x"}},
      {EXTRA_WHEN_TARGET_EXISTS, "", {"*"}, "*;*", false, true, {"*"}},
  };
  for (const Case& c : cases) {
    const std::string text = ExtraHeadFormat(c.when, c.host, c.folders);
    EXPECT_EQ(text, c.text);
    const JobExtraHead head = ExtraHeadParse(text);
    EXPECT_EQ(head.hostRestricted, c.restricted) << text;
    if (c.restricted) {
      EXPECT_EQ(head.host, c.host) << text;
    }
    EXPECT_EQ(head.targetMustExist, c.sign) << text;
    EXPECT_EQ(head.excludedFolders, c.read) << text;
  }
  EXPECT_EQ(ExtraListFormat({"", "*.obj", "", "*.pdb", ""}), "*.obj;*.pdb");
}

TEST(ZipExtra, TheFolderInsideTheArchiveAndTheExcludedFoldersReadBack) {
  const std::string text = ZipFormatExtra("Sicherung\\2026", {"Tmp", "", "bin/Debug"});
  EXPECT_EQ(text, "Sicherung\\2026;Tmp;bin/Debug");
  const ZipExtra extra = ZipSplitExtra(text);
  std::string folder;
  ASSERT_TRUE(ZipArchiveFolder(extra.folder, folder));
  EXPECT_EQ(folder, "Sicherung/2026");
  Strings excluded;
  ExtraExcludedFolders(extra.excluded, excluded);
  EXPECT_EQ(excluded, (Strings{"tmp", "bin/debug"}));

  EXPECT_EQ(ZipFormatExtra("", {"a"}), ";a");
  EXPECT_EQ(ZipSplitExtra(";a").folder, "");
  EXPECT_EQ(ZipSplitExtra(";a").excluded, "a");
  EXPECT_EQ(ZipSplitExtra("sub").folder, "sub");
  EXPECT_EQ(ZipSplitExtra("sub").excluded, "");
  EXPECT_FALSE(ZipArchiveFolder("a/../b", folder));
}

TEST(PufferCellText, HostAndRoomReadBackAndARoomThatIsNoNumberIsFlagged) {
  EXPECT_EQ(PufferFormatExtra("pc", "1000"), "pc:1000");
  PufferCell cell = PufferSplitExtra("pc:1000");
  EXPECT_EQ(cell.host, "pc");
  EXPECT_EQ(cell.room, 1000u);
  cell = PufferSplitExtra(PufferFormatExtra(" pc ", " 0x10 "));
  EXPECT_EQ(cell.host, "pc");
  EXPECT_TRUE(cell.roomValid);
  EXPECT_EQ(cell.room, 16u);
  cell = PufferSplitExtra(PufferFormatExtra("", ""));
  EXPECT_EQ(cell.host, "");
  EXPECT_TRUE(cell.roomValid);
  EXPECT_EQ(cell.room, 0u);
  EXPECT_FALSE(PufferSplitExtra("pc:12x").roomValid);
  EXPECT_EQ(PufferSplitExtra("pc").host, "pc");
}

TEST(NumberList, EveryNumberIsKeptAndTheWriterReadsBack) {
  const ExtraNumbers list = ExtraParseNumbers(" 7, 0x1C ,,-3 ;*[pc];a");
  EXPECT_EQ(list.numbers, (std::vector<i64>{7, 28, -3}));
  EXPECT_EQ(std::string(" 7, 0x1C ,,-3 ;*[pc];a").substr(list.restOffset), "*[pc];a");
  EXPECT_EQ(ExtraFormatNumbers(list.numbers), "7,28,-3");
  EXPECT_EQ(ExtraParseNumbers(ExtraFormatNumbers(list.numbers)).numbers, list.numbers);
  EXPECT_EQ(ExtraParseNumbers(";a").numbers.size(), 0u);
  EXPECT_EQ(ExtraParseNumbers(";a").restOffset, 1u);
  // "Shrink" takes nine of them.
  const ShrinkExtra shrink = ShrinkParseExtra("1,2,3,4,5,6,7,8,9,10,11;x");
  EXPECT_EQ(shrink.zones.spacing.size(), 5u);
  EXPECT_EQ(shrink.restOffset, 24u);
}

TEST(KopiwartExtra, PairsFollowTheDefaultsTheFirstZeroAndTheLimits) {
  using P = std::vector<KopiwartPair>;
  EXPECT_EQ(KopiwartParseExtra("").pairs, (P{{0, 30}, {64, 4}, {256, 3}, {1024, 2}, {4096, 1}}));
  KopiwartExtra extra = KopiwartParseExtra("0,30,64,4;*[h];tmp");
  EXPECT_EQ(extra.pairs, (P{{0, 30}, {64, 4}}));
  EXPECT_EQ(std::string("0,30,64,4;*[h];tmp").substr(extra.restOffset), "*[h];tmp");
  EXPECT_EQ(KopiwartParseExtra("64,4").pairs, (P{{0, 30}, {64, 4}}));
  // Sizes never fall, counts stay within 1..9, a size without its count keeps one copy.
  EXPECT_EQ(KopiwartParseExtra("0,10,100,12,50,0").pairs, (P{{0, 10}, {100, 9}, {100, 1}}));
  EXPECT_EQ(KopiwartParseExtra("0,30,64").pairs, (P{{0, 30}, {64, 1}}));
  // Sixteen numbers at most; a list without the leading 0 keeps seven pairs behind (0, 30).
  std::string many;
  for (int i = 1; i <= 20; ++i) many += std::to_string(i * 10) + ",";
  extra = KopiwartParseExtra(many);
  ASSERT_EQ(extra.pairs.size(), 8u);
  EXPECT_EQ(extra.pairs[0], (KopiwartPair{0, 30}));
  EXPECT_EQ(extra.pairs[7], (KopiwartPair{130, 9}));
}

TEST(SynchExtra, HostThenALeadingStar) {
  SynchExtra extra = SynchParseExtra("*[pc];*;a");
  EXPECT_TRUE(extra.hostRestricted);
  EXPECT_EQ(extra.host, "pc");
  EXPECT_TRUE(extra.quietWhenMissing);
  extra = SynchParseExtra("*[pc];x;y");
  EXPECT_TRUE(extra.hostRestricted);
  EXPECT_FALSE(extra.quietWhenMissing);
  extra = SynchParseExtra("*abc");
  EXPECT_FALSE(extra.hostRestricted);
  EXPECT_TRUE(extra.quietWhenMissing);
  EXPECT_FALSE(SynchParseExtra("x").quietWhenMissing);
}

}  // namespace
