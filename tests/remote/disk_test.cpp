// The disk adapter: disk:// URLs through ConnectUrl, partitions by port, read-only attaches, transfers, listings and option 74 on FAT.
#include "lib/text/enc.h"
#include "platform/last_error.h"
#include "remote/connect_url.h"
#include "remote/disk/disk_connection.h"
#include "remote/url_file_find.h"
#include "tests/support/fake_medium.h"
#include "tests/support/fat_images.h"
#include "tests/support/files.h"
#include "tests/support/time_zone.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace {

using namespace kpwtest;

// An image with a FAT16 volume ("0") and a FAT12 one ("1"), and a partition without a file system.
std::string ThreePartitions(const TempDir& dir) {
  const std::string path = dir / "three.img";
  MustRun("truncate -s 30M " + Quote(path));
  MustRun("printf 'start=2048, size=40960, type=6\\nstart=43008, size=8192, type=1\\nstart=51200, size=4096, type=83\\n' "
          "| sfdisk -q --no-tell-kernel " +
          Quote(path));
  MustRun("mkfs.fat -F 16 --offset 2048 " + Quote(path) + " 20480");
  MustRun("mkfs.fat -F 12 --offset 43008 " + Quote(path) + " 4096");
  return path;
}

std::unique_ptr<CUrlConnection> Connect(const std::string& image, u16 port = 0, u32 flags = 0) {
  return ConnectUrl(image.c_str(), "", "", port, URL_KIND_DISK | flags, "/ignored", nullptr);
}

std::vector<std::string> Names(CUrlConnection& c, const std::string& folder, const char* mask = nullptr) {
  std::vector<std::string> out;
  const auto collect = [](void* context, const WIN32_FIND_DATAA* entry) -> BOOL {
    if (entry) static_cast<std::vector<std::string>*>(context)->push_back(entry->cFileName);
    return TRUE;
  };
  UrlDirFilter filter;
  filter.mask = mask;
  if (!c.ReadDir(folder.c_str(), &out, collect, filter)) out.push_back("<" + std::to_string(GetLastError()) + ">");
  std::sort(out.begin(), out.end());
  return out;
}

TEST(DiskAdapter, UrlsReachImagesAndPortsSelectPartitions) {
  TempDir dir("disk-url", ImageBase());
  const std::string image = ThreePartitions(dir);
  {
    auto c = Connect(image);
    u32 value = 0;
    int size = 4;
    ASSERT_TRUE(c->GetOption(URL_OPT_KIND, &value, &size));
    EXPECT_EQ(value, 5u);
    EXPECT_STREQ(c->GetUrlPrefix(), "disk://");
    // The host arrives escaped; the start path is not entered.
    std::string escaped;
    for (const char ch : image) escaped += ch == '/' ? "%2F" : std::string(1, ch);
    EXPECT_EQ(c->GetHost(), escaped);
    std::string here;
    ASSERT_TRUE(c->GetCurrentDirString(here));
    EXPECT_EQ(here, "/");
    EXPECT_EQ(Names(*c, "/"), (std::vector<std::string>{"0", "1"}));  // the partition without a file system went
    EXPECT_TRUE(c->Mkdir("/0/made"));
    EXPECT_TRUE(c->UploadMemory("/1/one.txt", "1", 1, 0, 0));
    EXPECT_FALSE(c->ChangeDir("/0/missing"));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(c->ChangeDir("/0/made"));
    EXPECT_TRUE(c->UploadMemory("relative.txt", "r", 1, 0, 0));
    EXPECT_EQ(Names(*c, "/0/made"), std::vector<std::string>{"relative.txt"});
  }
  {
    // Port 2: the partition of ordinal 1 alone, which becomes the fixed drive.
    auto c = Connect(image, 2);
    EXPECT_EQ(Names(*c, "/"), std::vector<std::string>{"one.txt"});
  }
  {
    // Backslashes in the host are separators of the image's path too.
    std::string windowsStyle = image;
    std::replace(windowsStyle.begin(), windowsStyle.end(), '/', '\\');
    auto c = ConnectUrl(windowsStyle.c_str(), "", "", 1, URL_KIND_DISK, nullptr, nullptr);
    EXPECT_EQ(Names(*c, "/"), std::vector<std::string>{"made"});
  }
  // A volume that looks like ext4 but does not mount.
  const std::string fake = dir / "fake.img";
  std::string bytes(1 << 20, '\0');
  bytes[1024] = 1;
  bytes[1080] = '\x53';
  bytes[1081] = '\xEF';
  WriteFile(fake, bytes);
  // A partition without a file system, a volume that does not mount, or no image at all: 1105
  // with a German text.
  for (const auto& [host, port] :
       {std::pair<std::string, u16>{image, 3}, {fake, 0}, {dir / "missing.img", 0}}) {
    try {
      Connect(host, port);
      ADD_FAILURE() << host << " " << port;
    } catch (const CInternetException& e) {
      EXPECT_EQ(e.m_dwError, ERROR_PARTITION_FAILURE);
      // The image's path as the user wrote it, not as the URL carries it.
      EXPECT_NE(e.Text().find(host), std::string::npos) << e.Text();
      EXPECT_EQ(e.Text().find("%2F"), std::string::npos) << e.Text();
    }
  }
  EXPECT_FSCK_CLEAN(image, 2048 * 512, 20480 * 1024);
  EXPECT_FSCK_CLEAN(image, 43008 * 512, 4096 * 1024);
}

