// The special-settings texts: the dialogs' forms, and what the workers read from what they write.
#include "app/settings_forms.h"

#include "jobs/job_extra.h"
#include "jobs/workers/kopiwart_rules.h"
#include "jobs/workers/local_workers.h"
#include "jobs/workers/puffer_cell.h"
#include "jobs/workers/shrink_rules.h"
#include "jobs/workers/zip_worker.h"
#include "lib/text/str.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace kpw::settings;
using Strings = std::vector<std::string>;

// ---- what each worker reads from a cell, as one comparable text

std::string Head(std::string_view cell) {
  const JobExtraHead head = ExtraHeadParse(cell);
  std::ostringstream out;
  out << "host=" << (head.hostRestricted ? "[" + head.host + "]" : "-") << " sign=" << head.targetMustExist
      << " folders=";
  for (const std::string& f : head.excludedFolders) out << f << "|";
  return out.str();
}

std::string Folders(std::string_view list) {
  Strings folders;
  ExtraExcludedFolders(list, folders);
  std::string out;
  for (const std::string& f : folders) out += f + "|";
  return out;
}

std::string CopyMeaning(std::string_view cell) { return Head(cell); }

std::string SynchMeaning(std::string_view cell) {
  const SynchExtra extra = SynchParseExtra(cell);
  return std::string(extra.hostRestricted ? "[" + extra.host + "]" : "-") + (extra.quietWhenMissing ? " *" : "");
}

std::string PufferMeaning(std::string_view cell) {
  const PufferCell c = PufferSplitExtra(cell);
  return c.host + " " + (c.roomValid ? std::to_string(c.room) : "invalid");
}

std::string ZipMeaning(std::string_view cell) {
  const ZipExtra extra = ZipSplitExtra(cell);
  std::string folder;
  const bool ok = ZipArchiveFolder(extra.folder, folder);
  return (ok ? folder : "<refused>") + " / " + Folders(extra.excluded);
}

std::string ShrinkMeaning(std::string_view cell) {
  const ShrinkExtra extra = ShrinkParseExtra(cell);
  std::ostringstream out;
  for (const i64 s : extra.zones.spacing) out << s << ",";
  out << " / ";
  for (const i64 t : extra.zones.threshold) out << t << ",";
  return out.str() + " " + Head(cell.substr(extra.restOffset));
}

std::string KopiwartMeaning(std::string_view cell) {
  const KopiwartExtra extra = KopiwartParseExtra(cell);
  std::ostringstream out;
  for (const KopiwartPair& p : extra.pairs) out << p.size << ":" << p.value << ",";
  return out.str() + " " + Head(cell.substr(extra.restOffset));
}

// The excluded-folder list of "Ftp", "Update" (with its head) and of unpacking (the whole cell).
std::string ListMeaning(std::string_view cell) { return Head(cell) + " / " + Folders(cell); }

// Which names a filter cell selects, matched as the directory listing matches its lists.
std::string FilterMeaning(std::string_view cell) {
  static const char* const names[] = {"a.obj", "b.PDB", "c.cpp", "x.tmp", "readme", "sub", ".hidden"};
  std::string out;
  const std::string list(cell);
  for (const char* name : names)
    out += StrMatchPatternListA(name, -1, list.c_str(), STR_MATCH_NOCASE | STR_MATCH_STARDOT, ';') > 0 ? "1" : "0";
  return out;
}

struct Mode {
  const char* name;
  std::function<std::string(std::string_view)> roundTrip;  // an untouched OK
  std::function<std::string(std::string_view)> meaning;
};

