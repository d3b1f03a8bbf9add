// The local adapter on real folders: listings against find(1), links below the folder a worker
// entered, paths that name no local place, attributes and modes, and transfers cut by the
// file-size limit.
#include "lib/text/enc.h"
#include "platform/last_error.h"
#include "remote/connect_url.h"
#include "remote/local/local_connection.h"
#include "remote/url_file_find.h"
#include "tests/support/child.h"
#include "tests/support/files.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace kpwtest;
namespace fs = std::filesystem;

std::unique_ptr<CUrlConnection> Connect(const std::string& start) {
  return ConnectUrl("", "", "", 0, URL_KIND_LOCAL, start.c_str(), nullptr);
}

// name -> record of a ReadDir of folder.
std::map<std::string, WIN32_FIND_DATAA> Read(CUrlConnection& c, const std::string& folder) {
  std::map<std::string, WIN32_FIND_DATAA> out;
  const auto take = [](void* context, const WIN32_FIND_DATAA* e) -> BOOL {
    if (e) (*static_cast<std::map<std::string, WIN32_FIND_DATAA>*>(context))[e->cFileName] = *e;
    return TRUE;
  };
  EXPECT_TRUE(c.ReadDir(folder.c_str(), &out, take, UrlDirFilter{})) << GetLastError();
  return out;
}

// Every name below root, relative and sorted, a blank between; folders end in "/".
std::string Listing(const std::string& root) {
  std::vector<std::string> names;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
    names.push_back(it->path().lexically_relative(root).string() +
                    (it->is_directory() && !it->is_symlink() ? "/" : ""));
  std::sort(names.begin(), names.end());
  std::string all;
  for (const std::string& name : names) all += (all.empty() ? "" : " ") + name;
  return all;
}

// Every file below root as "name=content", sorted, a blank between.
std::string Contents(const std::string& root) {
  std::string all;
  for (const auto& [name, text] : FileContents(root)) all += (all.empty() ? "" : " ") + name + "=" + text;
  return all;
}

mode_t Mode(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st.st_mode & 07777;
}

