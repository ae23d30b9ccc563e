// A conversion stopped at any moment leaves no truncated file under a final
// name, and a rerun over the same tree completes it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <pugixml.hpp>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "common/work_queue.h"
#include "driver/conversion_run.h"
#ifdef NPXCHECK_EXECUTABLE
#include "npxcheck/command_line.h"
#endif
#include "test_support.h"

namespace erp2npx::test {
namespace {

namespace fs = std::filesystem;

// Runs the conversion in a child process, in workingDirectory with the
// faults in force, and waits for it; its standard error goes to errorFile.
int convertInChild(const std::string& workingDirectory, const WorkFaults& faults,
                   const std::string& errorFile = "/dev/null") {
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(workingDirectory.c_str()) != 0) _exit(127);
    const int null = open("/dev/null", O_WRONLY);
    const int error = open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(null, STDOUT_FILENO);
    dup2(error, STDERR_FILENO);
    const ScopedWorkFaults inForce(faults);
    try {
      _exit(runConversion());
    } catch (...) {
      std::abort();  // as the converter's own main would end
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

// Sends the signal to the whole process when the given job of any queue
// is about to run: at a fixed point of the work, wherever the threads are.
WorkFaults signalAtJob(int signalNumber, int job, bool threads) {
  WorkFaults faults;
  faults.beforeJob = [signalNumber, job, jobs = std::make_shared<std::atomic<int>>(0)] {
    if (++*jobs == job) kill(getpid(), signalNumber);
  };
  // Without threads every job runs on the calling thread, in one order.
  if (!threads) {
    faults.startThread = [](std::function<void()>) -> std::thread {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
  }
  return faults;
}

std::set<std::string> partialFiles(const std::string& root) {
  std::set<std::string> partials;
  for (const auto& entry : listTree(root)) {
    if (fs::path(entry.first).extension() == ".partial") partials.insert(entry.first);
  }
  return partials;
}

// Every file under a final name is complete and agrees with its partner.
void expectCompleteFiles(const std::string& root) {
  for (const auto& [relative, size] : listTree(root)) {
    const fs::path path = fs::path(root) / relative;
    if (path.extension() == ".bin") {
      const EpochFile file = readEpochFile(path.string());
      ASSERT_GE(file.size, 160u) << relative;
      EXPECT_EQ(size, 160u + 32ull * static_cast<uint32_t>(file.header.positions)) << relative;
    } else if (path.extension() == ".npx") {
      pugi::xml_document document;
      ASSERT_TRUE(document.load_file(path.c_str())) << relative;
      EXPECT_TRUE(document.child("DOC").child("P2731").child("Transducer")) << relative;
      fs::path bin = path;
      bin.replace_extension(".bin");
      ASSERT_TRUE(fs::exists(bin)) << relative;  // headers are written after their file
    }
  }
}

std::string treeContents(const std::string& root) {
  std::string all;
  for (const auto& entry : listTree(root)) {
    if (entry.first.rfind("DB_", 0) == 0)
      all += entry.first + "\n" + readFile(root + "/" + entry.first);
  }
  return all;
}

TEST(Interruption, KilledOrInterruptedRunsLeaveOnlyCompleteFiles) {
  TempDir bin;
  installConverter(bin.path);
  TempDir reference;
  ASSERT_EQ(0, runProgram(ERP2NPX_GENERATOR, reference.path, {"--stimuli", "30000"}).exitCode);
  ASSERT_EQ(0, runProgram(bin.path + "/erp2npx", reference.path).exitCode);
  const std::string expected = treeContents(reference.path);

  TempDir work;
  ASSERT_EQ(0, runProgram(ERP2NPX_GENERATOR, work.path, {"--stimuli", "30000"}).exitCode);
  // Points through the run, each a job further on than the last.
  const struct {
    int signalNumber;
    int job;
    bool threads;
  } stops[] = {{SIGKILL, 30, false}, {SIGINT, 60, false}, {SIGTERM, 90, true},
               {SIGKILL, 120, true}, {SIGINT, 150, true}, {SIGKILL, 180, false}};
  for (const auto& stop : stops) {
    const std::set<std::string> partialsBefore = partialFiles(work.path);
    const int status =
        convertInChild(work.path, signalAtJob(stop.signalNumber, stop.job, stop.threads));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == stop.signalNumber) << stop.job;
    expectCompleteFiles(work.path);
    // A caught interrupt removes the temporary files it was writing; only a
    // kill leaves them behind (a later run replaces them).
    if (stop.signalNumber != SIGKILL) {
      for (const std::string& partial : partialFiles(work.path)) {
        EXPECT_TRUE(partialsBefore.count(partial)) << partial;
      }
    } else if (!stop.threads) {
      EXPECT_FALSE(partialFiles(work.path).empty()) << stop.job;
    }
  }
  EXPECT_EQ(0, runProgram(bin.path + "/erp2npx", work.path).exitCode);
  expectCompleteFiles(work.path);
  EXPECT_TRUE(partialFiles(work.path).empty());
  EXPECT_TRUE(treeContents(work.path) == expected);
}

TEST(Interruption, AnErrorNothingHandlesStopsTheRunWithItsText) {
  TempDir work;
  ASSERT_EQ(0, runProgram(ERP2NPX_GENERATOR, work.path, {"--stimuli", "600"}).exitCode);
  TempDir logs;
  WorkFaults faults;
  faults.startThread = [](std::function<void()>) -> std::thread {
    throw std::logic_error("a fault of the test");
  };
  const int status = convertInChild(work.path, faults, logs.file("err"));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(readFile(logs.file("err")),
            "erp2npx: stopped by an unexpected error: a fault of the test\n");
  EXPECT_TRUE(partialFiles(work.path).empty());
#ifdef NPXCHECK_EXECUTABLE
  // npxcheck reports what it could compare, and the source as a problem.
  ASSERT_EQ(0, runProgram(converterPath(), work.path).exitCode);
  const ScopedWorkFaults inForce(faults);
  std::ostringstream out, err;
  EXPECT_EQ(1, npxcheck::runNpxcheck({work.path, "--source", work.file("QUOLMET ERP-BCI.hdf5")},
                                     out, err));
  EXPECT_NE(out.str().find("QUOLMET ERP-BCI.hdf5: its samples could not all be compared: a fault "
                           "of the test\n"),
            std::string::npos)
      << out.str();
#endif
}

}  // namespace
}  // namespace erp2npx::test
