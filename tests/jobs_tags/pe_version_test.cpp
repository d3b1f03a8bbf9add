// The PE version reader on generated programs (PE32 and PE32+) and on corrupt and truncated ones.
#include "tag_test_util.h"

#include "jobs/tags/pe_version.h"
#include "jobs/tags/version_info.h"
#include "platform/last_error.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using tagtest::DataPath;
using tagtest::ReadAll;
using tagtest::ScratchDir;
using tagtest::WriteBytes;

namespace {

using Bytes = std::vector<unsigned char>;

const char* const kBits[] = {"pe32", "pe64"};

std::string Version(const std::string& path, int form, int size = 32) {
  std::vector<char> buf(static_cast<std::size_t>(size > 0 ? size : 1), 'z');
  const int n = ReadVersionInfo(path.c_str(), form, buf.data(), size);
  if (n < 0) return "<fail>";
  EXPECT_EQ(std::strlen(buf.data()), static_cast<std::size_t>(n));
  return buf.data();
}

TEST(PeVersion, FormsOfEveryFixture) {
  struct Case {
    const char* file;
    const char* forms[10];  // form 0 to 9
  };
  const Case cases[] = {
      {"v1.2.0.0", {"1.02", "1", "1.2", "1.2.0", "1.2.0.0", "1.02", "1.02", "1.02", "1.02", "1.02"}},
      {"v1.2.3.0", {"1.2.3", "1", "1.2", "1.2.3", "1.2.3.0", "1.02", "1.02", "1.02", "1.02", "1.02"}},
      {"v1.2.3.4", {"1.2.3.4", "1", "1.2", "1.2.3", "1.2.3.4", "1.02", "1.02", "1.02", "1.02", "1.02"}},
      {"v10.7.300.65535",
       {"10.7.300.65535", "10", "10.7", "10.7.300", "10.7.300.65535", "10.07", "10.07", "10.07", "10.07",
        "10.07"}},
  };
  for (const char* bits : kBits) {
    for (const auto& c : cases) {
      const std::string path = DataPath(std::string(c.file) + "-" + bits + ".dll");
      for (int form = 0; form < 10; ++form)
        EXPECT_EQ(Version(path, form), c.forms[form]) << path << " form " << form;
    }
    const std::string prog = DataPath(std::string("prog-") + bits + ".exe");
    EXPECT_EQ(Version(prog, 0), "3.14.15.9");
    EXPECT_EQ(Version(prog, 7), "3.14");
  }
}

TEST(PeVersion, RawWordsFromMemory) {
  for (const char* bits : kBits) {
    const Bytes image = ReadAll(DataPath(std::string("v10.7.300.65535-") + bits + ".dll"));
    PeFileVersion v;
    ASSERT_TRUE(PeReadFileVersion(image.data(), image.size(), &v)) << bits;
    EXPECT_EQ(v.ms, (10u << 16) | 7u);
    EXPECT_EQ(v.ls, (300u << 16) | 65535u);
  }
}

TEST(PeVersion, TextIsCutToTheBuffer) {
  const std::string path = DataPath("v1.2.3.4-pe64.dll");
  EXPECT_EQ(Version(path, 4, 4), "1.2");
  EXPECT_EQ(Version(path, 4, 1), "");
  char buf[4] = "abc";
  EXPECT_EQ(ReadVersionInfo(path.c_str(), 4, buf, 0), -1);
  EXPECT_STREQ(buf, "abc");
}

TEST(PeVersion, FilesWithoutVersion) {
  ScratchDir dir;
  for (const char* bits : kBits) EXPECT_EQ(Version(DataPath(std::string("nores-") + bits + ".dll"), 0), "<fail>");

  // An ELF program, a text file and a bare "MZ" under program names, a folder, a missing file.
  const Bytes self = ReadAll("/proc/self/exe");
  WriteBytes(dir / "elf.exe", self);
  tagtest::WriteFile(dir / "text.exe", "#define VERSION \"1.2.3\"\n");
  tagtest::WriteFile(dir / "mz.exe", "MZ");
  tagtest::WriteFile(dir / "empty.dll", "");
  for (const char* name : {"elf.exe", "text.exe", "mz.exe", "empty.dll"})
    EXPECT_EQ(Version(dir / name, 4), "<fail>") << name;
  EXPECT_EQ(Version(dir.path(), 4), "<fail>");
  EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
  EXPECT_EQ(Version(dir / "missing.exe", 4), "<fail>");
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Version("", 4), "<fail>");
  EXPECT_EQ(Version("C:\\Tools\\tool.exe", 4), "<fail>");  // drive forms have no local meaning
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DRIVE);
}

// --- corrupt images -------------------------------------------------------------------------