const std::vector<Mode>& Modes() {
  static const std::vector<Mode> modes = {
      {"Copy", [](std::string_view c) { return WriteCopyForm(ReadCopyForm(c)); }, CopyMeaning},
      {"Synch", [](std::string_view c) { return WriteSynchForm(ReadSynchForm(c)); }, SynchMeaning},
      {"Puffer", [](std::string_view c) { return WritePufferForm(ReadPufferForm(c)); }, PufferMeaning},
      {"Zip", [](std::string_view c) { return WriteZipForm(ReadZipForm(c)); }, ZipMeaning},
      {"Shrink", [](std::string_view c) { return WriteShrinkForm(ReadShrinkForm(c, false)); }, ShrinkMeaning},
      {"Kopiwart", [](std::string_view c) { return WriteShrinkForm(ReadShrinkForm(c, true)); }, KopiwartMeaning},
      {"Subdir", [](std::string_view c) { return WriteListForm(ReadListForm(c)); }, ListMeaning},
      {"Filter", [](std::string_view c) { return WriteListForm(ReadListForm(c)); }, FilterMeaning},
  };
  return modes;
}

const char* const kCorpus[] = {
    "", ";;a", "*[h];*;a", "*", "*;", "*;a", "*abc;x", "*[h", "*[h;a", "*[h]*;a", "a;;b;", "\\Tmp ;/x/", "7",
    "5", "5,3", "7,28,28,84,84,365,365", "0,30,64", "0x1C,3;*;y", "1, 2 ,3;*[pc];a;b", ":", "h", "h:0x10",
    " h : 12 ", "h:12x", "sub;a", ";a", "sub", "0,30,64,4;*[h];tmp", "64,4,256", "a/../b;c", "*.obj;*.PDB;",
    "*[h];x;y", "9,8,7,6,5,4,3,2,1,0,11",
};

TEST(SettingsForms, AnUntouchedOkKeepsWhatEveryWorkerReadsAndASecondOkChangesNothing) {
  for (const Mode& mode : Modes()) {
    for (const char* cell : kCorpus) {
      const std::string written = mode.roundTrip(cell);
      EXPECT_EQ(mode.meaning(written), mode.meaning(cell)) << mode.name << " on \"" << cell << "\" wrote \"" << written << "\"";
      EXPECT_EQ(mode.roundTrip(written), written) << mode.name << " on \"" << cell << "\"";
    }
  }
}

TEST(SettingsForms, TheCanonicalFormsComeBackByteForByte) {
  struct Case {
    const char* mode;
    const char* cell;
  };
  const Case same[] = {{"Copy", "*[host];a;b"}, {"Copy", "*;a"},      {"Copy", "a;b"},
                       {"Copy", "*[h];*;a"},    {"Synch", "*[h]"},    {"Synch", "*"},
                       {"Puffer", "h:1000"},    {"Puffer", ":"},      {"Zip", "sub;a;b"},
                       {"Zip", ";a"},           {"Zip", "sub"},       {"Shrink", "7,28,28,84,84,365,365"},
                       {"Shrink", "5"},         {"Kopiwart", "0,30,64,4;*[h];tmp"},
                       {"Kopiwart", "0,30,64"}, {"Subdir", "*[h];a"}, {"Filter", "*.exe;*.obj"}};
  for (const Case& c : same) {
    for (const Mode& mode : Modes())
      if (std::string(mode.name) == c.mode) {
        EXPECT_EQ(mode.roundTrip(c.cell), c.cell) << c.mode;
      }
  }
}

