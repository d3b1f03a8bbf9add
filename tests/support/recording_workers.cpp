// A worker table for tests: every mode records the seven arguments it got and answers as told.
#include "tests/support/recording_workers.h"
#include "jobs/job_model.h"
#include "jobs/progress/run_state.h"
#include "tests/support/test_env.h"

#include <utility>

namespace {

RecordingWorkers* g_current = nullptr;

template <int M>
int Record(JobContext& ctx, const JobArgs& args) {
  return g_current ? g_current->Call(M, ctx, args) : JOB_FAILED;
}

template <std::size_t... I>
constexpr JobWorkerTable MakeTable(std::index_sequence<I...>) {
  return JobWorkerTable{&Record<static_cast<int>(I)>...};
}

const JobWorkerTable kRecordingTable = MakeTable(std::make_index_sequence<JOB_MODE_COUNT>{});

}  // namespace

RecordingWorkers::RecordingWorkers() {
  g_current = this;
  kpwtest::TestEnv().workers = &kRecordingTable;
}

RecordingWorkers::~RecordingWorkers() {
  kpwtest::TestEnv().workers = nullptr;
  g_current = nullptr;
}

void RecordingWorkers::QueueResult(int result) {
  QueueAction([result](JobContext&, const JobArgs&) { return result; });
}

void RecordingWorkers::QueueAction(WorkerAction action) {
  std::lock_guard lock(m_mutex);
  m_actions.push_back(std::move(action));
}

std::vector<RecordedCall> RecordingWorkers::Calls() const {
  std::lock_guard lock(m_mutex);
  return m_calls;
}

int RecordingWorkers::Call(int mode, JobContext& ctx, const JobArgs& args) {
  WorkerAction action;
  {
    std::lock_guard lock(m_mutex);
    RecordedCall call;
    call.mode = mode;
    call.source = args.source;
    call.target = args.target;
    call.plus = args.plus;
    call.minus = args.minus;
    call.subdirs = args.subdirs;
    call.extra = args.extra;
    call.flags = args.flags;
    call.thread = std::this_thread::get_id();
    call.archiveOpen = ctx.run.SharedArchive().IsOpen();
    m_calls.push_back(std::move(call));
    if (!m_actions.empty()) {
      action = std::move(m_actions.front());
      m_actions.pop_front();
    }
  }
  return action ? action(ctx, args) : JOB_DONE;
}