u32 Get32(const Bytes& b, std::size_t at) {
  return u32{b[at]} | u32{b[at + 1]} << 8 | u32{b[at + 2]} << 16 | u32{b[at + 3]} << 24;
}
u16 Get16(const Bytes& b, std::size_t at) { return static_cast<u16>(b[at] | b[at + 1] << 8); }
void Put32(Bytes& b, std::size_t at, u32 v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(v >> (8 * i));
}
void Put16(Bytes& b, std::size_t at, u16 v) {
  b[at] = static_cast<unsigned char>(v);
  b[at + 1] = static_cast<unsigned char>(v >> 8);
}

// Where the fields of a fixture lie, found independently of the reader.
struct Layout {
  std::size_t nt, optional, resourceDir, sections;
  unsigned sectionCount;
  std::size_t rsrcSection;  // its header
  std::size_t rsrcFile;     // file offset of the resource tree
  u32 rsrcRva;
  std::size_t versionData;  // file offset of the version block
  std::size_t dataEntry;    // file offset of the data entry
};

Layout Locate(const Bytes& b) {
  Layout l{};
  l.nt = Get32(b, 0x3C);
  l.sectionCount = Get16(b, l.nt + 6);
  l.optional = l.nt + 24;
  const bool plus = Get16(b, l.optional) == 0x20B;
  l.resourceDir = l.optional + (plus ? 112 : 96) + 16;
  l.sections = l.optional + Get16(b, l.nt + 20);
  l.rsrcRva = Get32(b, l.resourceDir);
  for (unsigned i = 0; i < l.sectionCount; ++i) {
    const std::size_t s = l.sections + 40 * i;
    if (Get32(b, s + 12) == l.rsrcRva) {
      l.rsrcSection = s;
      l.rsrcFile = Get32(b, s + 20);
    }
  }
  // type -> name -> language -> data entry, each the first entry (the fixtures have one resource)
  std::size_t dir = l.rsrcFile;
  for (int level = 0; level < 3; ++level) {
    const u32 target = Get32(b, dir + 16 + 4);
    dir = l.rsrcFile + (target & 0x7FFFFFFF);
  }
  l.dataEntry = dir;
  l.versionData = l.rsrcFile + (Get32(b, dir) - l.rsrcRva);
  return l;
}

bool Reads(const Bytes& b) {
  PeFileVersion v;
  return PeReadFileVersion(b.data(), b.size(), &v);
}

TEST(PeVersion, CorruptHeadersAndOffsets) {
  for (const char* bits : kBits) {
    const Bytes good = ReadAll(DataPath(std::string("v1.2.3.4-") + bits + ".dll"));
    const Layout l = Locate(good);
    ASSERT_TRUE(Reads(good));
    ASSERT_EQ(Get16(good, l.versionData + 6), 'V');  // the layout was found

    struct Mutation {
      const char* what;
      void (*apply)(Bytes&, const Layout&);
    };
    const Mutation mutations[] = {
        {"no MZ", [](Bytes& b, const Layout&) { b[0] = 'Z'; }},
        {"e_lfanew past the end", [](Bytes& b, const Layout&) { Put32(b, 0x3C, 0xFFFFFFF0u); }},
        {"e_lfanew near the end", [](Bytes& b, const Layout&) { Put32(b, 0x3C, static_cast<u32>(b.size() - 6)); }},
        {"no PE signature", [](Bytes& b, const Layout& l) { b[l.nt + 1] = 'X'; }},
        {"unknown optional magic", [](Bytes& b, const Layout& l) { Put16(b, l.optional, 0x107); }},
        {"optional header too small", [](Bytes& b, const Layout& l) { Put16(b, l.nt + 20, 0x60); }},
        {"optional header huge", [](Bytes& b, const Layout& l) { Put16(b, l.nt + 20, 0xFFFF); }},
        {"two data directories", [](Bytes& b, const Layout& l) {
           const bool plus = Get16(b, l.optional) == 0x20B;
           Put32(b, l.optional + (plus ? 108 : 92), 2);
         }},
        {"no resource directory", [](Bytes& b, const Layout& l) { Put32(b, l.resourceDir, 0); }},
        {"resource rva outside sections", [](Bytes& b, const Layout& l) { Put32(b, l.resourceDir, 0x7FFFF000); }},
        {"resource rva at the wrap", [](Bytes& b, const Layout& l) { Put32(b, l.resourceDir, 0xFFFFFFF8u); }},
        {"no sections", [](Bytes& b, const Layout& l) { Put16(b, l.nt + 6, 0); }},
        {"65535 sections", [](Bytes& b, const Layout& l) { Put16(b, l.nt + 6, 0xFFFF); }},
        {"section data past the end", [](Bytes& b, const Layout& l) { Put32(b, l.rsrcSection + 20, 0xFFFFFE00u); }},
        {"section raw size huge", [](Bytes& b, const Layout& l) { Put32(b, l.rsrcSection + 16, 0xFFFFFFFFu); Put32(b, l.rsrcSection + 20, static_cast<u32>(b.size() - 64)); }},
        {"section raw size zero", [](Bytes& b, const Layout& l) { Put32(b, l.rsrcSection + 16, 0); }},
        {"65535 type entries", [](Bytes& b, const Layout& l) { Put16(b, l.rsrcFile + 14, 0xFFFF); Put16(b, l.rsrcFile + 12, 0xFFFF); }},
        {"no type entries", [](Bytes& b, const Layout& l) { Put16(b, l.rsrcFile + 14, 0); }},
        {"type is not 16", [](Bytes& b, const Layout& l) { Put32(b, l.rsrcFile + 16, 3); }},
        {"type points at a data entry", [](Bytes& b, const Layout& l) { b[l.rsrcFile + 23] &= 0x7F; }},
        {"type subdirectory past the end", [](Bytes& b, const Layout& l) { Put32(b, l.rsrcFile + 20, 0xFFFFFFF0u); }},
        {"type subdirectory is the root", [](Bytes& b, const Layout& l) { Put32(b, l.rsrcFile + 20, 0x80000000u); }},
        {"data entry past the end", [](Bytes& b, const Layout& l) {
           // the language entry of the third level
           const std::size_t name = l.rsrcFile + (Get32(b, l.rsrcFile + 20) & 0x7FFFFFFF);
           const std::size_t lang = l.rsrcFile + (Get32(b, name + 20) & 0x7FFFFFFF);
           Put32(b, lang + 20, 0x7FFFFFF0u);
         }},
        {"version data rva outside", [](Bytes& b, const Layout& l) { Put32(b, l.dataEntry, 0xFFFFFFF0u); }},
        {"version data too small", [](Bytes& b, const Layout& l) { Put32(b, l.dataEntry + 4, 55); }},
        {"version data size huge", [](Bytes& b, const Layout& l) { Put32(b, l.dataEntry + 4, 0xFFFFFFFFu); b[l.versionData + 8] = 'W'; }},
        {"wrong key", [](Bytes& b, const Layout& l) { b[l.versionData + 8] = 'W'; }},
        {"wrong signature", [](Bytes& b, const Layout& l) { b[l.versionData + 40] ^= 1; }},
    };
    for (const auto& m : mutations) {
      Bytes bad = good;
      m.apply(bad, l);
      EXPECT_FALSE(Reads(bad)) << bits << ": " << m.what;
    }
  }
}

