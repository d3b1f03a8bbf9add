// Exchanges between a source and two destinations through one carrier, over several rounds.
#include "puffer_test_util.h"
#include "tests/support/test_env.h"

#include <sys/wait.h>

#include <ctime>

using namespace puffertest;

namespace {

class PufferExchange : public PufferWorld {
 protected:
  struct Call {
    int code;
    std::string text;
  };
  // A callback that records every call and answers "stop" at the call stopAt (counted from 1)
  // or at the first call of stopCode.
  struct Recorder {
    std::vector<Call> calls;
    int stopAt = 0;
    int stopCode = -1;
    static int Fn(void* ctx, int code, const char* text) {
      auto* self = static_cast<Recorder*>(ctx);
      self->calls.push_back({code, text});
      return (self->stopAt && static_cast<int>(self->calls.size()) == self->stopAt) || code == self->stopCode;
    }
  };

  ino_t ListInode() {
    struct stat st {};
    ::stat(list.c_str(), &st);
    return st.st_ino;
  }
  PufferListFile ReadList() {
    PufferListFile file;
    PufferParseList(ReadFile(list), file);
    return file;
  }
};

}  // namespace

TEST_F(PufferExchange, TwoDestinationsConvergeThroughOneCarrier) {
  WriteFile(src + "/Angebot.txt", "Angebot 2024", 1709284542);
  WriteFile(src + "/Bilder/Team.jpg", std::string(3000, 'T'));
  WriteFile(src + "/Bilder/tief/logo.png", std::string(700, 'L'));
  WriteFile(src + "/leer.txt", "");
  WriteFile(src + "/Notizen.txt", "abc");
  PufferReport report;
  EXPECT_EQ(Source(0, &report), 0);  // the list is made; no destination lacks anything yet
  EXPECT_TRUE(Tree(buffer).empty());
  EXPECT_EQ(D1(&report), 0);
  EXPECT_EQ(report.slot, 1);
  EXPECT_EQ(D2(&report), 0);
  EXPECT_EQ(report.slot, 2);
  EXPECT_EQ(Source(), 5);
  EXPECT_EQ(Tree(buffer), Tree(src));
  EXPECT_EQ(D1(), 5);
  EXPECT_EQ(D2(), 5);
  EXPECT_EQ(Tree(d1), Tree(src));
  EXPECT_EQ(Tree(d2), Tree(src));
  EXPECT_EQ(Source(), 0);
  EXPECT_TRUE(Tree(buffer).empty());
  EXPECT_FALSE(Exists(buffer + "/Bilder"));  // emptied folders go too
  EXPECT_TRUE(Exists(buffer));

  struct stat st {};
  ASSERT_EQ(::stat((d1 + "/Angebot.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1709284542);  // copies keep the time, so the next scan need not read them

  const PufferListFile file = ReadList();
  EXPECT_TRUE(file.Whole());
  EXPECT_EQ(file.hosts[0], "buero-pc");
  EXPECT_EQ(file.hosts[1], "laptop");
  EXPECT_EQ(file.hosts[2], "heim-pc");
  EXPECT_EQ(file.records.Count(), 15);

  // Nothing changed: nothing is copied and the list is not written again.
  const std::string text = ReadFile(list);
  const ino_t inode = ListInode();
  EXPECT_EQ(Source(), 0);
  EXPECT_EQ(D1(), 0);
  EXPECT_EQ(D2(), 0);
  EXPECT_EQ(ReadFile(list), text);
  EXPECT_EQ(ListInode(), inode);
}

TEST_F(PufferExchange, ChangesDeletionsRenamesAndDestinationEdits) {
  WriteFile(src + "/a.txt", "eins", 1000000000);
  WriteFile(src + "/sub/b.txt", "zwei", 1000000000);
  WriteFile(src + "/sub/c.txt", "drei", 1000000000);
  Converge();
  ASSERT_EQ(Tree(d1), Tree(src));

  WriteFile(src + "/a.txt", "eins, geändert", 1000000100);
  WriteFile(src + "/sub/b.txt", "ZWEI", 1000000200);  // same size, other contents
  fs::remove(src + "/sub/c.txt");
  fs::rename(src + "/sub", src + "/neu");
  WriteFile(src + "/leer/datei", "");
  WriteFile(d1 + "/a.txt", "lokal bearbeitet", 1000000300);  // the source wins
  WriteFile(d2 + "/nur-hier.txt", "nur auf D2");              // the source does not list it
  Converge();
  EXPECT_EQ(Tree(d1), Tree(src));
  EXPECT_EQ(Tree(d2), Tree(src));
  EXPECT_EQ(ReadFile(d1 + "/a.txt"), "eins, geändert");
  EXPECT_FALSE(Exists(d2 + "/nur-hier.txt"));
  EXPECT_EQ(Source(), 0);
  EXPECT_TRUE(Tree(buffer).empty());
}

TEST_F(PufferExchange, ARoomThatIsTooSmallCarriesOverSeveralRounds) {
  WriteFile(src + "/a", std::string(2000, 'a'));
  WriteFile(src + "/b", std::string(2000, 'b'));
  WriteFile(src + "/c", std::string(500, 'c'));
  WriteFile(src + "/huge", std::string(5000, 'h'));  // never fits
  ASSERT_EQ(Source(3000), 0);
  ASSERT_EQ(D1(), 0);
  EXPECT_EQ(Source(), 2);  // a, then b does not fit, c does
  EXPECT_EQ(Tree(buffer).size(), 2u);
  for (int round = 0; round < 4; ++round) {
    EXPECT_LE(TreeBytes(buffer), 3000u);
    EXPECT_FALSE(Exists(buffer + "/huge"));
    ASSERT_GE(D1(), 0);
    ASSERT_GE(Source(), 0);
  }
  auto expected = Tree(src);
  expected.erase("huge");
  EXPECT_EQ(Tree(d1), expected);
  EXPECT_EQ(ReadList().room, 3000u);

  // A buffer that holds more than a room written smaller meanwhile takes nothing more.
  WriteFile(src + "/x", std::string(2000, 'x'));
  ASSERT_EQ(Source(), 1);
  std::string text = ReadFile(list);
  text.replace(text.find("SIZE  3000"), 10, "SIZE  1000");
  WriteFile(list, text);
  WriteFile(src + "/y", "y");
  EXPECT_EQ(Source(), 0);
  EXPECT_FALSE(Exists(buffer + "/y"));
  ASSERT_EQ(D1(), 1);
  EXPECT_EQ(Source(), 1);
  EXPECT_TRUE(Exists(buffer + "/y"));
}

TEST_F(PufferExchange, AStaleBufferCopyNeverOverwritesANewerVersion) {
  WriteFile(src + "/x.txt", "version 1", 1000000000);
  ASSERT_EQ(Source(), 0);
  ASSERT_EQ(D1(), 0);
  ASSERT_EQ(D2(), 0);
  ASSERT_EQ(Source(), 1);
  ASSERT_EQ(D1(), 1);  // D2 stays away while the source changes the file twice
  WriteFile(src + "/x.txt", "version 2!", 1000000100);
  ASSERT_EQ(Source(), 1);
  EXPECT_EQ(ReadFile(buffer + "/x.txt"), "version 2!");
  ASSERT_EQ(D1(), 1);
  WriteFile(src + "/x.txt", "version 3", 1000000200);  // the size of version 1
  ASSERT_EQ(Source(), 1);
  EXPECT_EQ(D2(), 1);
  EXPECT_EQ(ReadFile(d2 + "/x.txt"), "version 3");

  // A buffer copy that is not what the list says is refused, dropped and sent again.
  WriteFile(src + "/x.txt", "version 4", 1000000300);
  ASSERT_EQ(Source(), 1);
  WriteFile(buffer + "/x.txt", "VERSION 4", 1000000300);
  PufferReport report;
  EXPECT_EQ(D1(&report), 0);
  EXPECT_TRUE(report.Failed());
  EXPECT_EQ(ReadFile(d1 + "/x.txt"), "version 2!");
  EXPECT_FALSE(Exists(buffer + "/x.txt"));
  EXPECT_EQ(Source(), 1);
  EXPECT_EQ(D1(), 1);
  EXPECT_EQ(ReadFile(d1 + "/x.txt"), "version 4");
}

TEST_F(PufferExchange, TakeoverByAnotherSourceIsReportedAndLetterCaseIsNoTakeover) {
  WriteFile(src + "/a.txt", "a");
  Converge();
  PufferReport report;
  ASSERT_GE(Source(0, &report), 0);
  EXPECT_FALSE(report.tookOver);  // "BUERO-PC" in the cell, "buero-pc" in the list

  WriteFile(d1 + "/eigen.txt", "von LAPTOP");
  kpwtest::TestEnv().hostName = "laptop";
  PufferList engine(kpwtest::TestEnv().hostName);
  EXPECT_EQ(engine.Exchange(list.c_str(), d1.c_str(), "LAPTOP", 0), 0);
  EXPECT_TRUE(engine.Report().tookOver);
  EXPECT_EQ(engine.Report().formerSource, "buero-pc");
  EXPECT_FALSE(engine.Report().Text().empty());
  const PufferListFile file = ReadList();
  EXPECT_EQ(file.hosts[0], "laptop");
  EXPECT_EQ(file.hosts[1], "");
  EXPECT_EQ(file.records.Count(), 2);
  EXPECT_TRUE(file.Whole());
}

TEST_F(PufferExchange, RegistrationNeedsAFreeSlotAndCanBeRequired) {
  WriteFile(src + "/a.txt", "a");
  ASSERT_EQ(Source(), 0);
  const std::string text = ReadFile(list);
  kpwtest::TestEnv().hostName = "laptop";
  PufferList engine(kpwtest::TestEnv().hostName);
  EXPECT_EQ(engine.Exchange(list.c_str(), d1.c_str(), "laptop", 1), PUFFER_NOT_REGISTERED);
  EXPECT_EQ(ReadFile(list), text);

  std::string full = "PLUS  \"\"\nMINUS \"\"\nHOST0 \"buero-pc\"\n";
  for (int k = 1; k < 10; ++k) full += "HOST" + std::to_string(k) + " \"pc" + std::to_string(k) + "\"\n";
  full += "SIZE  1000\nEND 0\n";
  WriteFile(list, full);
  EXPECT_EQ(engine.Exchange(list.c_str(), d1.c_str(), nullptr, 0), PUFFER_FAILED);
  EXPECT_TRUE(engine.Report().Failed());
  EXPECT_EQ(ReadFile(list), full);
}

TEST_F(PufferExchange, StoppingLeavesTheListAsItWasAndEveryDeletionCanBeStopped) {
  WriteFile(src + "/a.txt", "a");
  WriteFile(src + "/b.txt", "b");
  Converge();
  WriteFile(src + "/c.txt", "c");
  fs::remove(src + "/a.txt");
  const std::string text = ReadFile(list);
  Recorder stopper;
  stopper.stopAt = 12;
  kpwtest::TestEnv().hostName = "buero-pc";
  PufferList engine(kpwtest::TestEnv().hostName);
  engine.SetProgress(&stopper, &Recorder::Fn);
  EXPECT_EQ(engine.Exchange(list.c_str(), src.c_str(), "buero-pc", 0), PUFFER_STOPPED);
  EXPECT_EQ(ReadFile(list), text);

  ASSERT_GE(Source(), 0);
  const std::string deleted = d1 + "/a.txt";
  Recorder noDelete;
  noDelete.stopCode = PUFFER_DELETE;
  kpwtest::TestEnv().hostName = "laptop";
  PufferList dest(kpwtest::TestEnv().hostName);
  dest.SetProgress(&noDelete, &Recorder::Fn);
  const std::string before = ReadFile(list);
  EXPECT_EQ(dest.Exchange(list.c_str(), d1.c_str(), "laptop", 1), PUFFER_STOPPED);
  EXPECT_TRUE(Exists(deleted));
  EXPECT_EQ(ReadFile(list), before);
  ASSERT_FALSE(noDelete.calls.empty());
  EXPECT_EQ(noDelete.calls.back().code, PUFFER_DELETE);
  EXPECT_EQ(noDelete.calls.back().text, deleted);
  EXPECT_EQ(noDelete.calls.front().code, PUFFER_PHASE);
  EXPECT_EQ(noDelete.calls.front().text, "Öffne die Liste.");

  Recorder all;
  dest.SetProgress(&all, &Recorder::Fn);
  EXPECT_EQ(dest.Exchange(list.c_str(), d1.c_str(), "laptop", 1), 1);
  EXPECT_FALSE(Exists(deleted));
  EXPECT_EQ(dest.Report().deleted, 1);
  bool copyReported = false;
  for (const Call& c : all.calls) copyReported |= c.code == PUFFER_COPY && c.text == d1 + "/c.txt";
  EXPECT_TRUE(copyReported);
}

TEST_F(PufferExchange, ALockKeepsASecondComputerOutUntilItIsStale) {
  WriteFile(src + "/a.txt", "a");
  ASSERT_EQ(Source(), 0);
  const std::string lock = list + ".lock";
  const long long now = std::time(nullptr);
  WriteFile(lock, "heim-pc 4242 " + std::to_string(now) + "\n");
  PufferReport report;
  EXPECT_EQ(D1(&report), PUFFER_FAILED);
  EXPECT_NE(report.Text().find("heim-pc"), std::string::npos);
  EXPECT_TRUE(Exists(lock));

  WriteFile(lock, "heim-pc 4242 " + std::to_string(now - 13 * 3600) + "\n");  // twelve hours are over
  EXPECT_EQ(D1(), 0);
  EXPECT_FALSE(Exists(lock));

  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);  // a process of this host that is gone
  WriteFile(lock, "buero-pc " + std::to_string(child) + " " + std::to_string(now) + "\n");
  EXPECT_EQ(Source(), 1);
  EXPECT_FALSE(Exists(lock));
}

TEST_F(PufferExchange, AListOrBufferInsideTheDataFolderIsRefused) {
  WriteFile(src + "/a.txt", "a");
  kpwtest::TestEnv().hostName = "buero-pc";
  PufferList engine(kpwtest::TestEnv().hostName);
  EXPECT_EQ(engine.Save((src + "/Docs.ssy").c_str(), src.c_str(), "", "", 0), PUFFER_FAILED);
  EXPECT_EQ(engine.Save((src + "/sub/Docs.ssy").c_str(), src.c_str(), "", "", 0), PUFFER_FAILED);
  fs::create_directories(buffer + "/data");
  EXPECT_EQ(engine.Save(list.c_str(), (buffer + "/data").c_str(), "", "", 0), PUFFER_FAILED);
  fs::remove_all(buffer);
  // A buffer folder that is a link would let the engine delete and write elsewhere.
  WriteFile(d2 + "/fremd.txt", "bleibt");
  fs::create_directory_symlink(d2, buffer);
  EXPECT_EQ(engine.Save(list.c_str(), src.c_str(), "", "", 0), PUFFER_FAILED);
  EXPECT_EQ(ReadFile(d2 + "/fremd.txt"), "bleibt");
  EXPECT_FALSE(Exists(list));
}
