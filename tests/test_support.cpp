#include "test_support.h"

#include <hdf5.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/console.h"
#include "input/dataset_storage.h"
#include "input/hdf5_handle.h"
#include "input/input_file.h"
#include "input/input_reader.h"
#include "input_writer.h"

namespace erp2npx::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "erp2npx-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Make everything removable again, whatever a test changed.
  for (auto it = fs::recursive_directory_iterator(path, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(path, ignored);
}

InputFileContents smallInput(int trials, int stimuliPerTrial) {
  InputFileContents c;
  c.matrixDims = {6, 6};
  int32_t s = 0;
  for (int t = 0; t < trials; ++t) {
    c.target.insert(c.target.end(), {0, 0, 0, t, 0, t % 6, 6 + (t + 1) % 6});
    for (int k = 0; k < stimuliPerTrial; ++k, ++s) {
      c.codes.push_back((s * 5) % 12);
      c.databaseIds.push_back(0);
      c.erpLabels.push_back(k == 0 ? 1.0 : 0.0);
      c.matrixIndexes.push_back(k);
      c.runIndexes.push_back(0);
      c.sequences.push_back(0);
      c.subjects.push_back(0);
      c.trials.push_back(t);
    }
  }
  c.features.resize(static_cast<size_t>(s) * 1024);
  for (size_t i = 0; i < c.features.size(); ++i) c.features[i] = static_cast<double>(i) + 0.5;
  return c;
}

namespace {

namespace writer = input_writer;

template <typename T>
void writeDataset(hid_t file, const char* name, const std::vector<T>& values,
                  const InputFileContents& c, hid_t fileType, hid_t memType) {
  if (c.omit.count(name) != 0) return;
  writer::Layout layout;
  layout.dims = {values.size()};
  if (c.chunkedCompressed && !values.empty()) {
    layout.chunk = {std::min<hsize_t>(values.size(), 1000)};
    layout.filters = {{writer::Filter::kDeflate, 6}};
  }
  if (!writer::writeDataset(file, name, fileType, layout, memType, values.data()).valid()) {
    throw std::runtime_error(std::string("cannot write ") + name);
  }
}

}  // namespace

void writeInputFile(const std::string& path, const InputFileContents& c) {
  const Hid file = writer::createFile(path);
  if (!file.valid()) throw std::runtime_error("cannot create " + path);
  const hid_t intType = c.bigEndian ? H5T_STD_I32BE : H5T_STD_I32LE;
  const hid_t doubleType = c.bigEndian ? H5T_IEEE_F64BE : H5T_IEEE_F64LE;
  const hid_t f = file.get();
  writeDataset(f, "/codes", c.codes, c, intType, H5T_NATIVE_INT32);
  writeDataset(f, "/database_ids", c.databaseIds, c, intType, H5T_NATIVE_INT32);
  writeDataset(f, "/erp_labels", c.erpLabels, c, doubleType, H5T_NATIVE_DOUBLE);
  writeDataset(f, "/features", c.features, c, doubleType, H5T_NATIVE_DOUBLE);
  writeDataset(f, "/matrix_dims", c.matrixDims, c, intType, H5T_NATIVE_INT32);
  writeDataset(f, "/matrix_indexes", c.matrixIndexes, c, intType, H5T_NATIVE_INT32);
  writeDataset(f, "/run_indexes", c.runIndexes, c, intType, H5T_NATIVE_INT32);
  writeDataset(f, "/sequences", c.sequences, c, intType, H5T_NATIVE_INT32);
  writeDataset(f, "/subjects", c.subjects, c, intType, H5T_NATIVE_INT32);
  writeDataset(f, "/target", c.target, c, intType, H5T_NATIVE_INT32);
  writeDataset(f, "/trials", c.trials, c, intType, H5T_NATIVE_INT32);
}

namespace {

template <typename T>
void storeValues(const std::string& path, const char* name, const std::vector<T>& values,
                 const Stored& how, hid_t fileType, hid_t memType) {
  const Hid file = writer::openFile(path);
  if (!file.valid()) throw std::runtime_error("cannot open " + path);
  writer::unlink(file.get(), name);
  writer::Layout layout;
  layout.dims = how.dims.empty() ? std::vector<hsize_t>{values.size()}
                                 : std::vector<hsize_t>(how.dims.begin(), how.dims.end());
  const std::vector<hsize_t>& dims = layout.dims;
  const T fill = static_cast<T>(how.fill);
  layout.fillType = memType;
  layout.fill = &fill;
  if (!how.chunk.empty()) {
    layout.chunk.assign(how.chunk.begin(), how.chunk.end());
    if (how.fletcher32) layout.filters.push_back({writer::Filter::kFletcher32});
    if (how.shuffle) layout.filters.push_back({writer::Filter::kShuffle});
    if (how.deflate >= 0) {
      layout.filters.push_back({writer::Filter::kDeflate, static_cast<unsigned>(how.deflate)});
    }
  }
  layout.external = how.external;
  layout.externalBytes = values.size() * sizeof(T);
  const Hid dataset = writer::createDataset(file.get(), name, fileType, layout);
  if (!dataset.valid()) throw std::runtime_error(std::string("cannot create ") + name);
  // Chunk rows along the first dimension, each written unless it is to stay
  // unwritten.
  // Rows beyond the values given stay unwritten: a dataset may declare far
  // more than it stores.
  const hsize_t rows = how.chunk.empty() ? dims[0] : how.chunk[0];
  hsize_t rowValues = 1;
  for (size_t d = 1; d < dims.size(); ++d) rowValues *= dims[d];
  std::vector<unsigned long long> order = how.rowOrder;
  if (order.empty()) {
    for (hsize_t first = 0, index = 0; first < dims[0] && first * rowValues < values.size();
         first += rows, ++index) {
      order.push_back(index);
    }
  }
  for (const unsigned long long index : order) {
    const hsize_t first = index * rows;
    if (how.unwritten.count(index) != 0 || first >= dims[0]) continue;
    const hsize_t count = std::min(rows, dims[0] - first);
    if ((first + count) * rowValues > values.size()) continue;
    if (count * rowValues > 0 && writer::writeRows(dataset.get(), memType, first, count,
                                                   values.data() + first * rowValues) < 0) {
      throw std::runtime_error(std::string("cannot write ") + name);
    }
  }
}

}  // namespace

void storeDataset(const std::string& path, const char* name, const std::vector<double>& values,
                  const Stored& how) {
  storeValues(path, name, values, how, how.bigEndian ? H5T_IEEE_F64BE : H5T_IEEE_F64LE,
              H5T_NATIVE_DOUBLE);
}

void storeDataset(const std::string& path, const char* name, const std::vector<float>& values,
                  const Stored& how) {
  storeValues(path, name, values, how, how.bigEndian ? H5T_IEEE_F32BE : H5T_IEEE_F32LE,
              H5T_NATIVE_FLOAT);
}

void storeDataset(const std::string& path, const char* name, const std::vector<int32_t>& values,
                  const Stored& how) {
  storeValues(path, name, values, how, how.bigEndian ? H5T_STD_I32BE : H5T_STD_I32LE,
              H5T_NATIVE_INT32);
}

StoredEpochs openFeatures(const std::string& path, size_t epochCount) {
  const std::shared_ptr<InputFile> file = InputFile::open(path).file;
  if (!file) return StoredEpochs();
  Console console = Console::collecting();
  return InputReader(file, path, console).openFeatures(epochCount, kEpochValues).epochs;
}

std::vector<float> streamedValues(const EpochStream& stream, size_t epochCount,
                                  std::set<size_t>* failed, std::set<std::string>* reasons) {
  std::vector<float> values(epochCount * kEpochValues, 0.0f);
  EpochConsumer consumer;
  consumer.values = [&](uint64_t first, const float* run, size_t count, const ValuesHold&) {
    if (first + count > values.size()) throw std::runtime_error("a value beyond the epochs");
    std::copy(run, run + count, values.begin() + static_cast<std::ptrdiff_t>(first));
  };
  consumer.failed = [&](uint64_t first, uint64_t count, const std::string& reason) {
    if (reasons != nullptr) reasons->insert(reason);
    for (uint64_t s = first / kEpochValues; count > 0 && s <= (first + count - 1) / kEpochValues;
         ++s) {
      if (failed != nullptr) failed->insert(static_cast<size_t>(s));
    }
  };
  stream(consumer);
  return values;
}

std::vector<float> streamedValues(const StoredEpochs& epochs) {
  return streamedValues([&](const EpochConsumer& consumer) { epochs.stream(consumer); },
                        epochs.epochCount());
}

InMemoryEpochs::InMemoryEpochs(const std::vector<double>& features, size_t epochCount)
    : epochCount_(epochCount) {
  auto values = std::make_shared<std::vector<float>>(epochCount * kEpochValues, 0.0f);
  narrowToFloat(features.data(), std::min(features.size(), values->size()), values->data());
  values_ = std::move(values);
}

EpochStream InMemoryEpochs::stream(std::vector<size_t> order, std::set<size_t> failing) const {
  if (order.empty()) {
    for (size_t e = 0; e < epochCount_; ++e) order.push_back(e);
  }
  return [values = values_, order, failing](const EpochConsumer& consumer) {
    for (const size_t e : order) {
      if (failing.count(e) != 0) {
        consumer.failed(e * kEpochValues, kEpochValues, "reading the epochs failed");
      } else {
        consumer.values(e * kEpochValues, values->data() + e * kEpochValues, kEpochValues, nullptr);
      }
    }
  };
}

EpochFile readEpochFile(const std::string& path) {
  EpochFile file;
  EpochFileReader reader;
  if (!reader.open(path).ok()) return file;
  file.header = reader.header();
  file.size = reader.fileSize();
  const uint64_t offset = dataOffset(file.header);
  file.values.resize(file.size > offset ? (file.size - offset) / sizeof(float) : 0);
  if (!reader.readValues(0, file.values.size(), file.values.data())) file.values.clear();
  return file;
}

void writeTextFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool exists(const std::string& path) {
  std::error_code ignored;
  return fs::exists(path, ignored);
}

RunResult runProgram(const std::string& program, const std::string& workingDirectory,
                     const std::vector<std::string>& arguments) {
  std::string command = "cd '" + workingDirectory + "' && '" + program + "'";
  for (const std::string& argument : arguments) command += " '" + argument + "'";
  char errPath[] = "/tmp/erp2npx-stderr-XXXXXX";
  const int errFile = mkstemp(errPath);
  if (errFile < 0) return {};
  close(errFile);
  command += " 2>'" + std::string(errPath) + "'";
  RunResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe != nullptr) {
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, got);
    const int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.err = readFile(errPath);
  }
  unlink(errPath);
  return result;
}

