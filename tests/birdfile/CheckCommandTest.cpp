// End to end: the real updater binary checking BIRD files made by birdtool
// (-C -f FILE). The store goes to a temporary directory (-i), never $HOME.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int Status(const std::string& command) {
  int status = system(command.c_str());
  return (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
}

class CheckCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_STRNE(UPDATER_EXE, "") << "the updater target is not defined in this build tree";
    std::string pattern = (std::filesystem::temp_directory_path() / "birdcheck.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  // Makes name with birdtool.
  void Make(const std::string& name, const std::string& args) {
    ASSERT_EQ(Status(std::string(BIRDTOOL_EXE) + " -o " + Path(name) + " " + args), 0) << args;
  }
  // Runs updater with args; fills out_ and err_.
  int Updater(const std::string& args) {
    int status = Status(std::string(UPDATER_EXE) + " -i " + dir_ + " " + args + " >" + Path("stdout") + " 2>" +
                        Path("stderr"));
    out_ = Slurp(Path("stdout"));
    err_ = Slurp(Path("stderr"));
    return status;
  }
  void Cut(const std::string& from, const std::string& to, size_t keep) {
    std::string bytes = Slurp(Path(from));
    std::ofstream(Path(to), std::ios::binary) << bytes.substr(0, keep);
  }

  std::string dir_, out_, err_;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(CheckCommand, ValidFileShowsIdentificationAndBlocks) {
  Make("ok.bird",
       "--build 1234 --version 2.15.3 --serial 0000BEEF --model Hub8 --loader 0x10000000:random:200 "
       "--flags 5 --firmware 0x0:random:3000 --loader-start 0x20000400");
  ASSERT_EQ(Updater("-C -f " + Path("ok.bird")), 0) << out_ << err_;
  EXPECT_TRUE(Has(out_, "Build:         1234")) << out_;
  EXPECT_TRUE(Has(out_, "Version:       2.15.3")) << out_;
  EXPECT_TRUE(Has(out_, "Serial number: 0000BEEF")) << out_;
  EXPECT_TRUE(Has(out_, "Model:         Hub8")) << out_;
  EXPECT_TRUE(Has(out_, "Generic image: no")) << out_;
  EXPECT_TRUE(Has(out_, "Blocks:        4")) << out_;
  EXPECT_TRUE(Has(out_, "BLOCK_LOADER         flags 0  length 204        address 0x10000000")) << out_;
  EXPECT_TRUE(Has(out_, "BLOCK_FIRMWARE       flags 5  length 3004       address 0x00000000")) << out_;
  EXPECT_TRUE(Has(out_, "BLOCK_LOADER_START   flags 0  length 4")) << out_;
  EXPECT_TRUE(Has(out_, "\nvalid\n")) << out_;
  EXPECT_EQ(err_, "");
  // Nothing but the store directory was created.
  EXPECT_TRUE(std::filesystem::is_directory(Path("updater")));
}

TEST_F(CheckCommand, GenericImage) {
  Make("generic.bird", "--model Relay4 --generic 0x2F0:0x300 --firmware 0x200:random:512");
  ASSERT_EQ(Updater("-C -f " + Path("generic.bird")), 0) << out_ << err_;
  EXPECT_TRUE(Has(out_, "Generic image: yes (serial number at 0x000002F0, descriptor at 0x00000300)")) << out_;
  EXPECT_FALSE(Has(out_, "Warning")) << out_;
  EXPECT_TRUE(Has(out_, "\nvalid\n"));

  Make("astray.bird", "--model Relay4 --generic 0x9000 --firmware 0x200:random:512");
  ASSERT_EQ(Updater("-C -f " + Path("astray.bird")), 0) << out_ << err_;
  EXPECT_TRUE(Has(out_, "Warning: the serial-number offsets lie in no firmware image")) << out_;
}

TEST_F(CheckCommand, UnusableFilesFailWithTheReason) {
  Make("ok.bird", "--build 7 --model Hub8 --firmware 0x0:random:3000");
  Cut("ok.bird", "truncated.bird", 400);
  Make("badsig.bird", "--build 7 --firmware 0x0:random:100");
  {
    std::fstream f(Path("badsig.bird"), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(0);
    f.write("BIRD", 4);
  }
  Make("badversion.bird", "--format-version 0100 --firmware 0x0:random:100");
  Make("nofirmware.bird", "--build 7 --model Hub8 --loader 0x10000000:random:100");
  Cut("ok.bird", "headeronly.bird", 6);

  const struct {
    const char* file;
    const char* reason;
  } cases[] = {
      {"truncated.bird", "cannot be used: its firmware data cannot be decompressed"},
      {"headeronly.bird", "cannot be used: its firmware data cannot be decompressed"},
      {"badsig.bird", "is not a BIRD file: its signature or format version is wrong"},
      {"badversion.bird", "is not a BIRD file"},
      {"nofirmware.bird", "cannot be used: it holds no firmware blocks"},
      {"missing.bird", "no such file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(Updater("-C -f " + Path(c.file)), 1);
    EXPECT_TRUE(Has(err_, c.reason)) << err_;
    EXPECT_TRUE(Has(err_, Path(c.file))) << err_;
    EXPECT_FALSE(Has(out_, "\nvalid\n")) << out_;
  }
  // The file without firmware is still described before the verdict.
  EXPECT_EQ(Updater("-C -f " + Path("nofirmware.bird")), 1);
  EXPECT_TRUE(Has(out_, "BLOCK_LOADER")) << out_;
}

TEST_F(CheckCommand, MismatchedBlockCountIsShownAsAWarning) {
  Make("counted.bird", "--declare-count 5 --firmware 0x0:random:100");
  ASSERT_EQ(Updater("-C -f " + Path("counted.bird")), 0) << out_ << err_;
  EXPECT_TRUE(Has(out_, "Warning: the blocks do not match the declared block count")) << out_;
  EXPECT_TRUE(Has(out_, "\nvalid\n"));
}

TEST_F(CheckCommand, WithoutFileIsAnError) {
  EXPECT_EQ(Updater("-C"), 1);
  EXPECT_TRUE(Has(err_, "Check needs a BIRD file: name it with -f <bird file>.")) << err_;
  EXPECT_FALSE(Has(out_, "valid"));
}

}  // namespace
