// Calls handed to the main thread from workers, blocking and queued, with a watchdog.
#include "platform/gui/main_thread.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <thread>

namespace {

// Pumps the main loop until done is set or 10 s have passed.
bool PumpUntil(const std::atomic<bool>& done) {
  QElapsedTimer watchdog;
  watchdog.start();
  while (!done && watchdog.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  return done;
}

TEST(MainThread, AWorkersCallRunsOnTheMainThreadAndReturnsAfterIt) {
  EXPECT_TRUE(IsMainThread());
  std::atomic<bool> done{false};
  bool ranOnMain = false;
  bool workerSawMain = true;
  std::thread worker([&] {
    workerSawMain = IsMainThread();
    CallOnMainThread([&] { ranOnMain = IsMainThread(); });
    done = true;  // only after the call has run
  });
  ASSERT_TRUE(PumpUntil(done));
  worker.join();
  EXPECT_FALSE(workerSawMain);
  EXPECT_TRUE(ranOnMain);

  // On the main thread itself the call runs at once; a posted one waits for the loop.
  int order = 0;
  CallOnMainThread([&] { order = 1; });
  EXPECT_EQ(order, 1);
  std::atomic<bool> posted{false};
  PostToMainThread([&] { posted = true; });
  EXPECT_FALSE(posted);
  EXPECT_TRUE(PumpUntil(posted));
}

}  // namespace
