#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "input/stored_epochs.h"
#include "output/binary_epoch_file.h"
#include "output/session_events.h"

namespace erp2npx::test {

// A fresh directory below the system's temporary folder, removed with
// everything in it when the value goes.
struct TempDir {
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  std::string path;
  std::string file(const std::string& name) const { return path + "/" + name; }
};

// Contents of an input file, dataset by dataset. Datasets named in omit are
// not written; "/features" holds 1024 values per stimulus.
struct InputFileContents {
  std::vector<int32_t> codes, databaseIds, matrixDims, matrixIndexes, runIndexes, sequences,
      subjects, target, trials;
  std::vector<double> erpLabels, features;
  std::set<std::string> omit;
  bool chunkedCompressed = false;
  bool bigEndian = false;
};

// A small consistent dataset: one database, one 6-by-6 session of the given
// trials, stimuli per trial, and features value = s * 1024 + i + 0.5.
InputFileContents smallInput(int trials = 2, int stimuliPerTrial = 3);

void writeInputFile(const std::string& path, const InputFileContents& contents);

// How a dataset is stored when it takes the place of one of an input file.
struct Stored {
  std::vector<unsigned long long> dims;    // default: one dimension of all values
  std::vector<unsigned long long> chunk;   // empty: contiguous
  std::set<unsigned long long> unwritten;  // chunks along the first dimension never written
  double fill = 0;                         // what values never written read as
  std::string external;                    // the raw values kept in this file instead
  bool bigEndian = false;
  int deflate = -1;  // the level, when deflated
  bool shuffle = false, fletcher32 = false;
  std::vector<unsigned long long>
      rowOrder;  // the order chunk rows are written in, if not 0, 1, ...
};
void storeDataset(const std::string& path, const char* name, const std::vector<double>& values,
                  const Stored& how);
void storeDataset(const std::string& path, const char* name, const std::vector<int32_t>& values,
                  const Stored& how);
void storeDataset(const std::string& path, const char* name, const std::vector<float>& values,
                  const Stored& how);

// The epochs of "/features" of the file at path, opened as the load opens
// them; empty when the file or the dataset cannot be opened.
StoredEpochs openFeatures(const std::string& path, size_t epochCount);

// Every value a stream hands out, in stimulus order, for epochCount epochs;
// failed gets the epochs it gave up instead, reasons why.
std::vector<float> streamedValues(const EpochStream& stream, size_t epochCount,
                                  std::set<size_t>* failed = nullptr,
                                  std::set<std::string>* reasons = nullptr);
std::vector<float> streamedValues(const StoredEpochs& epochs);

// Epochs held in memory, narrowed from double values as "/features" is: the
// epoch source of the walks run inside the tests.
class InMemoryEpochs {
 public:
  InMemoryEpochs() = default;
  InMemoryEpochs(const std::vector<double>& features, size_t epochCount);

  size_t epochCount() const { return epochCount_; }
  // Every value once, the epochs in the given storage order (ascending when
  // empty); those in failing are given up instead.
  EpochStream stream(std::vector<size_t> order = {}, std::set<size_t> failing = {}) const;

 private:
  std::shared_ptr<const std::vector<float>> values_;
  size_t epochCount_ = 0;
};

// A binary epoch file as the converter's own reader sees it: the decoded
// header, the file's size and every value of the data block; all empty when
// the file cannot be opened.
struct EpochFile {
  EpochFileHeader header;
  uint64_t size = 0;
  std::vector<float> values;
};
EpochFile readEpochFile(const std::string& path);
// The fields of a header, for comparing two in one expectation.
inline auto fieldsOf(const EpochFileHeader& h) {
  return std::tie(h.magic, h.version, h.headerLength, h.rate, h.positions, h.channelCount,
                  h.reserved, h.channelNames, h.namesTerminated);
}

void writeTextFile(const std::string& path, const std::string& text);
std::string readFile(const std::string& path);
bool exists(const std::string& path);

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
  int killedBy = 0;  // the signal that ended it, by runProgramWith only

  // A subject file with a sound line for each of subjects 0 to subjects - 1.
  void writeSubjectFile(const std::string& path, int subjects);
};

// Runs a program with the given working directory and arguments; standard
// output is captured, standard error discarded.
RunResult runProgram(const std::string& program, const std::string& workingDirectory,
                     const std::vector<std::string>& arguments = {});

// What runProgramWith gives the program besides its working directory.
struct RunSetup {
  int standardOutput = -1;       // a descriptor for standard output, -1 to capture it
  long long fileSizeLimit = -1;  // in bytes, -1 for none
};

// Runs a program with the given standard output and limits, capturing what
// it writes to standard error too. The signals that a limit or a closed pipe
// send are at their defaults in it, whatever the caller's are.
RunResult runProgramWith(const std::string& program, const std::string& workingDirectory,
                         const RunSetup& setup);

// A subject file with a sound line for each of subjects 0 to subjects - 1.
void writeSubjectFile(const std::string& path, int subjects);

// The converter as built, and a copy of it with the encoder files beside it.
std::string converterPath();
// Copies the converter and the shipped encoder files into directory.
void installConverter(const std::string& directory);

// Runs a program as the unprivileged user nobody, for tests of file
// permissions (root ignores them); needs root. The program's folder is made
// readable; the working directory's permissions are the caller's choice.
RunResult runAsNobody(const std::string& program, const std::string& workingDirectory,
                      const std::vector<std::string>& arguments = {});

// Whether this build runs under the address or thread sanitizer, which
// reserve address space and threads of their own and slow everything down.
constexpr bool underSanitizer() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

// The events of the worked example session: one 6-by-6 trial of three epochs
// with the codes 2, 7 and 5, the first two targets, the target row code 2 and
// column code 7; and its "Events" element as saved inside a header.
SessionEvents workedExampleEvents();
extern const char kWorkedExampleEventsText[];
// The opening of the paradigm section, up to its Paradigm element.
extern const char kParadigmLines[];

// Every regular file below root, relative path to size, sorted.
std::map<std::string, uint64_t> listTree(const std::string& root);

}  // namespace erp2npx::test
