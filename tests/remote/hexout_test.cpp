// The helper program hexout on its own, against coreutils (stat, base64) as a local process.
#include "remote/ssh/ssh_connection.h"
#include "tests/support/files.h"
#include "tests/support/ssh_server.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using namespace kpwtest;

const std::string kHexout = std::string(KPW_BUILD_DIR) + "/remote/hexout/hexout-x86";

struct Outcome {
  int status;
  std::string out;
};

Outcome Hexout(std::vector<std::string> args, const std::string& input = "") {
  args.insert(args.begin(), kHexout);
  Outcome r;
  r.status = RunProgram(args, &r.out, input);
  return r;
}

std::string Shell(const std::string& command) {
  std::string out;
  RunProgram({"/bin/sh", "-c", command}, &out);
  return out;
}

// The data lines of a read, decoded by coreutils' base64.
std::string Decoded(const std::string& out, const TempDir& dir) {
  std::string text;
  for (std::size_t at = 0; at < out.size();) {
    const std::size_t end = out.find('\n', at);
    const std::string line = out.substr(at, end - at);
    if (!line.empty() && line[0] == '>') text += line.substr(1) + "\n";
    at = end == std::string::npos ? out.size() : end + 1;
  }
  WriteFile(dir / "b64", text);
  std::string bytes;
  RunProgram({"/usr/bin/base64", "-d", "-i", dir / "b64"}, &bytes);
  return bytes;
}

