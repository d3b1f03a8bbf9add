// A ctlcomm:// URL without a port reaches port 9200, on the first connect and when the link is made again.
#include "lib/text/enc.h"
#include "platform/last_error.h"
#include "remote/connect_url.h"
#include "tests/support/ctl_simulator.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

namespace {

using namespace kpwtest;

TEST(CtlDefaultPort, AHostWithoutAPortIsPort9200ForConnectAndReconnect) {
  CtlClientFolder(kCtlClientFolder.c_str());
  TempDir dir("ctl-9200");
  // Another run's controller may still be letting the port go.
  std::unique_ptr<CtlSimulator> sim;
  for (int i = 0; i < 50 && !(sim && sim->Ok()); ++i) {
    if (i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    sim = std::make_unique<CtlSimulator>(dir / "root", "utf8", 9200);
  }
  if (!sim->Ok()) GTEST_SKIP() << "port 9200 is taken by another program";
  ASSERT_EQ(sim->Port(), 9200);
  auto c = ConnectUrl("127.0.0.1", "", "", 0, URL_KIND_CTLCOMM | u32{URL_CONNECT_RECONNECT}, "", nullptr);
  const char data[] = "nine";
  ASSERT_TRUE(c->UploadMemory("f", data, 4, 0, 0));
  EXPECT_EQ(ReadFile(sim->Local("/f")), "nine");
  // The reconnect names the host alone: the library's default port is the same.
  ASSERT_TRUE(sim->Command("SIM DROP"));
  EXPECT_TRUE(c->Mkdir("after"));
  EXPECT_TRUE(std::filesystem::is_directory(sim->Local("/after")));
  std::string url;
  ASSERT_TRUE(c->GetUrlPath(url));
  EXPECT_EQ(url, "ctlcomm://127.0.0.1/");
}

}  // namespace
