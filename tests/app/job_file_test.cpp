// Job-file reader and writer: golden files, round trips, lenient forms, schedule lines, the model's words.
#include "app/job_file.h"

#include "lib/text/enc.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

namespace {

std::string ReadData(const std::string& name) {
  return kpwtest::ReadFile(std::string(KPW_TEST_DATA) + "/" + name);
}

std::vector<JobEntry> Entries(const JobFileContent& c) {
  std::vector<JobEntry> out;
  for (const auto& r : c.rows) out.push_back(JobFileRowToEntry(r));
  return out;
}

std::string Umlauts(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += "\xC3\xA4";  // ä
  return s;
}

TEST(JobFileGolden, LineEndsAndEncodingsReadAlikeAndAreWrittenBackByteForByte) {
  const std::string bytes = ReadData("crlf.kpw");
  const JobFileContent crlf = JobFileParse(bytes);
  ASSERT_EQ(crlf.rows.size(), 3u);
  const JobFileRow& first = crlf.rows[0];
  EXPECT_EQ(first.source + "|" + first.target + "|" + first.plus + "|" + first.minus + "|" + first.extra,
            "/home/anna/Dokumente|/media/stick/Sicherung|*.txt;*.odt|*.tmp|*[PC1];*;alt");
  EXPECT_EQ(crlf.rows[2].mode, JOB_MODE_DEL);  // kept without a target
  EXPECT_EQ(crlf.schedule, (JobSchedule{0x8002, 3, 0x6553F100}));
  EXPECT_EQ(JobFileFormat(Entries(crlf), crlf.schedule), bytes);
  for (const char* name : {"lf.kpw", "cr.kpw"}) {  // a lone CR ends a line too
    const JobFileContent other = JobFileParse(ReadData(name));
    EXPECT_EQ(other.rows, crlf.rows) << name;
    EXPECT_EQ(JobFileFormat(Entries(other), other.schedule), bytes) << name;
  }
  // Windows-1252 read as such, and its UTF-8 form alike; the writer gives the Windows-1252 file back.
  const JobFileContent c = JobFileParse(ReadData("cp1252.kpw"));
  ASSERT_EQ(c.rows.size(), 1u);
  EXPECT_EQ(c.rows[0].target,
            "/media/Gr\xC3\xB6\xC3\x9F"
            "e \xE2\x82\xAC");
  EXPECT_EQ(c.rows[0].extra, Umlauts(1283));
  const JobFileContent u = JobFileParse(ReadData("utf8.kpw"));
  EXPECT_EQ(u.rows, c.rows);
  EXPECT_EQ(JobFileFormat(Entries(u), u.schedule), ReadData("cp1252.kpw"));
  // A cell outside Windows-1252 makes the whole file UTF-8.
  std::vector<JobEntry> entries = Entries(c);
  entries[0].Cell(JOB_COL_PLUS) = "*.\xC5\x81";  // Ł
  const std::string utf8 = JobFileFormat(entries, c.schedule);
  EXPECT_TRUE(EncIsValidUtf8(utf8));
  EXPECT_EQ(Entries(JobFileParse(utf8)), entries);
}

TEST(JobFileWrite, ExactBytes) {
  JobEntry e;
  e.Cell(JOB_COL_SOURCE) = "/a";
  e.Cell(JOB_COL_TARGET) = "/b";
  e.Cell(JOB_COL_MODE) = "zip add";  // the mode cell in other case
  JobEntry f = e;
  f.Cell(JOB_COL_MODE) = "Foo";  // an unknown mode writes no switch
  f.Cell(JOB_COL_SUBDIRS) = "nein";
  EXPECT_EQ(JobFileFormat({e, f}, JobSchedule{0xABCD, -5, 0xF0000000u}),
            "[EINTRAG]\r\n\tQ:/a\r\n\tZ:/b\r\n\t/UNTER\r\n\t/ZIP_ADD\r\n"
            "[EINTRAG]\r\n\tQ:/a\r\n\tZ:/b\r\n"
            "/ZEITPLAN=0xABCD,-5\r\n/LETZTE=0xF0000000\r\n");
}

TEST(JobFileRead, LenientFormsAndWhatIsKept) {
  const JobFileContent c = JobFileParse(
      "\tQ:/before\n\tZ:/t\n"  // rows before the first [EINTRAG] still count
      "[eintrag]\n"
      "\tq:/home/x\n"                 // ':' comes before the path's '/'
      "junk before Z:ftp://h/a b \n"  // leading text before the key; blanks kept
      "\t/zip_add\n"
      "\tK:ignored\n"
      "\tP:\n"  // nothing after the colon: the cell stays
      "no key here\n"
      "[EINTRAG]\n\tQ:/s\n\tZ:/t\n\t/DEL\n\t/MOVE\n\t/UNTER\n"  // the second switch wins
      "[EINTRAG]\n\tQ:/reg.reg\n\t/REG\n"
      "[EINTRAG]\n\tQ:/regadd.reg\n\t/REG_ADD\n"  // dropped without a target, as a row without a source
      "[EINTRAG]\n\tZ:/nosource\n");
  ASSERT_EQ(c.rows.size(), 4u);
  EXPECT_EQ(c.rows[0].source, "/before");
  EXPECT_FALSE(c.rows[0].subdirs);
  EXPECT_EQ(c.rows[1].source, "/home/x");
  EXPECT_EQ(c.rows[1].target, "ftp://h/a b ");
  EXPECT_EQ(c.rows[1].plus, "");
  EXPECT_EQ(c.rows[1].mode, JOB_MODE_ZIP_ADD);
  EXPECT_EQ(c.rows[2].mode, JOB_MODE_MOVE);
  EXPECT_TRUE(c.rows[2].subdirs);  // "/UNTER" after the switch still applies
  EXPECT_EQ(c.rows[3].source, "/reg.reg");
}

TEST(JobFileRead, ScheduleLinesAreResetBeforeReading) {
  EXPECT_EQ(JobFileParse("[EINTRAG]\n\tQ:/a\n\tZ:/b\n").schedule, (JobSchedule{0, 1, 0}));
  // In the middle of a row, lower case, without a comma after one with a comma.
  JobFileContent c = JobFileParse("[EINTRAG]\n\tQ:/a\n/zeitplan=0x2,7\n\tZ:/b\n/ZEITPLAN=0x10002\n");
  EXPECT_EQ(c.schedule, (JobSchedule{0x10002, 7, 0}));
  ASSERT_EQ(c.rows.size(), 1u);
  EXPECT_EQ(c.rows[0].target, "/b");
  // Without a comma and no earlier count: 0. Prefixes, signs, garbage, a missing "/LETZTE=".
  EXPECT_EQ(JobFileParse("/ZEITPLAN=3").schedule, (JobSchedule{3, 0, 0}));
  EXPECT_EQ(JobFileParse("/ZEITPLAN=0d12,0b101").schedule, (JobSchedule{12, 5, 0}));
  EXPECT_EQ(JobFileParse("/ZEITPLAN=0o17, -3").schedule, (JobSchedule{15, -3, 0}));
  EXPECT_EQ(JobFileParse("/ZEITPLAN=zz,x\n/letzte=0x10").schedule, (JobSchedule{0, 0, 16}));
}

TEST(JobFileRead, OverlongLinesAreNeverSplitNorCutAndLineBreaksCannotInjectLines) {
  // The tail of an over-long line must not act as a line of its own, and its value is not cut
  // (a cut path would name another folder).
  const std::string line = "\tQ:/" + std::string(1300, 'a') + "\tZ:/evil";
  const std::string tailSwitch = "\tX:" + std::string(1282, 'b') + "/DEL";
  JobFileContent c = JobFileParse("[EINTRAG]\r\n" + line + "\r\n\tZ:/t\r\n" + tailSwitch + "\r\n");
  ASSERT_EQ(c.rows.size(), 1u);
  EXPECT_EQ(c.rows[0].source, "/" + std::string(1300, 'a') + "\tZ:/evil");
  EXPECT_EQ(c.rows[0].target, "/t");
  EXPECT_EQ(c.rows[0].mode, JOB_MODE_COPY);
  EXPECT_EQ(c.rows[0].extra, std::string(1282, 'b') + "/DEL");
  // Ten megabytes in one cell: read and written back whole, in well under a second.
  const std::string huge = "[EINTRAG]\r\n\tQ:/s\r\n\tZ:/keep/" + std::string(10'000'000, 'x') + "/$(\r\n" +
                           "\t/UNTER\r\n\t/COPY_DEL\r\n/ZEITPLAN=0x0,1\r\n";
  c = JobFileParse(huge);
  ASSERT_EQ(c.rows.size(), 1u);
  EXPECT_EQ(c.rows[0].target.size(), 10'000'009u);
  EXPECT_EQ(JobFileFormat(Entries(c), c.schedule), huge);

  JobEntry e;
  e.Cell(JOB_COL_SOURCE) = "/a\r\n\t/DEL";
  e.Cell(JOB_COL_TARGET) = std::string("/b\n\tQ:/other") + '\0' + "x";
  e.Cell(JOB_COL_MODE) = "Copy";
  c = JobFileParse(JobFileFormat({e}, JobSchedule{}));
  ASSERT_EQ(c.rows.size(), 1u);
  EXPECT_EQ(c.rows[0].mode, JOB_MODE_COPY);
  EXPECT_EQ(c.rows[0].source, "/a  \t/DEL");
  EXPECT_EQ(c.rows[0].target, "/b \tQ:/other x");
}

TEST(JobFileRead, OnlyFilesWithAnEntryOrASwitchLineAndNoNulAreJobFiles) {
  JobEntry row;
  row.Cell(JOB_COL_SOURCE) = "/q";
  row.Cell(JOB_COL_TARGET) = "/z";
  for (const std::string& accepted :
       {std::string(), std::string("[EINTRAG]"), std::string("\xEF\xBB\xBF  /zeitplan=0x0,1\r\n"),
        std::string("\xFF\xFEjunk\n/LETZTE=0x1"), std::string("x\n\t/REG_ADD\n"), std::string("\t/unter"),
        JobFileFormat({}, JobSchedule{}), JobFileFormat({row}, JobSchedule{2, 3, 4}),
        // as written on Windows: CR LF, Windows-1252, keys before the switch line
        std::string("[EINTRAG]\r\n\tQ:C:\\D\xE4ten\r\n\tZ:D:\\Sicherung\r\n\t/COPY_DEL\r\n/ZEITPLAN=0x1,7\r\n")}) {
    EXPECT_TRUE(JobFileAccepted(accepted)) << accepted;
  }
  // Notes and texts that only happen to hold a key and a colon, like this project's README.
  const std::string readme = kpwtest::ReadFile(std::string(KPW_SOURCE_DIR) + "/README.md");
  ASSERT_FALSE(readme.empty());
  for (const std::string& refused :
       {std::string("siehe Q:/daten und Z:/backup\nund dann X:y\n"), std::string("Kommentar\n\tz:/nur/ein/Ziel"),
        readme, std::string("\n"), std::string("Nur Text ohne Schlüssel\r\nK:x\n[ANDERES]\n/NICHTS\nQ:"),
        std::string("[EINTRAG]\n\tQ:/a\n\tZ:/b\n", 18) + std::string(1, '\0'),
        std::string("\xEF\xBB\xBF"), std::string("\x01\x02\x03\xff")}) {
    EXPECT_FALSE(JobFileAccepted(refused)) << refused;
  }
}

TEST(JobFileName, AFileNameWithoutExtensionGetsKpw) {
  EXPECT_EQ(JobFileNameWithExtension("/home/a/liste"), "/home/a/liste.kpw");
  EXPECT_EQ(JobFileNameWithExtension("liste"), "liste.kpw");
  EXPECT_EQ(JobFileNameWithExtension("/home/a.b/liste"), "/home/a.b/liste.kpw");  // the folder's dot
  for (const char* kept : {"/home/a/liste.kpw", "/home/a/liste.txt", "/home/a/liste.", "/home/a/.liste", "/home/a/"})
    EXPECT_EQ(JobFileNameWithExtension(kept), kept);
}

TEST(JobModel, Vocabulary) {
  EXPECT_EQ(JobModeFromName("KOPIWART"), JOB_MODE_KOPIWART);
  EXPECT_EQ(JobModeFindName("Foo"), -1);
  EXPECT_EQ(JobModeFromSwitch("/buffer"), JOB_MODE_PUFFER);
  EXPECT_EQ(JobModeFromSwitch("/DEL "), -1);
  for (const char* cell : {"nein", "NEIN"}) EXPECT_FALSE(JobSubdirsFromCell(cell)) << cell;
  for (const char* cell : {"Ja", "", "x", "Nein "}) EXPECT_TRUE(JobSubdirsFromCell(cell)) << cell;
  EXPECT_EQ(ScheduleIntervalSeconds(SCHED_WEEKS, -2), -1209600);
  EXPECT_EQ(ScheduleNextTime(JobSchedule{SCHED_MONTHS, 1023, 0xFFFFFFFFu}), 0xFFFFFFFFLL + 1023LL * 2592000);
}

TEST(JobModel, EveryModeHasANameAndASwitchWordOfItsOwn) {
  for (int mode = 0; mode < JOB_MODE_COUNT; ++mode) {
    EXPECT_EQ(JobModeFindName(JobModeName(mode)), mode);
    const char* word = JobModeSwitch(mode);
    EXPECT_EQ(word ? JobModeFromSwitch(word) : -1, mode == JOB_MODE_COPY ? -1 : mode) << mode;
  }
  EXPECT_STREQ(JobModeName(JOB_MODE_COUNT), "Copy");
  EXPECT_EQ(JobModeSwitch(-1), nullptr);
}

}  // namespace