TEST(Hexout, CommandLine) {
  EXPECT_EQ(Hexout({"-v", "-q"}).out, "version 1\n");
  EXPECT_EQ(Hexout({"-v"}).status, 0);
  Outcome r = Hexout({"-q", "x"});
  EXPECT_EQ(r.out, "syntax error at param 1\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Hexout({"-l"}).out, "error no path defined\n");
  EXPECT_EQ(Hexout({"a", "b"}).out, "syntax error at param 2\n");
  EXPECT_EQ(Hexout({"-l", "-s", "a"}).out, "syntax error at param 2\n");
}

TEST(Hexout, ListsWithTheFieldsOfStat) {
  TempDir dir("hexout");
  WriteFile(dir / "File.TXT", "12345");
  WriteFile(dir / "other.doc", "");
  ::mkdir((dir / "sub").c_str(), 0750);
  ::chmod((dir / "File.TXT").c_str(), 0751);
  ::symlink("sub", (dir / "link").c_str());
  ::symlink("nowhere", (dir / "dangling").c_str());
  // One entry for a path without wildcards: the folder itself.
  Outcome r = Hexout({"-l", dir.path()});
  EXPECT_EQ(r.out.substr(r.out.rfind(' ') + 1), dir.path().substr(dir.path().rfind('/') + 1) + "\n");
  // Wildcards ignore case; the fields are those of stat (mode, size, mtime, ctime).
  r = Hexout({"-l", dir / "*.txt"});
  unsigned attr = 0;
  unsigned long long size = 0;
  long long mtime = 0, ctime = 0;
  char name[64] = {};
  ASSERT_EQ(std::sscanf(r.out.c_str(), ">%u %llu %lld %lld %63s", &attr, &size, &mtime, &ctime, name), 5) << r.out;
  unsigned mode = 0;
  long long smtime = 0, sctime = 0;
  unsigned long long ssize = 0;
  ASSERT_EQ(std::sscanf(Shell("stat -c '%f %s %Y %Z' " + (dir / "File.TXT")).c_str(), "%x %llu %lld %lld", &mode, &ssize,
                        &smtime, &sctime),
            4);
  EXPECT_EQ(attr >> 16, mode);
  EXPECT_EQ(size, ssize);
  EXPECT_EQ(mtime, smtime);
  EXPECT_EQ(ctime, sctime);
  EXPECT_STREQ(name, "File.TXT");
  // 0751: owner may read, write and run (0x01, 0x02, 0x200|0x40), group 0x80, others 0x20.
  EXPECT_EQ(attr & 0x3FF, 0x01u | 0x02 | 0x200 | 0x40 | 0x80 | 0x20);
  // The folder's entries without dots; a link with its target's data and the link type; -o.
  r = Hexout({"-e", "-l", dir / "*"});
  EXPECT_EQ(r.out.find(" .\n"), std::string::npos);
  EXPECT_NE(r.out.find("END<5>"), std::string::npos) << r.out;
  const std::size_t link = r.out.find(" link\n");
  ASSERT_NE(link, std::string::npos);
  const std::string linkLine = r.out.substr(r.out.rfind('>', link), link - r.out.rfind('>', link));
  const unsigned linkAttr = static_cast<unsigned>(std::stoul(linkLine.substr(1)));
  EXPECT_EQ(linkAttr >> 28, 0xAu);
  EXPECT_TRUE(linkAttr & 0x10);
  EXPECT_NE(r.out.find(" dangling\n"), std::string::npos) << "listed by itself";
  r = Hexout({"-o", "-l", dir / "*"});
  EXPECT_NE(r.out.find(" sub\n"), std::string::npos);
  EXPECT_EQ(r.out.find("File.TXT"), std::string::npos);
  // Empty, missing, no folder.
  ::mkdir((dir / "empty").c_str(), 0755);
  EXPECT_EQ(Hexout({"-e", "-l", dir / "empty/*"}).out, "LEN<0>\nEND<0>\n");
  r = Hexout({"-e", "-l", dir / "missing/*"});
  EXPECT_EQ(r.out, "LEN<0>\nEND<-3>\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Hexout({"-e", "-l", dir / "other.doc/*"}).out, "LEN<0>\nEND<-7>\n");
}

TEST(Hexout, ReadsAndWritesBase64Lines) {
  TempDir dir("hexout");
  WriteFile(dir / "empty", "");
  EXPECT_EQ(Hexout({"-r256", "-e", dir / "empty"}).out, "LEN<0>\nEND<0>\n");
  std::string data;
  for (int i = 0; i < 600; ++i) data += static_cast<char>(i * 31 + 7);
  WriteFile(dir / "data", data);
  Outcome r = Hexout({"-r256", "-e", dir / "data"});
  EXPECT_EQ(Decoded(r.out, dir), data);
  EXPECT_EQ(Shell("printf '%s' '" + r.out + "' | grep -c '^>'"), "3\n");
  EXPECT_NE(r.out.find("END<600>"), std::string::npos) << "bytes, not lines";
  r = Hexout({"-r100", "-s10", "-n250", dir / "data"});
  EXPECT_EQ(Decoded(r.out, dir), data.substr(10, 250));

  // Writing: the stop line at once gives an empty file; data lines; -s appends in place.
  WriteFile(dir / "in", ">STOP<\n");
  r = Hexout({"-w", "-e", dir / "new"}, dir / "in");
  EXPECT_EQ(r.out, "LEN<0>\nEND<0>\n");
  EXPECT_EQ(ReadFile(dir / "new"), "");
  WriteFile(dir / "in", ">SGVsbG8=\r\n>LCB3b3JsZA==\n>STOP<\n");
  r = Hexout({"-e", "-w", dir / "new"}, dir / "in");
  EXPECT_EQ(r.out, "LEN<0>\nEND<12>\n");
  EXPECT_EQ(ReadFile(dir / "new"), "Hello, world");
  WriteFile(dir / "in", ">IQ==\n>STOP<\n");
  EXPECT_EQ(Hexout({"-e", "-w", "-s5", dir / "new"}, dir / "in").out, "LEN<5>\nEND<1>\n");
  EXPECT_EQ(ReadFile(dir / "new"), "Hello! world");
  r = Hexout({"-e", "-w", "-s99", dir / "new"}, dir / "in");
  EXPECT_EQ(r.out, "LEN<-1>\nEND<-1>\n");
  EXPECT_EQ(ReadFile(dir / "new"), "Hello! world");
  // Input that ends without the stop line keeps the old file (and its mode), and no other file.
  ::chmod((dir / "new").c_str(), 0640);
  WriteFile(dir / "in", ">AAAA\n");
  r = Hexout({"-e", "-w", dir / "new"}, dir / "in");
  EXPECT_EQ(r.out, "LEN<0>\nEND<-6>\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadFile(dir / "new"), "Hello! world");
  WriteFile(dir / "in", ">AAAA\n>STOP<\n");
  EXPECT_EQ(Hexout({"-e", "-w", dir / "new"}, dir / "in").out, "LEN<0>\nEND<3>\n");
  struct stat st {};
  ASSERT_EQ(::stat((dir / "new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(Shell("ls " + dir.path() + " | grep -c hexout-"), "0\n");
}

TEST(Hexout, DecodesTheAdaptersEscapesOfAnyName) {
  TempDir dir("hexout");
  for (const std::string name : {"-x", "a b", "=z", "x=y", "q?*;\"", "Foto (1).jpg", "it's", "$(touch pwned)"}) {
    WriteFile(dir / name, name);
    const Outcome r = Hexout({"-r", CSshUrlConnection::EncodeHelperPath(dir / name)});
    EXPECT_EQ(Decoded(r.out, dir), name) << r.out;
    const Outcome l = Hexout({"-l", CSshUrlConnection::EncodeHelperPath(dir / name)});
    EXPECT_EQ(l.out.substr(l.out.size() - name.size() - 1), name + "\n");
  }
  EXPECT_FALSE(Exists(dir / "pwned"));
}

TEST(Hexout, SizesAndOffsetsBeyondFourGiB) {
  TempDir dir("hexout");
  ASSERT_EQ(Shell("truncate -s 5G " + (dir / "sparse") + " && echo ok"), "ok\n");
  Outcome r = Hexout({"-l", dir / "sparse"});
  unsigned attr = 0;
  unsigned long long size = 0;
  ASSERT_EQ(std::sscanf(r.out.c_str(), ">%u %llu", &attr, &size), 2);
  EXPECT_EQ(size, 5ull << 30);
  EXPECT_EQ((attr >> 10) & 0x3F, 1u);
  r = Hexout({"-e", "-r16", "-s4294967300", "-n16", dir / "sparse"});
  EXPECT_EQ(r.out, "LEN<5368709120>\n>AAAAAAAAAAAAAAAAAAAAAA==\nEND<16>\n");
  WriteFile(dir / "in", ">SGk=\n>STOP<\n");
  EXPECT_EQ(Hexout({"-e", "-w", "-s3000000000", dir / "sparse"}, dir / "in").out, "LEN<3000000000>\nEND<2>\n");
  EXPECT_EQ(Shell("dd if=" + (dir / "sparse") + " bs=1 skip=3000000000 count=2 2>/dev/null"), "Hi");
}

}  // namespace