TEST(DiskAdapter, ReadOnlyAttachesRefuseEveryWrite) {
  TempDir dir("disk-ro", ImageBase());
  const std::string image = MakeFatImage(dir, "v.img", 12, 2000);
  WriteFile(dir / "local", std::string(100, 'l'));
  MustRun(Mtools("mcopy", image, Quote(dir / "local") + " ::/copy.img"));
  const std::string before = ReadFile(image);
  auto c = Connect(image, 0, URL_CONNECT_READ_ONLY);
  EXPECT_FALSE(c->Mkdir("/dir"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(c->UploadMemory("/new", "x", 1, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(c->Remove("/copy.img"));
  EXPECT_FALSE(c->Rename("/copy.img", "/other"));
  EXPECT_FALSE(c->SetAttributes("/copy.img", URL_ATTR_READONLY));
  char buffer[16];
  EXPECT_EQ(c->DownloadMemory("/copy.img", buffer, sizeof buffer, 0, 0, 0), -1);  // larger than the buffer
  EXPECT_EQ(Names(*c, "/"), std::vector<std::string>{"copy.img"});
  c.reset();
  EXPECT_TRUE(ReadFile(image) == before);
}

TEST(DiskAdapter, TransfersKeepEveryByteAndStopAtTheFatLimit) {
  TempDir dir("disk-transfer", ImageBase());
  const std::string image = MakeFatImage(dir, "v.img", 16, 20000);
  std::string data;
  for (int i = 0; i < 300 * 1024; ++i) data += static_cast<char>(i * 7 % 256);
  WriteFile(dir / "local.bin", data);
  {
    auto c = Connect(image);
    // 300 KiB: two whole blocks of 128 KiB and a short one.
    ASSERT_TRUE(c->UploadFile((dir / "local.bin").c_str(), "/up.bin", 0, 0));
    ASSERT_TRUE(c->DownloadFile("/up.bin", (dir / "down.bin").c_str(), FALSE, 0, 0, 0));
    EXPECT_TRUE(ReadFile(dir / "down.bin") == data);
    // Without an announced size the source runs to its end; with one that is not reached, 38.
    struct Source {
      const std::string* data;
      std::size_t at = 0;
      static int Read(void* context, BYTE* buffer, int size) {
        auto* s = static_cast<Source*>(context);
        const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(size), std::min<std::size_t>(5000, s->data->size() - s->at));
        std::memcpy(buffer, s->data->data() + s->at, n);
        s->at += n;
        return static_cast<int>(n);
      }
    };
    Source all{&data};
    ASSERT_TRUE(c->UploadProc("/proc.bin", &all, Source::Read, 0, 0));
    Source fewer{&data};
    const u32 announced = static_cast<u32>(data.size() + 1);
    ASSERT_TRUE(c->SetOption(URL_OPT_UPLOAD_SIZE, &announced, 4, 0));
    EXPECT_FALSE(c->UploadProc("/short.bin", &fewer, Source::Read, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
    // Two transfers at once on one connection: the inner one takes a buffer of its own.
    struct Nested {
      CUrlConnection* c;
      std::string inner;
      int calls = 0;
      static int Read(void* context, BYTE* buffer, int size) {
        auto* n = static_cast<Nested*>(context);
        if (n->calls++ == 0) {
          n->inner.assign(400000, '\0');
          const int got = n->c->DownloadMemory("/up.bin", n->inner.data(), 400000, 0, 0, 0);
          n->inner.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
          std::memset(buffer, 'n', static_cast<std::size_t>(size));
          return size;
        }
        return 0;
      }
    } nested{c.get(), {}, 0};
    ASSERT_TRUE(c->UploadProc("/nested.bin", &nested, Nested::Read, 0, 0));
    EXPECT_TRUE(nested.inner == data);
    std::string back(1 << 20, '\0');
    EXPECT_EQ(c->DownloadMemory("/nested.bin", back.data(), 1 << 20, 0, 0, 0), 131072);
    // A local file that FAT cannot hold is refused before anything is written.
    const int fd = ::open((dir / "huge").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 0x100000000LL), 0);
    ::close(fd);
    EXPECT_FALSE(c->UploadFile((dir / "huge").c_str(), "/huge", 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_FILE_TOO_LARGE);
    EXPECT_EQ(Names(*c, "/"), (std::vector<std::string>{"nested.bin", "proc.bin", "up.bin"}));
  }
  EXPECT_FSCK_CLEAN(image);
  EXPECT_TRUE(Mtype(image, "/up.bin") == data);
  EXPECT_TRUE(Mtype(image, "/proc.bin") == data);
}

TEST(DiskAdapter, ListingsMatchMasksWithoutRegardToCase) {
  TempDir dir("disk-masks", ImageBase());
  const std::string image = MakeFatImage(dir, "v.img", 12, 2000);
  auto c = Connect(image);
  for (const char* name : {"Makefile", "readme.txt", "Notes.TXT"}) ASSERT_TRUE(c->UploadMemory((std::string("/") + name).c_str(), "x", 1, 0, 0));
  ASSERT_TRUE(c->Mkdir("/empty"));
  EXPECT_EQ(Names(*c, "/", "*.*"), (std::vector<std::string>{"Makefile", "Notes.TXT", "empty", "readme.txt"}));
  EXPECT_EQ(Names(*c, "/", "*.TXT"), (std::vector<std::string>{"Notes.TXT", "readme.txt"}));
  EXPECT_EQ(Names(*c, "/", "*.doc"), std::vector<std::string>{});
  EXPECT_EQ(Names(*c, "/empty"), std::vector<std::string>{});
  EXPECT_EQ(Names(*c, "/missing"), std::vector<std::string>{"<3>"});
  EXPECT_EQ(Names(*c, "/Makefile"), std::vector<std::string>{"<3>"});
  // What CUrlFileFind gives a worker that copies "*.TXT".
  CUrlFileFind find(c.get());
  ASSERT_TRUE(find.FindFile("/*.TXT", URL_FIND_NO_FOLDERS));
  std::vector<std::string> found;
  BOOL more;
  do {
    more = find.FindNextFile();
    found.push_back(find.GetFileName());
  } while (more);
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{"Notes.TXT", "readme.txt"}));
}

TEST(DiskAdapter, FindDataSetsTimesAndTheReadOnlyAttribute) {
  const ScopedTimeZone tz("Europe/Berlin");
  TempDir dir("disk-apply", ImageBase());
  const std::string image = MakeFatImage(dir, "v.img", 12, 2000);
  {
    auto c = Connect(image);
    ASSERT_TRUE(c->UploadMemory("/f.txt", "data", 4, 0, 0));
    ASSERT_TRUE(c->Mkdir("/folder"));
    WIN32_FIND_DATAA record;
    std::strcpy(record.cFileName, "/f.txt");
    record.ftLastWriteTime = U64ToFileTime((1714979289ull + kFileTimeEpochOffset) * 10'000'000);
    record.ftCreationTime = U64ToFileTime((1704067200ull + kFileTimeEpochOffset) * 10'000'000);
    record.dwFileAttributes = URL_ATTR_READONLY | URL_ATTR_ARCHIVE;
    ASSERT_TRUE(c->SetOption(URL_OPT_APPLY_FIND, &record, sizeof record, 0));
    // Once more on the read-only file: the times still take.
    record.ftLastWriteTime = U64ToFileTime((1714979299ull + kFileTimeEpochOffset) * 10'000'000);
    ASSERT_TRUE(c->SetOption(URL_OPT_APPLY_FIND, &record, sizeof record, 0));
    std::strcpy(record.cFileName, "/folder");
    record.dwFileAttributes = URL_ATTR_DIRECTORY | URL_ATTR_HIDDEN;
    ASSERT_TRUE(c->SetOption(URL_OPT_APPLY_FIND, &record, sizeof record, 0));
    EXPECT_FALSE(c->UploadMemory("/f.txt", "new", 3, 0, 0));  // a read-only target stays
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(c->UploadMemory("/g.txt", "old", 3, 0, 0));
    ASSERT_TRUE(c->SetAttributes("/g.txt", URL_ATTR_READONLY));
    EXPECT_TRUE(c->SetAttributes("/g.txt", 0644u << 16));  // a Unix mode with the owner's write bit
    EXPECT_TRUE(c->UploadMemory("/g.txt", "new", 3, 0, 0));
    EXPECT_TRUE(c->SetAttributes("/g.txt", 0444u << 16));
  }
  EXPECT_FSCK_CLEAN(image);
  // mattrib's letters for each name, blanks dropped.
  const auto letters = [&](const std::string& name) {
    std::string out;
    for (const char ch : MustRun(Mtools("mattrib", image, "::/" + name)))
      if (ch != ' ' && ch != '\n') out += ch;
    return out;
  };
  EXPECT_EQ(letters("f.txt"), "AR::/f.txt");
  EXPECT_EQ(letters("folder"), "H::/folder");
  EXPECT_EQ(letters("g.txt"), "R::/g.txt");
  EXPECT_EQ(Mtype(image, "/f.txt"), "data");
  EXPECT_EQ(Mtype(image, "/g.txt"), "new");
  EXPECT_EQ(WriteTimes(image, "Europe/Berlin")["/f.txt"], 1714979298);
}

TEST(DiskAdapter, AFailedDownloadLeavesTheLocalFileAsItWas) {
  TempDir dir("disk-download", ImageBase());
  const std::string image = MakeFatImage(dir, "v.img", 12, 2000);
  WriteFile(dir / "remote.bin", std::string(200000, 'r'));
  MustRun(Mtools("mcopy", image, Quote(dir / "remote.bin") + " ::/remote.bin"));
  auto state = std::make_shared<FakeMediumState>();
  const std::string bytes = ReadFile(image);
  state->byteSize = bytes.size();
  state->Put(0, bytes.data(), bytes.size());
  CDiskUrlConnection c(std::make_unique<DiskDriveTable>(), "fake", "", "", 0, 0, 0);
  ASSERT_TRUE(c.OpenMedium(std::make_unique<FakeMedium>(state, false), "fake", false));
  WriteFile(dir / "local.bin", "keep");
  // The medium fails once the file is open: nothing of it may reach the local file.
  state->badSectors.clear();
  for (u64 s = 40; s < 4000; ++s) state->badSectors.insert(s);
  EXPECT_FALSE(c.DownloadFile("/remote.bin", (dir / "local.bin").c_str(), FALSE, 0, 0, 0));
  EXPECT_EQ(ReadFile(dir / "local.bin"), "keep");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 3);
  state->badSectors.clear();
  ASSERT_TRUE(c.DownloadFile("/remote.bin", (dir / "local.bin").c_str(), FALSE, 0, 0, 0));
  EXPECT_EQ(ReadFile(dir / "local.bin"), std::string(200000, 'r'));
}

}  // namespace
