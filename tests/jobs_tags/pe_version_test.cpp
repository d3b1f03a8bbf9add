// The PE version reader on generated programs (PE32 and PE32+) and on corrupt and truncated ones.
#include "jobs/tags/pe_version.h"

#include "jobs/tags/version_info.h"
#include "platform/last_error.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

const char* const kBits[] = {"pe32", "pe64"};

std::string DataPath(const std::string& name) {
  return std::string(KPW_TEST_DATA) + "/" + name;
}

Bytes ReadAll(const std::string& path) {
  const std::string text = kpwtest::ReadFile(path);
  return Bytes(text.begin(), text.end());
}

std::string Version(const std::string& path, int form, int size = 32) {
  std::vector<char> buf(static_cast<std::size_t>(size > 0 ? size : 1), 'z');
  const int n = ReadVersionInfo(path.c_str(), form, buf.data(), size);
  if (n < 0) return "<fail>";
  EXPECT_EQ(std::strlen(buf.data()), static_cast<std::size_t>(n));
  return buf.data();
}

TEST(PeVersion, FormsOfTheFixtures) {
  const char* forms[] = {"10.7.300.65535", "10", "10.7", "10.7.300", "10.7.300.65535", "10.07", "10.07"};
  for (int form = 0; form < 7; ++form)
    EXPECT_EQ(Version(DataPath("v10.7.300.65535-pe32.dll"), form), forms[form]) << form;
  // Form 0 drops trailing zero numbers down to "major.minor" with two digits.
  for (const char* bits : kBits) {
    const std::string b = bits;
    EXPECT_EQ(Version(DataPath("v1.2.0.0-" + b + ".dll"), 0), "1.02") << b;
    EXPECT_EQ(Version(DataPath("v1.2.3.0-" + b + ".dll"), 0), "1.2.3") << b;
    EXPECT_EQ(Version(DataPath("prog-" + b + ".exe"), 0), "3.14.15.9") << b;
  }
  // The text is cut to the buffer.
  EXPECT_EQ(Version(DataPath("v1.2.3.4-pe64.dll"), 4, 4), "1.2");
  char buf[4] = "abc";
  EXPECT_EQ(ReadVersionInfo(DataPath("v1.2.3.4-pe64.dll").c_str(), 4, buf, 0), -1);
  EXPECT_STREQ(buf, "abc");
}

TEST(PeVersion, FilesWithoutVersion) {
  kpwtest::TempDir dir;
  for (const char* bits : kBits)
    EXPECT_EQ(Version(DataPath(std::string("nores-") + bits + ".dll"), 0), "<fail>");
  // An ELF program and a bare "MZ" under program names, a folder, a missing file.
  const std::string self = kpwtest::ReadFile("/proc/self/exe");
  kpwtest::WriteFile(dir / "elf.exe", self);
  kpwtest::WriteFile(dir / "mz.exe", "MZ");
  for (const char* name : {"elf.exe", "mz.exe"}) EXPECT_EQ(Version(dir / name, 4), "<fail>") << name;
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
u16 Get16(const Bytes& b, std::size_t at) {
  return static_cast<u16>(b[at] | b[at + 1] << 8);
}
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

// Offsets and counts that point past the image, wrap or loop: every one is checked before it is read.
TEST(PeVersion, CorruptOffsetsAndCounts) {
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
        {"e_lfanew past the end", [](Bytes& b, const Layout&) { Put32(b, 0x3C, 0xFFFFFFF0u); }},
        {"e_lfanew near the end",
         [](Bytes& b, const Layout&) { Put32(b, 0x3C, static_cast<u32>(b.size() - 6)); }},
        {"optional header huge", [](Bytes& b, const Layout& l) { Put16(b, l.nt + 20, 0xFFFF); }},
        {"resource rva at the wrap", [](Bytes& b, const Layout& l) { Put32(b, l.resourceDir, 0xFFFFFFF8u); }},
        {"65535 sections", [](Bytes& b, const Layout& l) { Put16(b, l.nt + 6, 0xFFFF); }},
        {"section data past the end",
         [](Bytes& b, const Layout& l) { Put32(b, l.rsrcSection + 20, 0xFFFFFE00u); }},
        {"section raw size huge",
         [](Bytes& b, const Layout& l) {
           Put32(b, l.rsrcSection + 16, 0xFFFFFFFFu);
           Put32(b, l.rsrcSection + 20, static_cast<u32>(b.size() - 64));
         }},
        {"65535 type entries",
         [](Bytes& b, const Layout& l) {
           Put16(b, l.rsrcFile + 14, 0xFFFF);
           Put16(b, l.rsrcFile + 12, 0xFFFF);
         }},
        {"type subdirectory past the end",
         [](Bytes& b, const Layout& l) { Put32(b, l.rsrcFile + 20, 0xFFFFFFF0u); }},
        {"no type entries", [](Bytes& b, const Layout& l) { Put16(b, l.rsrcFile + 14, 0); }},
        {"type subdirectory is the root",
         [](Bytes& b, const Layout& l) { Put32(b, l.rsrcFile + 20, 0x80000000u); }},
        {"data entry past the end",
         [](Bytes& b, const Layout& l) {
           // the language entry of the third level
           const std::size_t name = l.rsrcFile + (Get32(b, l.rsrcFile + 20) & 0x7FFFFFFF);
           const std::size_t lang = l.rsrcFile + (Get32(b, name + 20) & 0x7FFFFFFF);
           Put32(b, lang + 20, 0x7FFFFFF0u);
         }},
        {"version data rva outside", [](Bytes& b, const Layout& l) { Put32(b, l.dataEntry, 0xFFFFFFF0u); }},
        {"version data size huge",
         [](Bytes& b, const Layout& l) {
           Put32(b, l.dataEntry + 4, 0xFFFFFFFFu);
           b[l.versionData + 8] = 'W';
         }},
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
    const std::size_t needed = Locate(good).versionData + 56;  // through the fixed file version
    for (std::size_t n = 0; n < good.size(); ++n) {
      // A copy of exactly n bytes, so that ASan sees any read past it.
      Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
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

}  // namespace
