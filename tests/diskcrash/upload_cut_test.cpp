// Uploads, deletions and renames in FAT and exFAT volumes cut after every write: each cut image
// passes its fsck, and every name holds its old or its new content whole.
#include "remote/disk/disk_connection.h"
#include "tests/support/exfat_images.h"
#include "tests/support/ext4_cut_medium.h"
#include "tests/support/fat_images.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <sstream>

namespace {

using namespace kpwtest;

using Content = std::optional<std::string>;  // nullopt: no such file
using Contents = std::map<std::string, Content>;

// Bytes that differ between files and between the old and new content of one name.
std::string Pattern(std::size_t size, u32 seed) {
  std::string out(size, '\0');
  u32 x = seed * 2654435761u + 1;
  for (char& c : out) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return out;
}

struct Kind {
  std::string name;
  std::function<std::string(const TempDir&)> make;
  // The lines of the volume's fsck that say more than a crash may leave: empty when none.
  std::function<std::string(const std::string&)> problems;
  std::string repair;  // the fsck command that mends a volume
};

void PrintTo(const Kind& kind, std::ostream* os) { *os << kind.name; }

// A crash may leave clusters that no file holds (fsck.exfat passes them over), and a folder's
// chain one cluster longer than its length: a folder grows by linking a new cluster (zeroed) to
// its chain, then its length follows in its entry set. The repair cuts the chain back to the
// length, which takes no entry from the folder.
std::string ExfatProblems(const std::string& image) {
  const FsckResult r = FsckExfat(image);
  if (r.clean) return std::string();
  std::istringstream lines(r.text);
  std::string line;
  const std::string longer = ": more clusters are allocated.";
  while (std::getline(lines, line)) {
    if (line.rfind("ERROR: ", 0) != 0) continue;
    const std::size_t at = line.find(longer);
    if (at == std::string::npos) return r.text;
    AttachedImage a(image, true);
    if (DiskPathKind(a.table(), line.substr(7, at - 7).c_str()) != 2) return r.text;
  }
  return std::string();
}

// A crash may leave clusters that no file holds, the second FAT behind the first, a stale free
// count and the dirty bit; fsck.fat mends these without taking anything from a file.
std::string FatProblems(const std::string& image) {
  int status = 0;
  const std::string text = Shell("fsck.fat -n " + Quote(image) + " 2>&1", &status);
  std::istringstream lines(text);
  std::string line, bad;
  while (std::getline(lines, line)) {
    if (line.empty() || line.rfind(image, 0) == 0) continue;
    bool harmless = false;
    for (const char* ok : {"fsck.fat ", "Leaving filesystem unchanged.", "Reclaimed ", "FATs differ but appear to be intact.",
                           "  Using first FAT.", "Free cluster summary wrong", "  Auto-correcting.", "Dirty bit is set",
                           "  Automatically removing dirty bit."})
      if (line.rfind(ok, 0) == 0) harmless = true;
    if (!harmless) bad += line + "\n";
  }
  return bad.empty() ? std::string() : text;
}

const Kind kKinds[] = {
    {"exfat", [](const TempDir& d) { return MakeExfatImage(d, "v.img", "4K", 16); }, ExfatProblems, "fsck.exfat -y"},
    {"fat16", [](const TempDir& d) { return MakeFatImage(d, "v.img", 16, 20480, "-s 4"); }, FatProblems, "fsck.fat -a"},
    {"fat32", [](const TempDir& d) { return MakeFatImage(d, "v.img", 32, 40960, "-s 1"); }, FatProblems, "fsck.fat -a"},
};

// One session on the image through the disk adapter, recorded write by write.
std::shared_ptr<CutRecorder> Record(const std::string& image, const std::function<void(CDiskUrlConnection&)>& session) {
  auto rec = CutRecorder::FromFile(image);
  CDiskUrlConnection c(std::make_unique<DiskDriveTable>(), "cut", "", "", 0, 0, 0);
  EXPECT_TRUE(c.OpenMedium(std::make_unique<CutMedium>(rec), "cut", false)) << c.Message();
  session(c);
  c.Close();
  return rec;
}

// The image after each prefix of the writes (one write applied at a time) at path, judged: what is
// wrong with it, or empty. The first three failures are reported.
void EachCut(const CutRecorder& rec, const std::string& path, const std::string& label,
             const std::function<std::string()>& judge) {
  ASSERT_TRUE(CutRecorder::SaveImage(path, rec.baseline));
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  int failures = 0;
  for (std::size_t n = 0; n <= rec.writes.size() && failures < 3; ++n) {
    if (n > 0) {
      const CutWrite& w = rec.writes[n - 1];
      ASSERT_EQ(::pwrite(fd, w.bytes.data(), w.bytes.size(), static_cast<off_t>(w.offset)),
                static_cast<ssize_t>(w.bytes.size()));
    }
    const std::string why = judge();
    if (!why.empty()) {
      ++failures;
      ADD_FAILURE() << label << ": cut after " << n << " of " << rec.writes.size() << " writes:\n" << why;
    }
  }
  ::close(fd);
}

// Names whose content is neither the one before nor the one after.
std::string Mismatches(AttachedImage& a, const Contents& before, const Contents& after) {
  std::string why;
  for (const auto& [name, old] : before) {
    const Content got = DiskPathKind(a.table(), name.c_str()) == 1 ? Content(a.Get(name)) : std::nullopt;
    if (got != old && got != after.at(name))
      why += name + ": " + (got ? std::to_string(got->size()) + " bytes, neither old nor new" : "missing") + "\n";
  }
  return why;
}

class UploadCuts : public ::testing::TestWithParam<Kind> {};

// Names and contents before the session (written through the engine, so that the folders hold
// our own entry sets as well as a fragmented file), then one session of uploads that replace and
// create files (enough of them to grow their folder), a deletion and a rename.
TEST_P(UploadCuts, EveryCutLeavesOldOrNewContentWholeAndAVolumeItsFsckPasses) {
  const Kind& kind = GetParam();
  TempDir dir("upload-cuts", ImageBase());
  const std::string image = kind.make(dir);
  const std::string longName = "/Ordner/Ein recht langer Dateiname.dat";
  const std::string newLong = "/Ordner/Noch ein sehr langer Name für eine neue Datei.txt";
  Contents before = {
      {"/bleibt.txt", "bleibt"},         {"/f360.bin", Pattern(10000, 1)}, {longName, Pattern(20000, 2)},
      {"/zerstückelt.bin", Pattern(9000, 3)}, {"/weg.txt", "weg"},          {"/neu.bin", std::nullopt},
      {newLong, std::nullopt},           {"/bleibt.txt.1", std::nullopt},
  };
  {
    AttachedImage a(image);
    ASSERT_EQ(a.drives(), 2);
    ASSERT_EQ(DiskMkdir(a.table(), "/Ordner"), 0);
    ASSERT_EQ(DiskMkdir(a.table(), "/viele"), 0);
    // A gap that the next file fills in part: it continues elsewhere (a chain on exFAT too).
    ASSERT_EQ(a.Put("/lücke", std::string(100, 'l')), 0);
    ASSERT_EQ(a.Put("/dahinter", std::string(100, 'd')), 0);
    ASSERT_EQ(DiskDelete(a.table(), "/lücke"), 0);
    for (const auto& [name, content] : before)
      if (content) {
        ASSERT_EQ(a.Put(name, *content), 0) << name;
      }
  }
  before["/dahinter"] = std::string(100, 'd');
  ASSERT_EQ(kind.problems(image), "");

  Contents after = before;
  after["/neu.bin"] = Pattern(30000, 4);
  after["/f360.bin"] = Pattern(50000, 5);
  after[longName] = Pattern(7000, 6);
  after["/zerstückelt.bin"] = Pattern(5000, 7);
  after[newLong] = Pattern(3000, 8);
  after["/weg.txt"] = std::nullopt;
  after["/bleibt.txt.1"] = "bleibt";
  after["/bleibt.txt"] = std::nullopt;
  for (int i = 10; i < 80; ++i) {
    const std::string name = "/viele/Datei Nummer " + std::to_string(i) + ".txt";
    before[name] = std::nullopt;
    after[name] = Pattern(700, static_cast<u32>(i));
  }
  before["/Neuer Ordner/drin.txt"] = std::nullopt;
  after["/Neuer Ordner/drin.txt"] = "drin";

  const auto rec = Record(image, [&](CDiskUrlConnection& c) {
    ASSERT_TRUE(c.Mkdir("/Neuer Ordner"));
    const std::string local = dir / "local";
    for (const auto& [name, content] : after) {
      if (!content || content == before[name] || name == "/bleibt.txt.1") continue;
      WriteFile(local, *content);
      ASSERT_TRUE(c.UploadFile(local.c_str(), name.c_str(), 0, 0)) << name << " " << GetLastError();
    }
    ASSERT_TRUE(c.Remove("/weg.txt"));
    ASSERT_TRUE(c.Rename("/bleibt.txt", "/bleibt.txt.1"));
  });
  ASSERT_GT(rec->writes.size(), 100u);

  const std::string cut = dir / "cut.img";
  EachCut(*rec, cut, kind.name, [&] {
    std::string why = kind.problems(cut);
    if (!why.empty()) return why;
    AttachedImage a(cut, true);
    if (a.drives() != 2) return std::string("not attached");
    why = Mismatches(a, before, after);
    if (DiskPathKind(a.table(), "/bleibt.txt") + DiskPathKind(a.table(), "/bleibt.txt.1") != 1)
      why += "the renamed file stands under both names or none\n";
    return why;
  });

  // The whole session: the new state exactly, nothing left over.
  ASSERT_TRUE(CutRecorder::SaveImage(cut, rec->image));
  AttachedImage a(cut, true);
  EXPECT_EQ(Mismatches(a, after, after), "");
  EXPECT_EQ(a.List("/"), (std::vector<std::string>{"Neuer Ordner/", "Ordner/", "bleibt.txt.1", "dahinter", "f360.bin",
                                                   "neu.bin", "viele/", "zerstückelt.bin"}));
  EXPECT_EQ(a.List("/viele").size(), 70u);
}

// A rename whose new name does not fit in the sector of the old one takes two writes. The new
// name goes before the old one in its folder where there is room, so that fsck, which keeps the
// first of two names on the same clusters, mends a cut between them into the new name whole.
TEST_P(UploadCuts, ARenameOutOfItsSectorLeavesTheNewNameToFsck) {
  const Kind& kind = GetParam();
  TempDir dir("rename-cuts", ImageBase());
  const std::string image = kind.make(dir);
  const std::string content = Pattern(3000, 9);
  const std::string to = "/voll/ein deutlich längerer Name.txt";
  {
    AttachedImage a(image);
    ASSERT_EQ(DiskMkdir(a.table(), "/voll"), 0);
    // Sectors full of names, with a gap before the later ones.
    for (int i = 10; i < 40; ++i) ASSERT_EQ(a.Put("/voll/f" + std::to_string(i) + ".txt", i == 35 ? content : "v"), 0);
    for (int i = 11; i < 15; ++i) ASSERT_EQ(DiskDelete(a.table(), ("/voll/f" + std::to_string(i) + ".txt").c_str()), 0);
  }
  const auto rec = Record(image, [&](CDiskUrlConnection& c) { ASSERT_TRUE(c.Rename("/voll/f35.txt", to.c_str())); });
  const std::string cut = dir / "cut.img", mended = dir / "mended.img";
  int repaired = 0;
  EachCut(*rec, cut, kind.name, [&] {
    if (kind.problems(cut).empty()) {
      AttachedImage a(cut, true);
      const int names = DiskPathKind(a.table(), "/voll/f35.txt") + DiskPathKind(a.table(), to.c_str());
      return names == 1 ? std::string() : "the file stands under both names or none\n";
    }
    ++repaired;
    MustRun("cp " + Quote(cut) + " " + Quote(mended));
    Shell(kind.repair + " " + Quote(mended) + " 2>&1");
    std::string why = kind.problems(mended);
    AttachedImage a(mended, true);
    if (DiskPathKind(a.table(), to.c_str()) != 1 || a.Get(to) != content) why += "the new name lost the file\n";
    return why;
  });
  EXPECT_GT(repaired, 0) << "no cut fell between the two writes";
}

INSTANTIATE_TEST_SUITE_P(Volumes, UploadCuts, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<Kind>& info) { return info.param.name; });

}  // namespace