TEST(LocalAdapter, ListingsAgreeWithFind) {
  TempDir dir("local-find");
  WriteFile(dir / "plain", "12345");
  WriteFile(dir / ".hidden", "h");
  WriteFile(dir / "back\\slash", "b");
  WriteFile(dir /
                "Gr\xC3\xB6\xC3\x9F"
                "e.txt",
            "utf8");
  fs::create_directories(dir / "folder");
  SetMTime(dir / "plain", 1600000000);
  auto c = Connect(dir.path());
  const auto records = Read(*c, "");
  // The oracle: name, size and write time of every entry, as find prints them.
  const std::string oracle =
      Shell("cd " + Quote(dir.path()) + " && find . -mindepth 1 -maxdepth 1 -printf '%f %s %T@\\n' | sort");
  std::string ours;
  std::vector<std::string> lines;
  for (const auto& [name, r] : records) {
    if (name == "." || name == "..") continue;
    const u64 size = (u64{r.nFileSizeHigh} << 32) | r.nFileSizeLow;
    const u64 ticks = FileTimeToU64(r.ftLastWriteTime) - static_cast<u64>(kFileTimeEpochOffset) * 10'000'000;
    char line[512];
    std::snprintf(line, sizeof line, "%s %llu %llu.%07llu", name.c_str(),
                  static_cast<unsigned long long>((r.dwFileAttributes & URL_ATTR_DIRECTORY) ? 0 : size),
                  static_cast<unsigned long long>(ticks / 10'000'000),
                  static_cast<unsigned long long>(ticks % 10'000'000));
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  // find prints folders with their block size and times with nine digits: compare what both say.
  std::vector<std::string> expected;
  std::string text = oracle;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    std::string line = text.substr(at, end - at);
    at = end + 1;
    const std::size_t dot = line.rfind('.');
    line = line.substr(0, std::min(line.size(), dot + 8));
    if (line.starts_with("folder ")) line = "folder 0" + line.substr(line.find(' ', 7));
    expected.push_back(line);
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(records.count("."), 1u);
  EXPECT_EQ(records.at(".hidden").dwFileAttributes, URL_ATTR_HIDDEN);
  EXPECT_EQ(records.at("plain").dwFileAttributes, URL_ATTR_NORMAL);
  EXPECT_EQ(records.at("folder").dwFileAttributes, URL_ATTR_DIRECTORY);
  EXPECT_EQ(records.at("back\\slash").nFileSizeLow, 1u);
}

TEST(LocalAdapter, AttributesOfReadOnlyFilesLinksAndHugeFiles) {
  TempDir dir("local-attr");
  WriteFile(dir / "ro", "r");
  ::chmod((dir / "ro").c_str(), 0444);
  fs::create_directories(dir / "folder");
  WriteFile(dir / "target", "123");
  ASSERT_EQ(::symlink("target", (dir / "filelink").c_str()), 0);
  ASSERT_EQ(::symlink("folder", (dir / "dirlink").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (dir / "dangling").c_str()), 0);
  { std::ofstream((dir / "huge").c_str()); }
  ASSERT_EQ(::truncate((dir / "huge").c_str(), (5ll << 32) + 3), 0);  // sparse: no room taken
  auto c = Connect(dir.path());
  const auto r = Read(*c, dir.path());
  EXPECT_EQ(r.at("ro").dwFileAttributes, URL_ATTR_READONLY);
  EXPECT_EQ(r.at("filelink").dwFileAttributes, URL_ATTR_LINK);
  EXPECT_EQ(r.at("filelink").nFileSizeLow, 3u);  // the target's size
  EXPECT_EQ(r.at("dirlink").dwFileAttributes, URL_ATTR_LINK | URL_ATTR_DIRECTORY);
  EXPECT_EQ(r.at("dangling").dwFileAttributes, URL_ATTR_LINK);
  // Bits 32-37 of the size also in bits 10-15 of the attributes.
  EXPECT_EQ(r.at("huge").nFileSizeHigh, 5u);
  EXPECT_EQ(r.at("huge").nFileSizeLow, 3u);
  EXPECT_EQ(r.at("huge").dwFileAttributes, URL_ATTR_NORMAL | (5u << 10));
  // A mask is the adapter's own, letter case ignored.
  std::vector<std::string> masked;
  const auto take = [](void* context, const WIN32_FIND_DATAA* e) -> BOOL {
    if (e) static_cast<std::vector<std::string>*>(context)->push_back(e->cFileName);
    return TRUE;
  };
  UrlDirFilter filter;
  filter.mask = "*LINK";
  EXPECT_TRUE(c->ReadDir("", &masked, take, filter));
  std::sort(masked.begin(), masked.end());
  EXPECT_EQ(masked, (std::vector<std::string>{"dirlink", "filelink"}));
}

TEST(LocalAdapter, NothingIsWrittenOrDeletedThroughALinkBelowTheFolderEntered) {
  TempDir dir("local-links");
  const std::string base = dir / "base", out = dir / "out";
  WriteFile(out + "/precious", "p");
  fs::create_directories(base);
  ASSERT_EQ(::symlink(out.c_str(), (base + "/link").c_str()), 0);
  WriteFile(out + "/file", "f");
  ASSERT_EQ(::symlink((out + "/file").c_str(), (base + "/filelink").c_str()), 0);
  const mode_t fileMode = Mode(out + "/file");
  auto c = Connect(base);
  const auto refused = [&](bool done, const char* what) {
    EXPECT_FALSE(done) << what;
    EXPECT_NE(GetLastError(), 0u) << what;
  };
  refused(c->UploadMemory("link/new", "x", 1, 0, 0), "upload into");
  refused(c->UploadMemory((base + "/link/precious").c_str(), "x", 1, 0, 0), "overwrite below");
  refused(c->Mkdir("link/dir"), "mkdir below");
  refused(c->Remove("link/precious"), "remove below");
  refused(c->Rmdir("link"), "rmdir of the link");
  refused(c->Rename("link/precious", "stolen"), "rename out of");
  refused(c->SetFileTime("link/precious", FILETIME{1, 1}), "times below");
  refused(c->SetAttributes("link", URL_ATTR_READONLY), "attributes of the link");
  refused(c->SetAttributes("filelink", 0x1FF0000), "mode through a file link");
  refused(c->ChangeDir("link"), "enter");
  refused(c->MakeDirTree((base + "/link/a/b").c_str()), "tree below");
  char buffer[8];
  EXPECT_EQ(c->DownloadMemory("link/precious", buffer, 8, 0, 0, 0), -1);
  CUrlFileFind find(c.get());
  EXPECT_FALSE(find.FindFile((base + "/link").c_str(), 0));
  EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
  EXPECT_EQ(Contents(out), "file=f precious=p");
  EXPECT_EQ(Mode(out + "/file"), fileMode);
  // A file link is read through; writing to its name replaces the link.
  EXPECT_EQ(c->DownloadMemory("filelink", buffer, 8, 0, 0, 0), 1);
  EXPECT_TRUE(c->UploadMemory("filelink", "new", 3, 0, 0));
  EXPECT_EQ(ReadFile(out + "/file"), "f");
  EXPECT_EQ(ReadFile(base + "/filelink"), "new");
  // Removing the link takes the link.
  EXPECT_TRUE(c->Remove("link"));
  EXPECT_EQ(Contents(out), "file=f precious=p");
  // Outside the folder entered, links on the way are followed, as in the cells' paths.
  ASSERT_EQ(::symlink(base.c_str(), (dir / "via").c_str()), 0);
  auto via = Connect(dir / "via");
  EXPECT_TRUE(via->UploadMemory("through", "t", 1, 0, 0));
  EXPECT_EQ(ReadFile(base + "/through"), "t");
}

TEST(LocalAdapter, TreeRemovalTakesLinksAsLinksAlsoWhereLinksAreFollowed) {
  TempDir dir("local-tree");
  WriteFile(dir / "out/precious", "p");
  WriteFile(dir / "tree/sub/f", "f");
  ASSERT_EQ(::symlink((dir / "out").c_str(), (dir / "tree/sub/link").c_str()), 0);
  // No folder entered: paths are taken as written, links on the way followed.
  auto c = ConnectUrl("", "", "", 0, URL_KIND_LOCAL, "", nullptr);
  EXPECT_TRUE(c->RemoveTree((dir / "tree").c_str()));
  EXPECT_EQ(Listing(dir.path()), "out/ out/precious");
}

TEST(LocalAdapter, PathsThatNameNoLocalPlaceTouchNothing) {
  TempDir dir("local-forms");
  auto c = Connect(dir.path());
  EXPECT_FALSE(c->ChangeDir("C:/Daten"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DRIVE);
  EXPECT_FALSE(c->Mkdir("c:x"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DRIVE);
  EXPECT_FALSE(c->UploadMemory("//server/share/x", "x", 1, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_BAD_NETPATH);
  EXPECT_FALSE(c->Mkdir("\\\\server\\share"));
  EXPECT_EQ(GetLastError(), ERROR_BAD_NETPATH);
  EXPECT_TRUE(c->ChangeDir("//"));  // a separator pair is the top
  std::string here;
  EXPECT_TRUE(c->GetCurrentDirString(here));
  EXPECT_EQ(here, "/");
  EXPECT_FALSE(c->Rmdir("/"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(fs::is_empty(dir.path()));
  EXPECT_FALSE(Exists("/server"));
}

TEST(LocalAdapter, ConnectingOpensTheStartFolderAndRecordsOneThatIsMissing) {
  TempDir dir("local-connect");
  fs::create_directories(dir / "start/sub");
  auto c = Connect(dir / "start/sub/..");
  std::string here, url;
  EXPECT_TRUE(c->GetCurrentDirString(here));
  EXPECT_EQ(here, dir / "start");
  EXPECT_TRUE(c->GetUrlPath(url));
  EXPECT_EQ(url, "file://" + dir / "start");
  EXPECT_EQ(c->GetUrlPrefix(), std::string("file://"));
  // Without a start folder: the working folder.
  auto plain = ConnectUrl(nullptr, nullptr, nullptr, 0, URL_KIND_LOCAL, nullptr, nullptr);
  EXPECT_TRUE(plain->GetCurrentDirString(here));
  EXPECT_EQ(here, fs::current_path().string());
  // A start folder that is missing: nothing relative goes to the working folder by mistake.
  auto missing = Connect(dir / "nowhere");
  EXPECT_FALSE(missing->GetCurrentDirString(here));
  EXPECT_FALSE(missing->UploadMemory("stray", "x", 1, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(Exists((fs::current_path() / "stray").string()));
  EXPECT_TRUE(missing->UploadMemory((dir / "start/abs").c_str(), "x", 1, 0, 0));
  EXPECT_TRUE(missing->ChangeDir((dir / "start").c_str()));
  EXPECT_TRUE(missing->UploadMemory("rel", "x", 1, 0, 0));
  EXPECT_EQ(Contents(dir / "start"), "abs=x rel=x");
  char full[256];
  EXPECT_EQ(missing->FullPath("sub/../f", full, sizeof full), static_cast<int>((dir / "start/f").size()));
  EXPECT_EQ(std::string(full), dir / "start/f");
  // Without an engine handle: Open, option 74 and every operation say so by their codes.
  CLocalUrlConnection closed(0, "", nullptr, nullptr, 0, 0, 0);
  EXPECT_FALSE(closed.Open(""));
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NOT_PRESENT);
  WIN32_FIND_DATAA record;
  EXPECT_FALSE(closed.SetOption(URL_OPT_APPLY_FIND, &record, sizeof record, 0));
  EXPECT_EQ(GetLastError(), ERROR_INTERNAL_ERROR);
  EXPECT_FALSE(closed.Mkdir((dir / "x").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(closed.Break());
}

TEST(LocalAdapter, AttributesSetTheOwnerWriteBitAndUnixModes) {
  TempDir dir("local-modes");
  WriteFile(dir / "f", "x");
  ::chmod((dir / "f").c_str(), 0644);
  auto c = Connect(dir.path());
  EXPECT_TRUE(c->SetAttributes("f", URL_ATTR_READONLY | URL_ATTR_HIDDEN));
  EXPECT_EQ(Mode(dir / "f"), 0444u);
  EXPECT_TRUE(c->SetAttributes("f", URL_ATTR_NORMAL));
  EXPECT_EQ(Mode(dir / "f"), 0644u);
  EXPECT_TRUE(c->SetAttributes("f", URL_ATTR_SYSTEM | URL_ATTR_ARCHIVE));  // nothing of these here
  EXPECT_EQ(Mode(dir / "f"), 0644u);
  EXPECT_TRUE(c->SetAttributes("f", 0x1ED0080));  // 0755 over "normal", as uploads of scripts set it
  EXPECT_EQ(Mode(dir / "f"), 0755u);
  EXPECT_TRUE(c->SetAttributes("f", (04750u << 16) | URL_ATTR_READONLY));
  EXPECT_EQ(Mode(dir / "f"), 04550u);
  EXPECT_FALSE(c->SetAttributes("f", 0xFFFFFFFF));
  EXPECT_FALSE(c->SetAttributes("missing", URL_ATTR_NORMAL));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  // A read-only file is not replaced; an upload keeps the mode of the file it replaces.
  ::chmod((dir / "f").c_str(), 0444);
  EXPECT_FALSE(c->UploadMemory("f", "new", 3, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  ::chmod((dir / "f").c_str(), 0640);
  EXPECT_TRUE(c->UploadMemory("f", "new", 3, 0, 0));
  EXPECT_EQ(ReadFile(dir / "f"), "new");
  EXPECT_EQ(Mode(dir / "f"), 0640u);
  // A folder is neither replaced nor removed as a file.
  fs::create_directories(dir / "d");
  EXPECT_FALSE(c->UploadMemory("d", "x", 1, 0, 0));
  EXPECT_FALSE(c->Remove("d"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(fs::is_directory(dir / "d"));
}

// Each transfer into an existing target, in a child whose file-size limit cuts it.
TEST(LocalAdapter, TransfersCutByTheFileSizeLimitKeepTheOldTarget) {
  TempDir dir("local-fsize");
  const std::string big(512 * 1024, 'n');
  WriteFile(dir / "source", big);
  fs::create_directories(dir / "remote");
  for (const std::string name : {"up", "proc", "down"}) WriteFile(dir / ("remote/" + name), "old");
  WriteFile(dir / "local", "old");
  const int status = RunChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{128 * 1024, 128 * 1024};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 77;
    auto c = Connect(dir / "remote");
    if (c->UploadFile((dir / "source").c_str(), "up", 0, 0)) return 1;
    if (GetLastError() != ERROR_FILE_TOO_LARGE) return 2;
    if (c->UploadMemory("proc", big.data(), static_cast<int>(big.size()), 0, 0)) return 3;
    if (GetLastError() != ERROR_FILE_TOO_LARGE) return 4;
    if (c->UploadMemory("fresh", big.data(), static_cast<int>(big.size()), 0, 0)) return 5;
    return 0;
  });
  ASSERT_EQ(status, 0);
  EXPECT_EQ(ReadFile(dir / "remote/up"), "old");
  EXPECT_EQ(ReadFile(dir / "remote/proc"), "old");
  EXPECT_FALSE(Exists(dir / "remote/fresh"));
  // A download cut on the local side.
  WriteFile(dir / "remote/down", big);
  const int down = RunChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{128 * 1024, 128 * 1024};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 77;
    auto c = Connect(dir / "remote");
    if (c->DownloadFile("down", (dir / "local").c_str(), FALSE, 0, 0, 0)) return 1;
    return GetLastError() == ERROR_FILE_TOO_LARGE ? 0 : 2;
  });
  EXPECT_EQ(down, 0);
  EXPECT_EQ(ReadFile(dir / "local"), "old");
  EXPECT_EQ(Listing(dir.path()), "local remote/ remote/down remote/proc remote/up source");
}

}  // namespace
