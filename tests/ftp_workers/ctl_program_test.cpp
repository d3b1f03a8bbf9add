// "Ftp" rows with a controller (ctlcomm://) as target and as source, run by the program unattended.
#include "tests/support/ctl_simulator.h"
#include "tests/support/job_program.h"
#include "tests/support/run_rig.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

namespace {

using namespace kpwtest;

TEST(CtlProgram, RowsToAndFromAControllerWithTheLibraryOnTheProgramsRunPath) {
  TempDir dir("ctl-program");
  CtlSimulator sim(dir / "root");
  ASSERT_TRUE(sim.Ok());
  Put(dir / "up/a.txt", "A");
  Put(dir / "up/sub/ä.txt", "B");
  Put(sim.Local("/out/surplus.txt"), "S");
  Put(sim.Local("/in/c.txt"), "C");
  Put(sim.Local("/in/deep/d.txt"), "D");
  const std::string controller = "ctlcomm://plc@127.0.0.1:" + std::to_string(sim.Port());
  const std::string job = dir / "ctl.kpw";
  WriteJobRows(job, {
                        JobRow(dir / "up", controller + "/out", "", "", "", "/FTP_DEL"),
                        JobRow(controller + "/in", dir / "down", "", "", "", "/FTP"),
                        // The controller needs no password, but the row names its user.
                        JobRow(dir / "up", "ctlcomm://127.0.0.1:" + std::to_string(sim.Port()) + "/x", "", "",
                               "", "/FTP"),
                    });
  const ProgramRun run = RunJobFile(job);
  EXPECT_EQ(run.status, 1) << run.errors;
  EXPECT_EQ(Contents(sim.Local("/out")), "a.txt=A sub/ä.txt=B");
  EXPECT_EQ(Contents(dir / "down"), "c.txt=C deep/d.txt=D");
  EXPECT_EQ(run.errors, "Kopiwart: Falscher User-Namen\n");
}

}  // namespace