TEST(PeVersion, EveryTruncation) {
  for (const char* bits : kBits) {
    const Bytes good = ReadAll(DataPath(std::string("v1.2.3.4-") + bits + ".dll"));
    const Layout l = Locate(good);
    const std::size_t needed = l.versionData + 56;  // through the fixed file version
    for (std::size_t n = 0; n < good.size(); ++n) {
      // A copy of exactly n bytes, so that ASan sees any read past it.
      std::vector<unsigned char> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
      PeFileVersion v;
      const bool ok = PeReadFileVersion(cut.data(), cut.size(), &v);
      if (n < needed) {
        EXPECT_FALSE(ok) << bits << " cut at " << n;
      } else if (ok) {
        EXPECT_EQ(v.ms, 0x00010002u);
        EXPECT_EQ(v.ls, 0x00030004u);
      }
    }
  }
}

TEST(PeVersion, TruncatedFiles) {
  ScratchDir dir;
  const Bytes good = ReadAll(DataPath("v1.2.3.4-pe32.dll"));
  const Layout l = Locate(good);
  for (std::size_t n : {std::size_t{0}, std::size_t{2}, std::size_t{63}, l.nt + 10, l.sections + 20, l.rsrcFile + 8,
                        l.versionData + 20, l.versionData + 55}) {
    WriteBytes(dir / "cut.dll", Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)));
    EXPECT_EQ(Version(dir / "cut.dll", 0), "<fail>") << "cut at " << n;
  }
}

// Random damage, as a small deterministic fuzz run inside the unit tests: never a crash, and a
// result, when there is one, is what the bytes say.
TEST(PeVersion, RandomDamageNeverCrashes) {
  std::uint64_t state = 0x2545F4914F6CDD1Dull;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  for (const char* bits : kBits) {
    const Bytes good = ReadAll(DataPath(std::string("v1.2.3.4-") + bits + ".dll"));
    for (int round = 0; round < 3000; ++round) {
      Bytes bad = good;
      const int flips = 1 + static_cast<int>(next() % 8);
      for (int i = 0; i < flips; ++i) {
        // Most damage in the headers and the resource tree, where the offsets are.
        const std::size_t at = (next() % 4 == 0) ? next() % bad.size() : next() % 0x200 + (next() % 2) * (bad.size() - 0x200);
        bad[at] = static_cast<unsigned char>(next());
      }
      if (next() % 4 == 0) bad.resize(next() % bad.size());
      PeFileVersion v;
      (void)PeReadFileVersion(bad.data(), bad.size(), &v);
    }
  }
}

}  // namespace
