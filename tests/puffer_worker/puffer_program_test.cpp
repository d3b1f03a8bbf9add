// Puffer rows through the program: one machine plays three computers by KPW_HOSTNAME, which the
// program's test build reads.
#include "puffer_worker_util.h"

#include <sys/wait.h>

#include <cstdlib>

namespace pufferworker {
namespace {

// The test build of the program: KPW_HOSTNAME names its computer.
const std::string kProgram = KPW_BUILD_DIR "/tests/support/kopiwart-test";

class PufferProgramTest : public PufferWorkerTest {
 protected:
  struct Result {
    int status;
    std::string err;
  };
  // "kopiwart <job> -S -A -N" as host, with a row for target, and a private settings folder.
  Result Run(const char* host, const std::string& target) {
    const std::string job = root + "/" + host + ".kpw";
    Write(job, "[EINTRAG]\n\tQ:" + list + "\n\tZ:" + target + "\n\tX:BUERO-PC:0\n\t/UNTER\n\t/BUFFER\n");
    const std::string err = root + "/stderr";
    const std::string command = "cd '" + root + "' && env -u DISPLAY -u WAYLAND_DISPLAY HOME='" + root +
                                "' XDG_CONFIG_HOME='" + root + "/config' KPW_HOSTNAME=" + host + " '" +
                                kProgram + "' '" + job + "' -S -A -N 2>'" + err + "'";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Read(err)};
  }
};

TEST_F(PufferProgramTest, ASourceAndTwoDestinationsConverge) {
  if (::access(kProgram.c_str(), X_OK) != 0) GTEST_SKIP() << "the program is not built: " << kProgram;
  Write(src + "/a.txt", "alpha");
  Write(src + "/sub/b.txt", "beta");
  Write(src + "/gone.txt", "soon gone");
  Write(src + "/K\xC3\xA4se.txt", "cheese");  // Käse: the list is then written in Windows-1252
  Result r = Run("buero-pc", src);
  if (!fs::exists(list) && r.err.find("nicht verfügbar") != std::string::npos)
    GTEST_SKIP() << "the program does not run Puffer rows yet: " << r.err;
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(fs::exists(list)) << r.err;
  EXPECT_NE(Read(list).find("\"K\xE4se.txt\""), std::string::npos);

  // Unattended, a new destination is not entered: the row fails and says why.
  const std::string before = Read(list);
  r = Run("laptop", d1);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Der Host laptop ist noch nicht in der Kopiwart-Liste"), std::string::npos) << r.err;
  EXPECT_EQ(Read(list), before);

  // Entered once with a question, then unattended from there on.
  Answer({IDYES, IDYES});
  ASSERT_EQ(D1(), JOB_DONE);
  ASSERT_EQ(D2(), JOB_DONE);
  for (int round = 0; round < 2; ++round) {
    if (round == 1) fs::remove(src + "/gone.txt");
    for (const auto& [host, target] : {std::pair{"buero-pc", src}, {"laptop", d1}, {"heim-pc", d2}}) {
      r = Run(host, target);
      ASSERT_EQ(r.status, 0) << host << ": " << r.err;
    }
    EXPECT_EQ(Tree(d1), Tree(src)) << "round " << round;
    EXPECT_EQ(Tree(d2), Tree(src)) << "round " << round;
  }
  EXPECT_FALSE(fs::exists(d1 + "/gone.txt"));
  EXPECT_EQ(boxes.size(), 2u);
}

}  // namespace
}  // namespace pufferworker