RunResult runProgramWith(const std::string& program, const std::string& workingDirectory,
                         const RunSetup& setup) {
  RunResult result;
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (pipe(err) != 0 || (setup.standardOutput < 0 && pipe(out) != 0)) return result;
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGPIPE, SIG_DFL);
    signal(SIGXFSZ, SIG_DFL);
    if (setup.fileSizeLimit >= 0) {
      const rlim_t bytes = static_cast<rlim_t>(setup.fileSizeLimit);
      const struct rlimit limit = {bytes, bytes};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
    dup2(setup.standardOutput >= 0 ? setup.standardOutput : out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    if (chdir(workingDirectory.c_str()) != 0) _exit(127);
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(err[1]);
  if (out[1] >= 0) close(out[1]);
  std::vector<pollfd> open = {{err[0], POLLIN, 0}};
  if (out[0] >= 0) open.push_back({out[0], POLLIN, 0});
  while (!open.empty() && poll(open.data(), open.size(), -1) >= 0) {
    for (size_t i = open.size(); i-- > 0;) {
      if (open[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = read(open[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        (open[i].fd == err[0] ? result.err : result.out).append(buffer, static_cast<size_t>(got));
      } else {
        close(open[i].fd);
        open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return result;
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.killedBy = WTERMSIG(status);
  return result;
}

void writeSubjectFile(const std::string& path, int subjects) {
  std::string text = "Study\tSubject\tSessions\tSex\tAge\tCondition\tTrials\n";
  for (int s = 0; s < subjects; ++s)
    text += "S" + std::to_string(s + 1) + "\t1\t1\tF\t30\thealthy\t2\n";
  writeTextFile(path, text);
}

std::string converterPath() { return ERP2NPX_EXECUTABLE; }

void installConverter(const std::string& directory) {
  fs::create_directories(directory);
  fs::copy_file(converterPath(), directory + "/erp2npx", fs::copy_options::overwrite_existing);
  for (const auto& entry : fs::directory_iterator(ERP2NPX_DATA_DIR)) {
    if (entry.path().extension() == ".enc") {
      fs::copy_file(entry.path(), directory + "/" + entry.path().filename().string(),
                    fs::copy_options::overwrite_existing);
    }
  }
}

RunResult runAsNobody(const std::string& program, const std::string& workingDirectory,
                      const std::vector<std::string>& arguments) {
  fs::permissions(fs::path(program).parent_path(), fs::perms::others_read | fs::perms::others_exec,
                  fs::perm_options::add);
  std::vector<std::string> command = {"--reuid=65534", "--regid=65534", "--clear-groups", program};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return runProgram("/usr/bin/setpriv", workingDirectory, command);
}

SessionEvents workedExampleEvents() {
  SessionEvents events;
  events.codeOffsets = {{2, {0}}, {5, {256}}, {7, {128}}};
  events.targetOffsets = {0, 128};
  events.standardOffsets = {256};
  events.trialSpans[0] = TrialSpan{0, 384};
  events.trialTargetRow[0] = 2;
  events.trialTargetColumn[0] = 7;
  events.totalSamples = 384;
  return events;
}

// The opening of the paradigm section, up to its Paradigm element.
const char kParadigmLines[] =
    "\t<P2731>\n"
    "\t\t<Paradigm Type=\"P300\">\n"
    "\t\t\t<P300>\n"
    "\t\t\t\t<Iterations max=\"0\" min=\"0\" />\n"
    "\t\t\t\t<ISI max=\"0\" min=\"0\" />\n"
    "\t\t\t</P300>\n"
    "\t\t</Paradigm>\n";

const char kWorkedExampleEventsText[] =
    "\t<Events ResolutionSR=\"128\">\n"
    "\t\t<Type Class=\"1\" Mode=\"2\" Name=\"Row3\">\n"
    "\t\t\t<Event VSB=\"0\" />\n"
    "\t\t</Type>\n"
    "\t\t<Type Class=\"1\" Mode=\"2\" Name=\"Row6\">\n"
    "\t\t\t<Event VSB=\"256\" />\n"
    "\t\t</Type>\n"
    "\t\t<Type Class=\"1\" Mode=\"2\" Name=\"Col2\">\n"
    "\t\t\t<Event VSB=\"128\" />\n"
    "\t\t</Type>\n"
    "\t\t<Type Class=\"1\" Mode=\"2\" Name=\"Target\">\n"
    "\t\t\t<Event VSB=\"0\" />\n"
    "\t\t\t<Event VSB=\"128\" />\n"
    "\t\t</Type>\n"
    "\t\t<Type Class=\"1\" Mode=\"2\" Name=\"Standard\">\n"
    "\t\t\t<Event VSB=\"256\" />\n"
    "\t\t</Type>\n"
    "\t\t<Type Class=\"2\" Mode=\"2\" Name=\"Trial\">\n"
    "\t\t\t<Event VSB=\"0\" VSE=\"384\" />\n"
    "\t\t</Type>\n"
    "\t\t<Type Class=\"2\" Mode=\"2\" Name=\"N\">\n"
    "\t\t\t<Event VSB=\"0\" VSE=\"257\" />\n"
    "\t\t</Type>\n"
    "\t</Events>\n";

std::map<std::string, uint64_t> listTree(const std::string& root) {
  std::map<std::string, uint64_t> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) {
      files[fs::relative(entry.path(), root).string()] = entry.file_size();
    }
  }
  return files;
}

}  // namespace erp2npx::test
