// A conversion stopped at any moment leaves no truncated file under a final
// name, and a rerun over the same tree completes it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <pugixml.hpp>
#include <set>
#include <thread>

#include "test_support.h"

namespace erp2npx::test {
namespace {

namespace fs = std::filesystem;

pid_t startConverter(const std::string& program, const std::string& workingDirectory) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(workingDirectory.c_str()) != 0) _exit(127);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

uint32_t le32(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[offset + i]);
  return value;
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
      const std::string bytes = readFile(path.string());
      ASSERT_GE(bytes.size(), 160u) << relative;
      EXPECT_EQ(size, 160u + 32ull * le32(bytes, 20)) << relative;
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
  const int signals[] = {SIGKILL, SIGINT, SIGTERM, SIGKILL, SIGINT, SIGKILL};
  int delayMs = 15;
  for (const int signalNumber : signals) {
    const std::set<std::string> partialsBefore = partialFiles(work.path);
    const pid_t pid = startConverter(bin.path + "/erp2npx", work.path);
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    kill(pid, signalNumber);
    int status = 0;
    waitpid(pid, &status, 0);
    expectCompleteFiles(work.path);
    // A caught interrupt removes the temporary file it was writing; only a
    // kill leaves one behind (a later run replaces it).
    if (signalNumber != SIGKILL) {
      for (const std::string& partial : partialFiles(work.path)) {
        EXPECT_TRUE(partialsBefore.count(partial)) << partial;
      }
    }
    delayMs += 20;
  }
  EXPECT_EQ(0, runProgram(bin.path + "/erp2npx", work.path).exitCode);
  expectCompleteFiles(work.path);
  EXPECT_TRUE(partialFiles(work.path).empty());
  EXPECT_TRUE(treeContents(work.path) == expected);
}

}  // namespace
}  // namespace erp2npx::test
