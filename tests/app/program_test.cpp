// The whole program as a user runs it: a child process in an empty folder,
// no display, local pictures in its list, ended by SIGTERM.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../wallpaper/picture_helpers.h"
#include "program_child.h"
#include "test_support.h"

namespace {

using programchild::Program;
using programchild::ProgramTest;
using testsupport::ListDir;
using testsupport::ReadFile;
using testsupport::WriteFile;

TEST_F(ProgramTest, RotatesLocalPicturesInListOrderAndLeavesOnlyTheUsersFiles) {
  struct Entry {
    const char* name;
    const char* kind;
  } const entries[] = {
      {"harbour.gif", "gif"}, {"sunset.jpg", "jpeg"}, {"forest.jpeg", "jpeg"}, {"meadow.bmp", "bmp"}, {"NIGHT.GIF", "gif"},
  };
  std::string configuration = "# five pictures, one a second\nget-timer:1000\n";
  int variant = 0;
  for (const Entry& e : entries) {
    pictures::Draw(e.kind, pictures_ + "/" + e.name, 96, 64, variant++);
    configuration += "file://" + pictures_ + "/" + e.name + "\n";
  }
  WriteFile(folder_ + "/skerrow.cnf", configuration);
  std::vector<std::string> originals;
  for (const Entry& e : entries) originals.push_back(ReadFile(pictures_ + "/" + e.name));

  std::vector<std::string> seen;
  {
    Program program(folder_, temp_.c_str(), state_, dir_ / "stderr.txt");
    seen = WatchWallpapers(program, std::size(entries));
    EXPECT_EQ(program.Terminate(), 0) << Log();
  }
  ASSERT_EQ(seen.size(), std::size(entries)) << Log();
  for (std::size_t i = 0; i < seen.size(); ++i) {
    const std::string copy = dir_ / ("seen" + std::to_string(i) + ".bmp");
    WriteFile(copy, seen[i]);
    pictures::ExpectPicture(copy, pictures_ + "/" + entries[i].name, entries[i].kind);
  }
  for (std::size_t i = 0; i < std::size(entries); ++i) {
    EXPECT_EQ(ReadFile(pictures_ + "/" + entries[i].name), originals[i]) << entries[i].name;
  }
  EXPECT_EQ(ListDir(folder_), (std::vector<std::string>{"pictures", "skerrow.cnf"}));
  EXPECT_EQ(ListDir(pictures_).size(), std::size(entries));
  EXPECT_TRUE(ListDir(temp_).empty());
  EXPECT_NE(Log().find("wallpaper: "), std::string::npos);
}

TEST_F(ProgramTest, BadEntriesAreSurvivedAndTheNextEntryWorks) {
  WriteFile(pictures_ + "/damaged.gif", std::string("GIF89a\x20\x00\x20\x00\x80\x00\x00", 13) + std::string(60, '\x41'));
  pictures::Draw("bmp", pictures_ + "/really-a-bitmap.gif");
  WriteFile(pictures_ + "/notes.txt", "not a picture");
  pictures::Draw("jpeg", pictures_ + "/good.jpg", 96, 64, 3);
  // Read as a picture, a FIFO with no writer would hold the program for good.
  ASSERT_EQ(mkfifo((pictures_ + "/pipe.jpg").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", pictures_ + "/device.jpg");
  WriteFile(folder_ + "/skerrow.cnf", "get-timer:1000\n"
                                      "file://" + pictures_ + "/damaged.gif\n"
                                      "file://" + pictures_ + "/really-a-bitmap.gif\n"
                                      "file://" + pictures_ + "/pipe.jpg\n"
                                      "file://" + pictures_ + "/device.jpg\n"
                                      "file://" + pictures_ + "/missing.jpg\n"
                                      "file://" + pictures_ + "/notes.txt\n"
                                      "file://" + pictures_ + "/good.jpg\n");
  std::vector<std::string> seen;
  {
    Program program(folder_, temp_.c_str(), state_, dir_ / "stderr.txt");
    seen = WatchWallpapers(program, 2);
    EXPECT_TRUE(program.Running()) << Log();
    EXPECT_EQ(program.Terminate(), 0) << Log();
  }
  ASSERT_EQ(seen.size(), 2u) << Log();
  WriteFile(dir_ / "first.bmp", seen[0]);
  WriteFile(dir_ / "second.bmp", seen[1]);
  pictures::ExpectPicture(dir_ / "first.bmp", pictures_ + "/really-a-bitmap.gif", "gif");
  pictures::ExpectPicture(dir_ / "second.bmp", pictures_ + "/good.jpg", "jpeg");
  EXPECT_TRUE(ListDir(temp_).empty());
  EXPECT_EQ(ListDir(pictures_).size(), 6u);
  for (const char* name : {"pipe.jpg", "device.jpg"})
    EXPECT_NE(Log().find("file://" + pictures_ + "/" + name + ": not a regular file"), std::string::npos) << Log();
}

// Every file in a folder and below, with its bytes; links as their target.
std::vector<std::string> Snapshot(const std::string& folder) {
  std::vector<std::string> entries;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    std::string line = entry.path().string() + " = ";
    line += entry.is_symlink() ? "-> " + std::filesystem::read_symlink(entry.path()).string()
                               : ReadFile(entry.path().string());
    entries.push_back(line);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

TEST_F(ProgramTest, UsersFilesBesideAPictureAreNeverTouchedWhateverTempHolds) {
  const std::string run = dir_ / "run";
  const std::string too_long = temp_ + "/" + std::string(120, 'd');
  std::filesystem::create_directories(run);
  // Private, as a session's runtime folder is: one open to others is passed over.
  std::filesystem::permissions(run, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
  std::filesystem::create_directories(too_long);
  pictures::Draw("gif", pictures_ + "/sea.gif", 64, 48, 1);
  WriteFile(pictures_ + "/sea.jpg", "the user's own photograph");
  WriteFile(pictures_ + "/sea.bmp", "the user's own bitmap");
  // Links someone planted where fixed names would have been written.
  std::filesystem::create_symlink(pictures_ + "/sea.jpg", temp_ + "/sea.jpg");
  std::filesystem::create_symlink(pictures_ + "/sea.bmp", temp_ + "/sea.bmp");
  WriteFile(folder_ + "/skerrow.cnf", "get-timer:1000\nfile://" + pictures_ + "/sea.gif\n");
  const std::vector<std::string> before = Snapshot(dir_.path());
  struct Case {
    const char* name;
    const char* temp;  // TEMP, null when not set
  } const cases[] = {
      {"not set", nullptr}, {"empty", ""}, {"too long", too_long.c_str()}, {"holding planted links", temp_.c_str()}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(state_);
    {
      Program program(folder_, c.temp, state_, dir_ / "stderr.txt", run);
      ASSERT_EQ(WatchWallpapers(program, 1).size(), 1u) << Log();
      EXPECT_EQ(program.Terminate(), 0) << Log();
    }
    pictures::ExpectPicture(Store(), pictures_ + "/sea.gif", "gif");
    // The conversions ran in a private folder, gone with the program.
    const std::string log = Log();
    EXPECT_NE(log.find("/skerrow-"), std::string::npos) << log;
    std::filesystem::remove_all(state_);
    std::filesystem::remove(dir_ / "stderr.txt");
    EXPECT_EQ(Snapshot(dir_.path()), before);
  }
}

// A killed program's work folder goes at the next start; a running
// program's, and a folder no program marked as its own, stay.
TEST_F(ProgramTest, AKilledProgramsWorkFolderGoesAtTheNextStartARunningOnesStays) {
  auto runtime = [&](const std::string& name) {
    // A runtime folder each, so that the programs run side by side.
    const std::string path = dir_ / name;
    std::filesystem::create_directory(path);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
    return path;
  };
  auto work_folders = [&] {
    std::vector<std::string> names = ListDir(temp_);
    std::erase_if(names, [](const std::string& name) { return !name.starts_with("skerrow-"); });
    return names;
  };
  auto without = [](std::vector<std::string> names, const std::vector<std::string>& gone) {
    std::erase_if(names, [&](const std::string& name) { return std::ranges::count(gone, name) != 0; });
    return names;
  };
  std::filesystem::create_directory(temp_ + "/skerrow-Others");
  std::filesystem::permissions(temp_ + "/skerrow-Others", std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::replace);
  Program running(folder_, temp_.c_str(), state_, dir_ / "running.txt", runtime("run-a"));
  ASSERT_TRUE(testsupport::WaitFor([&] { return work_folders().size() == 2; })) << Log();
  const std::vector<std::string> kept = work_folders();
  std::vector<std::string> killed;
  {
    Program doomed(folder_, temp_.c_str(), state_, dir_ / "killed.txt", runtime("run-b"));
    ASSERT_TRUE(testsupport::WaitFor([&] { return work_folders().size() == 3; }));
    doomed.Signal(SIGKILL);
    ASSERT_TRUE(testsupport::WaitFor([&] { return doomed.Ended(); }));
    killed = without(work_folders(), kept);
  }
  ASSERT_EQ(killed.size(), 1u);
  Program next(folder_, temp_.c_str(), state_, dir_ / "next.txt", dir_ / "run-b");
  EXPECT_TRUE(testsupport::WaitFor([&] {
    std::vector<std::string> now = work_folders();
    return now.size() == 3 && without(now, killed).size() == 3;
  })) << testsupport::ReadFile(dir_ / "next.txt");
  EXPECT_EQ(without(kept, work_folders()), std::vector<std::string>{});
  EXPECT_EQ(running.Terminate(), 0);
}

TEST_F(ProgramTest, WithoutConfigurationNothingRotatesAndClosingEndsWithZero) {
  Program program(folder_, temp_.c_str(), state_, dir_ / "stderr.txt");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(program.Running()) << Log();
  EXPECT_EQ(program.Terminate(), 0) << Log();
  EXPECT_FALSE(testsupport::FileExists(Store()));
  EXPECT_EQ(ListDir(folder_), std::vector<std::string>{"pictures"});
}

TEST_F(ProgramTest, EveryOptionSteersTheRunningProgramWithoutADisplay) {
  for (int i = 0; i < 3; ++i) pictures::Draw("bmp", pictures_ + "/p" + std::to_string(i) + ".bmp", 32, 24, i);
  const std::string in = "file://" + pictures_ + "/";
  WriteFile(folder_ + "/skerrow.cnf", "get-timer:600000\n" + in + "\n");
  EXPECT_EQ(RunOptions({"--next"}).code, 1);  // nobody to steer yet
  Program program(folder_, temp_.c_str(), state_, dir_ / "stderr.txt");
  ASSERT_TRUE(testsupport::WaitFor([&] { return Log().find("wallpaper: ") != std::string::npos; })) << Log();

  const struct {
    std::vector<std::string> options;
    int code;
    std::string out;  // what standard output starts with
    std::string err;  // found in standard error
  } steps[] = {
      {{"--current"}, 0, in + "p0.bmp\n" + state_ + "/skerrow/wallpaper-", ""},
      {{"--next"}, 0, "", ""},
      {{"--current"}, 0, in + "p1.bmp\n", ""},
      {{"--previous"}, 0, "", ""},
      {{"--current"}, 0, in + "p0.bmp\n", ""},
      {{"--pause"}, 0, "", ""},
      {{"--toggle-pause"}, 0, "", ""},
      {{"--resume"}, 0, "", ""},
      {{"--show"}, 0, "", ""},
      {{"--version"}, 0, "skerrow 0.02\n", ""},
      {{"--help"}, 0, "usage: skerrow", ""},
      {{"--sideways"}, 2, "", "usage: skerrow"},
      {{"--next", "--pause"}, 2, "", "usage: skerrow"},
  };
  for (const auto& step : steps) {
    OptionRun run = RunOptions(step.options);
    SCOPED_TRACE(step.options.front() + "\n" + run.out + run.err);
    EXPECT_EQ(run.code, step.code);
    EXPECT_TRUE(run.out.starts_with(step.out));
    EXPECT_NE(run.err.find(step.err), std::string::npos);
  }

  if (geteuid() == 0) {
    // The folder and socket opened to all: the kernel's word on who called
    // still turns another user away.
    const std::string folder = dir_ / ("skerrow-" + std::to_string(geteuid()));
    std::filesystem::permissions(dir_.path(), std::filesystem::perms::others_exec, std::filesystem::perm_options::add);
    std::filesystem::permissions(folder, std::filesystem::perms::all);
    std::filesystem::permissions(folder + "/skerrow-none.socket", std::filesystem::perms::all);
    EXPECT_EQ(testsupport::AnswerAsAnotherUser(folder + "/skerrow-none.socket"), "error refused: the program belongs to another user\n");
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    std::filesystem::permissions(dir_.path(), std::filesystem::perms::owner_all);
  }

  EXPECT_EQ(RunOptions({"--quit"}).code, 0);
  int code = -1;
  EXPECT_TRUE(testsupport::WaitFor([&] { return program.Ended(&code); }));
  EXPECT_EQ(code, 0) << Log();
  OptionRun after = RunOptions({"--current"});
  EXPECT_EQ(after.code, 1);
  EXPECT_NE(after.err.find("no program is running"), std::string::npos) << after.err;
}

}  // namespace