TEST(SettingsForms, EdgeCasesOfTheDialogs) {
  // The copy dialog: host, two lines, back unchanged; the target sign given up.
  CopyForm copy = ReadCopyForm("*[host];a;b");
  EXPECT_EQ(copy.when, EXTRA_WHEN_HOST);
  EXPECT_EQ(copy.host, "host");
  EXPECT_EQ(copy.folders, (Strings{"a", "b"}));
  EXPECT_EQ(WriteCopyForm(copy), "*[host];a;b");
  copy = ReadCopyForm("*;a");
  EXPECT_EQ(copy.when, EXTRA_WHEN_TARGET_EXISTS);
  EXPECT_EQ(copy.folders, (Strings{"a"}));
  copy.when = EXTRA_WHEN_ALWAYS;
  EXPECT_EQ(WriteCopyForm(copy), "a");

  // The synch dialog keeps the host restriction alone.
  EXPECT_EQ(WriteSynchForm(ReadSynchForm("*[h];x;y")), "*[h]");

  // The buffer dialog.
  PufferForm puffer = ReadPufferForm("h:1000");
  EXPECT_EQ(puffer.host, "h");
  EXPECT_EQ(puffer.size, "1000");
  puffer = ReadPufferForm("h");
  EXPECT_EQ(puffer.size, "");
  EXPECT_EQ(WritePufferForm(puffer), "h:");
  EXPECT_EQ(WritePufferForm({}), ":");

  // The size form shows the pairs, the 0 marked, and writes them back.
  const ShrinkForm sizes = ReadShrinkForm("0,30,64,4;*[h];tmp", true);
  EXPECT_EQ(sizes.pairs, (std::vector<PairLine>{{"0  <DEL>", "30"}, {"64", "4"}}));
  EXPECT_EQ(sizes.when, EXTRA_WHEN_HOST);
  EXPECT_EQ(sizes.host, "h");
  EXPECT_EQ(sizes.folders, (Strings{"tmp"}));
  EXPECT_EQ(WriteShrinkForm(sizes), "0,30,64,4;*[h];tmp");
  EXPECT_EQ(ReadShrinkForm("0,7", false).pairs, (std::vector<PairLine>{{"0", "7"}}));

  // The zip dialog.
  ZipForm zip = ReadZipForm(";a");
  EXPECT_EQ(zip.subfolder, "");
  EXPECT_EQ(zip.folders, (Strings{"a"}));
  zip = ReadZipForm("sub");
  EXPECT_EQ(zip.subfolder, "sub");
  EXPECT_TRUE(zip.folders.empty());

  // Long lists and long pieces go through whole (a cell holds 1283 characters).
  std::string list;
  for (int i = 0; list.size() < 1200; ++i) list += (list.empty() ? "" : ";") + std::string("ordner_") + std::to_string(i);
  EXPECT_EQ(WriteCopyForm(ReadCopyForm(list)), list);
  EXPECT_EQ(WriteListForm(ReadListForm(list)), list);
  const std::string piece(700, 'p');
  EXPECT_EQ(WriteZipForm(ReadZipForm(piece + ";" + piece)), piece + ";" + piece);
}

TEST(SettingsForms, EachFieldGivesTheMeaningTheWorkerExpects) {
  EXPECT_EQ(CopyMeaning(WriteCopyForm({EXTRA_WHEN_HOST, "pc", {"/Tmp ", "a\\B"}})),
            "host=[pc] sign=0 folders=tmp|a/b|");
  EXPECT_EQ(CopyMeaning(WriteCopyForm({EXTRA_WHEN_TARGET_EXISTS, "pc", {"x"}})), "host=- sign=1 folders=x|");
  // A line "*" chosen with "Immer kopieren" stays a folder.
  EXPECT_EQ(CopyMeaning(WriteCopyForm({EXTRA_WHEN_ALWAYS, "", {"*", "x"}})), "host=- sign=0 folders=*|x|");
  EXPECT_EQ(SynchMeaning(WriteSynchForm({EXTRA_WHEN_HOST, "pc", false})), "[pc]");
  EXPECT_EQ(SynchMeaning(WriteSynchForm({EXTRA_WHEN_TARGET_EXISTS, "pc", false})), "- *");
  EXPECT_EQ(SynchMeaning(WriteSynchForm({EXTRA_WHEN_ALWAYS, "pc", true})), "-");
  EXPECT_EQ(PufferMeaning(WritePufferForm({"pc", "2000"})), "pc 2000");
  EXPECT_EQ(ZipMeaning(WriteZipForm({"sub\\dir", {"Tmp", "", "x/"}})), "sub/dir / tmp|x/|");
  EXPECT_EQ(ShrinkMeaning(WriteShrinkForm({{{"3", "14"}, {"28", ""}}, EXTRA_WHEN_HOST, "pc", {"tmp"}})),
            ShrinkMeaning("3,14,28;*[pc];tmp"));
  // A pair whose count was left empty in the middle counts 0.
  EXPECT_EQ(WriteShrinkForm({{{"3", ""}, {"28", "5"}}, EXTRA_WHEN_ALWAYS, "", {}}), "3,0,28,5");
  EXPECT_EQ(KopiwartMeaning(WriteShrinkForm({{{"0  <DEL>", "10"}, {"100", "5"}, {"", "7"}}, EXTRA_WHEN_TARGET_EXISTS, "", {"bak"}})),
            "0:10,100:5, host=- sign=1 folders=bak|");
  EXPECT_EQ(FilterMeaning(WriteListForm({"*.obj", "", "*.pdb"})), "1100000");
}

