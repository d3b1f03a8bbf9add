// Opens, saves and clears a job file through the document and the job list, timing each step.
// Usage: kpw_list_bench FILE OUT   (prints "open", "save" and "clear" lines: seconds and rows)
#include "app/headless_host.h"
#include "app/kopiwart_doc.h"
#include "app/kopiwart_view.h"
#include "jobs/run_host.h"
#include "lib/text/fmt.h"

#include <chrono>

namespace {

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    FmtFprintfA(stderr, "usage: %s FILE OUT\n", argv[0]);
    return 2;
  }
  HeadlessRunHost host;
  CKopiwartView view(host);
  CKopiwartDoc doc(host);
  doc.SetView(&view);

  auto start = std::chrono::steady_clock::now();
  if (!doc.OnOpenDocument(argv[1])) return 1;
  FmtFprintfA(stdout, "open  %.3f %lld\n", Since(start), static_cast<long long>(view.GetInfo(0)));

  start = std::chrono::steady_clock::now();
  if (!doc.OnSaveDocument(argv[2])) return 1;
  FmtFprintfA(stdout, "save  %.3f\n", Since(start));

  start = std::chrono::steady_clock::now();
  doc.OnNewDocument();
  FmtFprintfA(stdout, "clear %.3f %lld\n", Since(start), static_cast<long long>(view.GetInfo(0)));
  return 0;
}
