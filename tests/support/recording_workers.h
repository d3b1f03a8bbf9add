// A worker table for tests: every mode records the seven arguments it got and answers as told.
#pragma once

#include "jobs/worker.h"

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct RecordedCall {
  int mode = -1;
  std::string source, target, plus, minus, extra;
  int subdirs = 0;
  u32 flags = 0;
  std::thread::id thread;
  bool archiveOpen = false;  // the shared archive was open when the worker began
};

// What a worker does besides recording; returns its result.
using WorkerAction = std::function<int(JobContext&, const JobArgs&)>;

class RecordingWorkers {
 public:
  RecordingWorkers();
  ~RecordingWorkers();
  RecordingWorkers(const RecordingWorkers&) = delete;
  RecordingWorkers& operator=(const RecordingWorkers&) = delete;

  // Results (or actions) for the next calls, in order; without one a worker returns 0.
  void QueueResult(int result);
  void QueueAction(WorkerAction action);
  std::vector<RecordedCall> Calls() const;
  // Called by the table's functions.
  int Call(int mode, JobContext& ctx, const JobArgs& args);

 private:
  mutable std::mutex m_mutex;
  std::vector<RecordedCall> m_calls;
  std::deque<WorkerAction> m_actions;
};
