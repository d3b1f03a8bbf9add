// Helpers of the copy workers: source splitting, real-path tests, exclusion, progress, questions.
#include "jobs/workers/copy_support.h"

#include "jobs/exclude_list.h"
#include "jobs/job_extra.h"
#include "jobs/progress/progress_dlg.h"
#include "lib/system/sys.h"
#include "lib/system/sys_ospath.h"
#include "lib/text/fmt.h"
#include "lib/text/str.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <cstring>
#include <memory>
#include <vector>

namespace copyjob {

namespace {

// The real path of an existing path, or nullopt.
std::optional<std::string> RealPath(const std::string& path) {
  const SysOsPath os(path.c_str());
  if (!os.ok()) return std::nullopt;
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(os.c_str(), nullptr), &std::free);
  if (!real) return std::nullopt;
  return std::string(real.get());
}

}  // namespace

SourceSplit SplitSource(const std::string& source) {
  SourceSplit split;
  std::string root = source;
  int nameLength = 0;
  const char* name = SysPathName(static_cast<int>(root.size()), root.c_str(), &nameLength);
  bool wholeFolder = nameLength == 0;
  if (!wholeFolder && !std::strpbrk(name, "*?")) wholeFolder = SysFileExist(root.c_str()) >= 2;
  if (wholeFolder) {
    if (!root.empty() && root.back() != '/') root += '/';
  } else {
    split.pattern.assign(name, static_cast<std::size_t>(nameLength));
    root.resize(root.size() - static_cast<std::size_t>(nameLength));
  }
  split.root = root.empty() ? std::string("./") : root;
  return split;
}

bool NameMatchesPattern(const std::string& pattern, const char* name, int length) {
  return pattern.empty() ||
         StrMatchPatternA(pattern.c_str(), static_cast<int>(pattern.size()), name, length, STR_MATCH_STARDOT) == 0;
}

std::optional<std::string> RelativeInside(const std::string& outer, const std::string& inner) {
  const auto realOuter = RealPath(outer);
  const auto realInner = RealPath(inner);
  if (!realOuter || !realInner) return std::nullopt;
  if (*realOuter == *realInner) return std::string();
  if (*realOuter == "/") return realInner->substr(1);
  if (realInner->size() > realOuter->size() && realInner->compare(0, realOuter->size(), *realOuter) == 0 &&
      (*realInner)[realOuter->size()] == '/')
    return realInner->substr(realOuter->size() + 1);
  return std::nullopt;
}

bool IsBelowAny(std::string_view rel, const std::vector<std::string>& sortedFolders, std::string* which) {
  if (sortedFolders.empty()) return false;
  for (std::size_t end = rel.find('/'); end != std::string_view::npos; end = rel.find('/', end + 1)) {
    const std::string_view head = rel.substr(0, end);
    if (std::binary_search(sortedFolders.begin(), sortedFolders.end(), head)) {
      if (which) which->assign(head);
      return true;
    }
  }
  return false;
}

bool IsFolderOrLink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode));
}

bool IsAtOrBelow(const std::string& rel, const std::string& prefix) {
  if (prefix.empty()) return true;
  return rel.size() >= prefix.size() && rel.compare(0, prefix.size(), prefix) == 0 &&
         (rel.size() == prefix.size() || rel[prefix.size()] == '/');
}

std::string FolderPart(const char* rel, int length, bool isFolder) {
  if (isFolder) return std::string(rel, static_cast<std::size_t>(length));
  const int dir = SysPathDirLen(length, rel);
  return std::string(rel, static_cast<std::size_t>(dir > 0 ? dir - 1 : 0));
}

bool IsExcluded(CExcludeList& list, const std::string& folderPart) {
  if (list.Count() == 0 || folderPart.empty()) return false;
  return ExcludeListCacheMatch(list, folderPart.c_str()) ||
         ExcludeListMatch(list, folderPart.c_str(), static_cast<int>(folderPart.size()));
}