TEST(SettingsForms, MarksAndOrderOfPairs) {
  EXPECT_EQ(MarkPairFirst("0", true), "0  <DEL>");
  EXPECT_EQ(MarkPairFirst("00", true), "00  <DEL>");
  EXPECT_EQ(MarkPairFirst("0 <del>", true), "0 <del>");
  EXPECT_EQ(MarkPairFirst("10", true), "10");
  EXPECT_EQ(MarkPairFirst("x", true), "x");
  EXPECT_EQ(MarkPairFirst("0", false), "0");
  EXPECT_LT(ComparePairFirst("0  <DEL>", "64"), 0);
  EXPECT_GT(ComparePairFirst("2147483647", "-2147483648"), 0);  // no difference that overflows
  EXPECT_EQ(ComparePairFirst("0x10", "16"), 0);
}

TEST(SettingsForms, RefusalsOfWhatTheWorkersWouldReadOtherwise) {
  const std::string limit(1283, 'a');
  EXPECT_FALSE(CheckCellLength(limit, ""));
  const std::optional<std::string> tooLong = CheckCellLength(limit + "b", "");
  ASSERT_TRUE(tooLong);
  EXPECT_EQ(*tooLong, "Die Einstellungen sind 1284 Zeichen lang; ein Feld fasst höchstens 1283 Zeichen !");
  EXPECT_FALSE(CheckCellLength(limit + "b", limit + "b"));  // a long cell left as it was
  std::string umlauts;
  for (int i = 0; i < 1283; ++i) umlauts += "ä";
  EXPECT_FALSE(CheckCellLength(umlauts, ""));  // characters count, not bytes

  const std::optional<std::string> semicolon = CheckChars("pc;x", ";]", "");
  ASSERT_TRUE(semicolon);
  EXPECT_EQ(*semicolon, "Das Zeichen \";\" ist in diesem Feld nicht erlaubt !");
  EXPECT_TRUE(CheckChars("pc]", ";]", ""));
  EXPECT_FALSE(CheckChars("pc", ";]", ""));
  EXPECT_FALSE(CheckChars("h;x", ";]", "h;x"));

  EXPECT_EQ(CheckRoom("12x", "").value_or(""), "Die Größe des Zwischenpuffers ist keine Zahl !");
  EXPECT_FALSE(CheckRoom(" 0x10 ", ""));
  EXPECT_FALSE(CheckRoom("", ""));
  EXPECT_FALSE(CheckRoom("12x", "12x"));

  EXPECT_EQ(CheckPairCell("abc").value_or(""), "\"abc\" ist keine ganze Zahl !");
  EXPECT_FALSE(CheckPairCell("0  <DEL>"));
  EXPECT_FALSE(CheckPairCell(" -3"));
  EXPECT_FALSE(CheckPairCell(""));
}

}  // namespace