u64 SourceKey(std::string_view rel, bool isFolder) {
  // A 64-bit hash: a collision could only keep a surplus file, never delete one.
  return (static_cast<u64>(std::hash<std::string_view>{}(rel)) << 1) | (isFolder ? 1u : 0u);
}

bool HasSourceKey(const CopyOutcome& outcome, std::string_view rel, bool isFolder) {
  return std::binary_search(outcome.sourceKeys.begin(), outcome.sourceKeys.end(), SourceKey(rel, isFolder));
}

bool PathsUsable(JobContext& ctx, const JobArgs& args) {
  for (const char* path : {args.source, args.target}) {
    const SysOsPath os(path);
    if (os.ok()) continue;
    LocalAsk(ctx, args.flags, FmtString(kPathRefused, path) + LocalLastErrorNote(), kBoxNote);
    return false;
  }
  return true;
}

std::optional<CopyRowPaths> StartCopyRow(JobContext& ctx, const JobArgs& args, int* result) {
  const char* rest = args.extra ? args.extra : "";
  *result = JOB_DONE;
  if (!HostListMatch(&rest, ctx.env.hostName)) return std::nullopt;
  *result = JOB_FAILED;
  if (!args.source || !*args.source || !args.target || !*args.target) return std::nullopt;
  if (!PathsUsable(ctx, args)) return std::nullopt;
  CopyRowPaths paths{args.source, args.target};
  *result = JOB_DONE;
  if (ExcludeListBuild(ctx.run.ExcludeList(), rest, EXCLUDE_TARGET_SIGN) && SysFileExist(paths.target.c_str()) == 0)
    return std::nullopt;
  return paths;
}

// ---- ProgressPass -----------------------------------------------------------------------------------

ProgressPass::ProgressPass(JobContext& ctx, const std::string& line0, u64 total)
    : m_ctx(ctx), m_dialog(ctx.run.ActiveDialog()) {
  ProgressRecord& record = ctx.run.Progress();
  record.Reset();
  record.kind.store(PROGRESS_KIND_BYTES);
  if (m_dialog) {
    ctx.run.InstallProgressTimer(m_dialog);
    m_dialog->SetLine(nullptr, line0.c_str(), 0);
    m_dialog->SetTotal(static_cast<i64>(total > static_cast<u64>(INT64_MAX) ? INT64_MAX : total));
    m_dialog->SetPos(0);
  }
}

ProgressPass::~ProgressPass() {
  if (m_dialog) m_dialog->SetTimerCallback(CProgressDlg::TimerFn(), 0);
  m_ctx.run.Progress().kind.store(PROGRESS_KIND_BYTES);
}

bool ProgressPass::Stopped() {
  const bool cancelled = LocalCancelled(m_ctx);
  if (m_dialog) {
    m_dialog->SetPos(static_cast<i64>(m_position > static_cast<u64>(INT64_MAX) ? INT64_MAX : m_position));
  }
  return cancelled;
}

void ProgressPass::Advance(u64 bytes) {
  m_position += bytes;
  m_ctx.run.Progress().bytesBefore.store(m_position);
}

void ProgressPass::Lines(const std::string& line0, const std::string& line1) {
  if (!m_dialog) return;
  m_dialog->SetLine(nullptr, line0.c_str(), 0);
  m_dialog->SetLine(nullptr, line1.c_str(), 1);
}

void ProgressPass::BeginFile(u64 size) {
  ProgressRecord& record = m_ctx.run.Progress();
  record.bytesBefore.store(m_position);
  record.fileSize.store(size);
  record.bytes.store(0);
  record.kind.store(PROGRESS_KIND_COPY);
}

void ProgressPass::EndFile(u64 size) {
  ProgressRecord& record = m_ctx.run.Progress();
  record.kind.store(PROGRESS_KIND_BYTES);
  Advance(size);
}

}  // namespace copyjob
