// Small HDF5 input files of every make the fuzz input asks for (datasets
// absent or of other element types, lengths and shapes, stored chunked,
// compressed, compact, partly or not at all, or outside the file: raw values
// in another file, virtual, or behind an external link), converted by the
// real converter in a folder of their own. No sample of a chunk never written
// and no value kept outside the input file may reach an output. The converter must end with 0 or 1,
// never by a signal or a sanitizer report, and leave only complete, self-consistent file pairs. An
// input whose datasets all hold what they should must convert whole.

#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <hdf5.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "input/hdf5_handle.h"
#include "input_writer.h"

namespace fs = std::filesystem;
using erp2npx::Hid;
namespace writer = erp2npx::input_writer;

namespace {

constexpr int kMaxStimuli = 12;
constexpr size_t kEpochFloats = 1024;
constexpr unsigned kConverterSeconds = 30;

std::string baseFolder;

// How the runs went, printed when the fuzzer ends: the sound-input check is
// only as good as the share of inputs it applies to.
struct Tally {
  uint64_t runs = 0, sound = 0, foreign = 0, exitZero = 0, epochs = 0;
} tally;

void printTally() {
  std::fprintf(stderr,
               "fuzz_hdf5_input: %llu conversions, %llu of sound inputs, %llu with values "
               "outside the file, %llu ended with 0, %llu epochs written\n",
               static_cast<unsigned long long>(tally.runs),
               static_cast<unsigned long long>(tally.sound),
               static_cast<unsigned long long>(tally.foreign),
               static_cast<unsigned long long>(tally.exitZero),
               static_cast<unsigned long long>(tally.epochs));
}

std::string readWhole(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string failureContext;

[[noreturn]] void fail(const std::string& what) { erp2npx::fuzz::fail(what, failureContext); }

bool rare(FuzzedDataProvider& fdp) { return fdp.ConsumeIntegralInRange(0, 7) == 7; }

enum class StoredType {
  kNominal,  // 32-bit little-endian integer or 64-bit little-endian float
  kInt32BE,
  kInt16,
  kInt64,
  kUInt8,
  kFloat32,
  kFloat64,
  kFloat64BE,
  kFixedString,
  kVariableString,
  kOpaque,
  kCompound,
  kLast = kCompound
};

enum class Shape { kFlat, kTwoDims, kManyDims, kScalar, kNull, kLast = kNull };

enum class Storage {
  kContiguous,
  kCompact,
  kChunked,
  kDeflate,
  kShuffleDeflateChecksum,
  kNotAllocated,
  kPartlyWritten,
  // Values from outside the input file, which must never be read.
  kExternalRaw,
  kVirtual,
  kExternalLink,
  kLast = kExternalLink
};

// What a sample reads as where its chunk was never written, and what the
// samples kept outside the input file hold: neither may reach an output.
constexpr double kUnwrittenSample = -31337.25;
constexpr double kForeignSample = 4242.5;

// One of the datasets the converter reads, with what a sound file holds.
struct DatasetSpec {
  const char* name;
  bool isDouble;
  uint64_t count;
  int32_t maxValue;   // nominal values are 0 to maxValue
  bool valuesMatter;  // out-of-range values keep the file from converting whole
};

Hid makeType(StoredType type, bool isDouble, FuzzedDataProvider& fdp) {
  auto copy = [](hid_t t) { return erp2npx::datatypeHandle(H5Tcopy(t)); };
  switch (type) {
    case StoredType::kNominal:
      return copy(isDouble ? H5T_IEEE_F64LE : H5T_STD_I32LE);
    case StoredType::kInt32BE:
      return copy(H5T_STD_I32BE);
    case StoredType::kInt16:
      return copy(H5T_STD_I16LE);
    case StoredType::kInt64:
      return copy(H5T_STD_I64LE);
    case StoredType::kUInt8:
      return copy(H5T_STD_U8LE);
    case StoredType::kFloat32:
      return copy(H5T_IEEE_F32LE);
    case StoredType::kFloat64:
      return copy(H5T_IEEE_F64LE);
    case StoredType::kFloat64BE:
      return copy(H5T_IEEE_F64BE);
    case StoredType::kFixedString: {
      Hid t = copy(H5T_C_S1);
      H5Tset_size(t.get(), fdp.ConsumeIntegralInRange<size_t>(1, 8));
      return t;
    }
    case StoredType::kVariableString: {
      Hid t = copy(H5T_C_S1);
      H5Tset_size(t.get(), H5T_VARIABLE);
      return t;
    }
    case StoredType::kOpaque:
      return erp2npx::datatypeHandle(H5Tcreate(H5T_OPAQUE, isDouble ? 8 : 4));
    case StoredType::kCompound: {
      Hid t = erp2npx::datatypeHandle(H5Tcreate(H5T_COMPOUND, 8));
      H5Tinsert(t.get(), "a", 0, H5T_STD_I32LE);
      H5Tinsert(t.get(), "b", 4, H5T_STD_I32LE);
      return t;
    }
  }
  return Hid();
}

// The documented order of the values, read in storage order whatever the
// dataspace, holds only while the last dimension that varies is the
// innermost group of values: the 8 channels of a sample or the 1024 values
// of an epoch, the 7 values of a trial, the rows and columns of a session.
bool shapeFollowsOrder(const std::string& name, const std::vector<hsize_t>& dims) {
  std::vector<hsize_t> varying;
  for (const hsize_t d : dims) {
    if (d == 0) return true;
    if (d > 1) varying.push_back(d);
  }
  if (varying.size() < 2) return true;
  const hsize_t last = varying.back();
  if (name == "/features") return last == 8 || last == kEpochFloats;
  if (name == "/target") return last == 7;
  if (name == "/matrix_dims") return last == 2;
  return true;
}

bool isNumeric(StoredType type) {
  return type != StoredType::kFixedString && type != StoredType::kVariableString &&
         type != StoredType::kOpaque && type != StoredType::kCompound;
}

// Largest divisor of n not above limit (at least 1).
hsize_t divisorUpTo(hsize_t n, hsize_t limit) {
  for (hsize_t d = std::max<hsize_t>(1, std::min(n, limit)); d > 1; --d) {
    if (n % d == 0) return d;
  }
  return 1;
}

// Values kept outside the input file, where the converter must not look: raw
// values in another file, a virtual dataset over a hidden one, or an external
// link into another file. Their samples are kForeignSample; their other
// values the nominal ones, so only a refusal can keep them out.
void writeForeignDataset(hid_t file, const std::string& folder, FuzzedDataProvider& fdp,
                         const DatasetSpec& spec, Storage storage,
                         const std::vector<double>& nominal) {
  std::vector<double> values = nominal;
  if (spec.isDouble && std::string(spec.name) == "/features") {
    std::fill(values.begin(), values.end(), kForeignSample);
  }
  const hsize_t count = values.size();
  const hid_t fileType = spec.isDouble ? H5T_IEEE_F64LE : H5T_STD_I32LE;
  std::vector<int32_t> ints(values.begin(), values.end());
  const void* data = spec.isDouble ? static_cast<const void*>(values.data()) : ints.data();
  const hid_t memType = spec.isDouble ? H5T_NATIVE_DOUBLE : H5T_NATIVE_INT32;
  auto create = [&](hid_t where, const char* name, writer::Layout layout) {
    layout.dims = {count};
    writer::writeDataset(where, name, fileType, layout, memType, data);
  };
  const std::string other = folder + "/other.hdf5";
  auto openOther = [&] {
    return fs::exists(other) ? writer::openFile(other) : writer::createFile(other);
  };
  writer::Layout layout;
  if (storage == Storage::kExternalRaw) {
    layout.external = folder + "/foreign" + std::string(spec.name).substr(1) + ".raw";
    layout.externalBytes = count * (spec.isDouble ? 8 : 4);
    create(file, spec.name, layout);
  } else if (storage == Storage::kVirtual) {
    const std::string hidden = std::string("/hidden") + (spec.name + 1);
    create(file, hidden.c_str(), {});
    layout.virtualFile = fdp.ConsumeBool() ? "." : "other.hdf5";
    layout.virtualDataset = hidden;
    if (fdp.ConsumeBool()) {
      // The same hidden dataset in another file, for the mapping that names it.
      const Hid otherFile = openOther();
      if (otherFile.valid()) create(otherFile.get(), hidden.c_str(), {});
    }
    create(file, spec.name, layout);
  } else {
    {
      const Hid otherFile = openOther();
      if (otherFile.valid()) create(otherFile.get(), spec.name, {});
    }
    writer::externalLink(file, spec.name, "other.hdf5", spec.name);
  }
}

// Writes one dataset as the fuzz input says; clears clean when the file no
// longer holds exactly the nominal values, and sets foreign when values the
// run must use would come from outside the input file.
void writeDataset(hid_t file, const std::string& folder, FuzzedDataProvider& fdp,
                  const DatasetSpec& spec, const std::vector<double>& nominal, bool& clean,
                  bool& foreign) {
  // Sometimes not a dataset at all: missing, or a group in its place.
  if (rare(fdp)) {
    clean = false;
    if (fdp.ConsumeBool()) {
      Hid group = Hid(H5Gcreate2(file, spec.name, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Gclose);
    }
    return;
  }
  const StoredType type = rare(fdp) ? static_cast<StoredType>(fdp.ConsumeIntegralInRange<int>(
                                          0, static_cast<int>(StoredType::kLast)))
                                    : StoredType::kNominal;
  Shape shape =
      rare(fdp)
          ? static_cast<Shape>(fdp.ConsumeIntegralInRange<int>(0, static_cast<int>(Shape::kLast)))
          : Shape::kFlat;
  Storage storage = rare(fdp) ? static_cast<Storage>(fdp.ConsumeIntegralInRange<int>(
                                    0, static_cast<int>(Storage::kLast)))
                              : Storage::kContiguous;
  if (storage == Storage::kExternalRaw || storage == Storage::kVirtual ||
      storage == Storage::kExternalLink) {
    clean = false;
    // Only the count of "/matrix_indexes" is ever used.
    foreign = foreign || std::string(spec.name) != "/matrix_indexes";
    writeForeignDataset(file, folder, fdp, spec, storage, nominal);
    return;
  }
  uint64_t count = spec.count;
  if (rare(fdp)) {
    switch (fdp.ConsumeIntegralInRange(0, 3)) {
      case 0:
        count = 0;
        break;
      case 1:
        count = count > 0 ? count - 1 : 0;
        break;
      case 2:
        count = count + 1;
        break;
      default:
        count = fdp.ConsumeIntegralInRange<uint64_t>(0, 2 * count + 2);
    }
  }
  if (shape == Shape::kScalar) count = 1;
  if (shape == Shape::kNull) count = 0;

  // Values: the nominal ones, or anything at all for a while.
  std::vector<double> values(nominal.begin(),
                             nominal.begin() + std::min<uint64_t>(count, nominal.size()));
  values.resize(count, 0.0);
  bool wild = false;
  if (rare(fdp)) {
    wild = true;
    const size_t changes = fdp.ConsumeIntegralInRange<size_t>(1, 8);
    for (size_t i = 0; i < changes && count > 0; ++i) {
      const size_t at = fdp.ConsumeIntegralInRange<size_t>(0, count - 1);
      if (spec.isDouble) {
        const double specials[] = {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e300, -0.0, 5e-324, 3.5e38};
        values[at] = fdp.ConsumeBool() ? specials[fdp.ConsumeIntegralInRange<size_t>(0, 6)]
                                       : fdp.ConsumeFloatingPoint<double>();
      } else {
        values[at] = fdp.ConsumeIntegral<int32_t>();
      }
    }
  }

  std::vector<hsize_t> dims;
  switch (shape) {
    case Shape::kFlat:
      dims = {count};
      break;
    case Shape::kTwoDims: {
      const hsize_t first = count == 0
                                ? fdp.ConsumeIntegralInRange<hsize_t>(0, 3)
                                : divisorUpTo(count, fdp.ConsumeIntegralInRange<hsize_t>(1, 16));
      dims = {first, first == 0 ? 3 : count / first};
      break;
    }
    case Shape::kManyDims:
      if (count > 0 && count % kEpochFloats == 0 && fdp.ConsumeBool()) {
        dims = {count / kEpochFloats, 128, 8};  // stimulus, sample, channel
      } else {
        // Rows that cut across epochs, at every level.
        const int rank = fdp.ConsumeIntegralInRange(3, 5);
        hsize_t rest = count;
        for (int d = 0; d + 1 < rank; ++d) {
          const hsize_t extent =
              count == 0 ? fdp.ConsumeIntegralInRange<hsize_t>(0, 3)
                         : divisorUpTo(rest, fdp.ConsumeIntegralInRange<hsize_t>(1, 40));
          dims.push_back(extent);
          if (extent > 0) rest /= extent;
        }
        dims.push_back(rest);
      }
      break;
    case Shape::kScalar:
    case Shape::kNull:
      break;
  }
  writer::Layout layout;
  if (shape == Shape::kScalar) {
    layout.space = writer::Layout::Space::kScalar;
  } else if (shape == Shape::kNull) {
    layout.space = writer::Layout::Space::kNull;
  } else {
    layout.dims = dims;
    layout.unlimited = storage == Storage::kChunked || storage == Storage::kDeflate ||
                       storage == Storage::kShuffleDeflateChecksum ||
                       storage == Storage::kPartlyWritten;
  }
  if (dims.empty() && storage != Storage::kCompact && storage != Storage::kNotAllocated) {
    storage = Storage::kContiguous;  // scalar and null spaces cannot be chunked
  }

  Hid fileType = makeType(type, spec.isDouble, fdp);
  const size_t elementSize = H5Tget_size(fileType.get());
  if (storage == Storage::kCompact && count * elementSize > 30000) storage = Storage::kContiguous;

  // A combination the library refuses is stored plainly.
  writer::Layout plain = layout;
  switch (storage) {
    case Storage::kContiguous:
    case Storage::kExternalRaw:  // written by writeForeignDataset
    case Storage::kVirtual:
    case Storage::kExternalLink:
      break;
    case Storage::kCompact:
      layout.compact = true;
      break;
    case Storage::kNotAllocated:
      if (!dims.empty() && fdp.ConsumeBool()) {
        for (const hsize_t d : dims)
          layout.chunk.push_back(std::max<hsize_t>(1, std::min<hsize_t>(d, 64)));
      } else {
        layout.lateAllocation = true;
      }
      break;
    case Storage::kChunked:
    case Storage::kDeflate:
    case Storage::kShuffleDeflateChecksum:
    case Storage::kPartlyWritten: {
      const hsize_t side = fdp.ConsumeIntegralInRange<hsize_t>(1, 1024);
      for (const hsize_t d : dims) layout.chunk.push_back(std::max<hsize_t>(1, std::min(d, side)));
      if (storage == Storage::kPartlyWritten && spec.isDouble) {
        layout.fillType = H5T_NATIVE_DOUBLE;
        layout.fill = &kUnwrittenSample;
      }
      if (storage == Storage::kShuffleDeflateChecksum)
        layout.filters.push_back({writer::Filter::kShuffle});
      if (storage != Storage::kChunked) {
        layout.filters.push_back({writer::Filter::kDeflate, fdp.ConsumeIntegralInRange(1u, 9u)});
      }
      if (storage == Storage::kShuffleDeflateChecksum)
        layout.filters.push_back({writer::Filter::kFletcher32});
      break;
    }
  }
  Hid dataset = writer::createDataset(file, spec.name, fileType.get(), layout);
  if (!dataset.valid()) {
    storage = Storage::kContiguous;
    dataset = writer::createDataset(file, spec.name, fileType.get(), plain);
    if (!dataset.valid()) {
      clean = false;
      return;
    }
  }

  bool written = count == 0 || storage == Storage::kNotAllocated;
  if (count > 0 && storage != Storage::kNotAllocated) {
    // Partly written: the first half of the rows only.
    const bool half = storage == Storage::kPartlyWritten && dims[0] >= 2;
    if (storage == Storage::kPartlyWritten && !half) storage = Storage::kChunked;
    const auto write = [&](hid_t memType, const void* data) {
      return half ? writer::writeRows(dataset.get(), memType, 0, dims[0] / 2, data)
                  : writer::writeAll(dataset.get(), memType, data);
    };
    herr_t status = -1;
    if (isNumeric(type)) {
      if (spec.isDouble) {
        status = write(H5T_NATIVE_DOUBLE, values.data());
      } else {
        std::vector<int32_t> ints(values.size());
        for (size_t i = 0; i < ints.size(); ++i) ints[i] = static_cast<int32_t>(values[i]);
        status = write(H5T_NATIVE_INT32, ints.data());
      }
    } else if (type == StoredType::kVariableString) {
      std::vector<std::string> texts(count);
      std::vector<const char*> pointers(count);
      for (size_t i = 0; i < count; ++i) {
        texts[i] = i < 4 ? fdp.ConsumeRandomLengthString(6) : std::to_string(i);
        pointers[i] = texts[i].c_str();
      }
      status = write(fileType.get(), pointers.data());
    } else {
      std::vector<uint8_t> raw =
          fdp.ConsumeBytes<uint8_t>(std::min<size_t>(count * elementSize, 64));
      raw.resize(count * elementSize, 0x41);
      status = write(fileType.get(), raw.data());
    }
    written = status >= 0;
  }

  // Exactly the nominal values, readable as numbers without loss? Values that
  // are not numbers are another layout even when there are none.
  const bool exactType = isNumeric(type) && !(type == StoredType::kUInt8 && spec.maxValue > 255) &&
                         !(type == StoredType::kInt16 && spec.maxValue > 32767) &&
                         !(type == StoredType::kFloat32 && spec.maxValue > (1 << 24));
  // An integer that float32 rounds past the 32-bit range is refused, whether
  // its value matters or not.
  bool beyond32Bits = false;
  if (wild && !spec.isDouble && type == StoredType::kFloat32) {
    for (const double v : values) {
      beyond32Bits = beyond32Bits || static_cast<float>(static_cast<int32_t>(v)) >= 2147483648.0f;
    }
  }
  if (count != spec.count || !written || storage == Storage::kNotAllocated ||
      storage == Storage::kPartlyWritten || !isNumeric(type) || (count > 0 && !exactType) ||
      (wild && spec.valuesMatter) || beyond32Bits || !shapeFollowsOrder(spec.name, dims)) {
    clean = false;
  }
}

struct Generated {
  bool clean = true;
  bool foreign = false;  // a dataset the run needs lies outside the input file
  int stimuli = 0;
};

Generated writeInput(const std::string& folder, FuzzedDataProvider& fdp) {
  Generated result;
  const std::string inputPath = folder + "/QUOLMET ERP-BCI.hdf5";
  const int n = kMaxStimuli - fdp.ConsumeIntegralInRange(0, kMaxStimuli);
  const int sessions = 3 - fdp.ConsumeIntegralInRange(0, 2);
  const int trials = 6 - fdp.ConsumeIntegralInRange(0, 5);
  result.stimuli = n;

  auto ints = [&](uint64_t count, int32_t low, int32_t high) {
    std::vector<double> values(count);
    for (double& v : values) v = fdp.ConsumeIntegralInRange(low, high);
    return values;
  };
  std::map<std::string, std::vector<double>> nominal;
  nominal["/codes"] = ints(n, 0, 11);
  nominal["/database_ids"] = ints(n, 0, 1);
  nominal["/erp_labels"] = ints(n, 0, 1);
  // Matrix sizes that have an encoder file: without one no run is complete.
  const double shipped[3][2] = {{4, 5}, {6, 6}, {6, 7}};
  for (int r = 0; r < sessions; ++r) {
    const double* size = shipped[fdp.ConsumeIntegralInRange(0, 2)];
    nominal["/matrix_dims"].insert(nominal["/matrix_dims"].end(), size, size + 2);
  }
  nominal["/matrix_indexes"] = ints(n, 0, 11);
  nominal["/run_indexes"] = ints(n, 0, sessions - 1);
  nominal["/sequences"] = ints(n, 0, 14);
  nominal["/subjects"] = ints(n, 0, 1);
  nominal["/target"] = ints(7 * trials, 0, 11);
  nominal["/trials"] = ints(n, 0, trials - 1);
  // Sample j of stimulus s holds s * 1024 + j + 1, so every epoch in the
  // output tells which stimulus it came from.
  std::vector<double>& features = nominal["/features"];
  features.resize(static_cast<size_t>(n) * kEpochFloats);
  for (size_t i = 0; i < features.size(); ++i) features[i] = static_cast<double>(i + 1);

  const int32_t featureMax = n * static_cast<int32_t>(kEpochFloats);
  const DatasetSpec specs[] = {
      {"/codes", false, static_cast<uint64_t>(n), 11, true},
      {"/database_ids", false, static_cast<uint64_t>(n), 1, true},
      {"/erp_labels", true, static_cast<uint64_t>(n), 1, false},
      {"/features", true, static_cast<uint64_t>(n) * kEpochFloats, featureMax, true},
      {"/matrix_dims", false, static_cast<uint64_t>(2 * sessions), 7, true},
      {"/matrix_indexes", false, static_cast<uint64_t>(n), 11, false},
      {"/run_indexes", false, static_cast<uint64_t>(n), sessions - 1, true},
      {"/sequences", false, static_cast<uint64_t>(n), 14, false},
      {"/subjects", false, static_cast<uint64_t>(n), 1, true},
      {"/target", false, static_cast<uint64_t>(7 * trials), 11, false},
      {"/trials", false, static_cast<uint64_t>(n), trials - 1, true},
  };

  // Now and then no HDF5 file at all: nothing, a directory, or other bytes.
  if (rare(fdp) && rare(fdp)) {
    result.clean = false;
    switch (fdp.ConsumeIntegralInRange(0, 2)) {
      case 0:
        break;
      case 1:
        fs::create_directory(inputPath);
        break;
      default: {
        std::ofstream out(inputPath, std::ios::binary);
        out << fdp.ConsumeRandomLengthString(256);
      }
    }
    return result;
  }
  {
    const Hid file = writer::createFile(inputPath);
    if (!file.valid()) fail("cannot create " + inputPath);
    for (const DatasetSpec& spec : specs) {
      writeDataset(file.get(), folder, fdp, spec, nominal[spec.name], result.clean, result.foreign);
    }
  }
  if (rare(fdp) && rare(fdp)) {
    // A file cut short.
    result.clean = false;
    const uintmax_t size = fs::file_size(inputPath);
    fs::resize_file(inputPath, fdp.ConsumeIntegralInRange<uintmax_t>(0, size));
  }
  // The subject file: a sound one, none (then the headers of any session
  // lack their metadata, which fails the run), or anything.
  switch (fdp.ConsumeIntegralInRange(0, 3)) {
    case 0:
    case 1: {
      std::ofstream out(folder + "/DataSets.txt", std::ios::binary);
      out << "Study\tA\tB\tSex\tAge\tCondition\tC\n";
      for (int s = 0; s < 2; ++s) out << "S" << s << "\t1\t2\tF\t" << 20 + s << "\thealthy\t3\n";
      break;
    }
    case 2:
      result.clean = result.clean && n == 0;
      break;
    default: {
      result.clean = false;
      std::ofstream out(folder + "/DataSets.txt", std::ios::binary);
      out << fdp.ConsumeRandomLengthString(128);
      break;
    }
  }
  return result;
}

std::vector<std::string> childEnvironment() {
  // The converter's own sanitizer reports must not pass for a plain exit 1.
  std::vector<std::string> env;
  bool asan = false, ubsan = false;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    if (entry.rfind("ASAN_OPTIONS=", 0) == 0) {
      entry += ":exitcode=86";
      asan = true;
    } else if (entry.rfind("UBSAN_OPTIONS=", 0) == 0) {
      entry += ":exitcode=87:halt_on_error=1";
      ubsan = true;
    }
    env.push_back(entry);
  }
  if (!asan) env.push_back("ASAN_OPTIONS=exitcode=86");
  if (!ubsan) env.push_back("UBSAN_OPTIONS=exitcode=87:halt_on_error=1");
  return env;
}

// Runs the converter in folder; returns its wait status.
int runConverter(const std::string& folder, const std::string& outPath,
                 const std::string& errPath) {
  static const std::vector<std::string> env = childEnvironment();
  std::vector<char*> envp;
  for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  char* const argv[] = {const_cast<char*>(ERP2NPX_EXECUTABLE), nullptr};

  // libFuzzer's own timer signal would interrupt the wait: it is held back
  // until the converter has ended, and the converter starts without it held.
  sigset_t timer, previous;
  sigemptyset(&timer);
  sigaddset(&timer, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &timer, &previous);
  const pid_t pid = fork();
  if (pid < 0) fail("fork failed");
  if (pid == 0) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || chdir(folder.c_str()) != 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
      _exit(126);
    }
    // The alarm outlives the exec and ends a converter that hangs.
    alarm(kConverterSeconds);
    execve(argv[0], argv, envp.data());
    _exit(127);
  }
  // One blocking wait: a polling loop would run a different number of times
  // on every run, and its coverage would steer the fuzzer differently each
  // time, so that a fixed seed no longer gave fixed inputs.
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) fail("waitpid failed");
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
    fail("the converter did not finish within " + std::to_string(kConverterSeconds) + " s");
  }
  return status;
}

// Checks the output tree; returns the stimuli of the epochs found (-1 for an
// epoch that names none).
std::vector<int64_t> checkOutput(const std::string& folder) {
  std::vector<int64_t> epochStimuli;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string relative = fs::relative(entry.path(), folder).string();
    if (entry.is_directory()) continue;
    if (relative == "QUOLMET ERP-BCI.hdf5" || relative == "DataSets.txt" ||
        relative == "other.hdf5" || relative.rfind("foreign", 0) == 0) {
      continue;
    }
    const std::string extension = entry.path().extension().string();
    const std::string top = relative.substr(0, relative.find('/'));
    if (relative.find('/') == std::string::npos || top.rfind("DB_", 0) != 0 ||
        (extension != ".bin" && extension != ".npx")) {
      fail("unexpected file " + relative);
    }
    fs::path partner = entry.path();
    partner.replace_extension(extension == ".bin" ? ".npx" : ".bin");
    if (!fs::is_regular_file(partner)) fail(relative + " stands alone");
    if (extension == ".npx") continue;

    const std::vector<float> values = erp2npx::fuzz::readEpochFile(entry.path(), relative).values;
    const size_t positions = values.size() / 8;
    pugi::xml_document header;
    if (!header.load_file(partner.c_str())) fail(relative + ": header does not parse");
    const unsigned long long samples =
        header.child("DOC").child("Recording").child("Samples").text().as_ullong(~0ull);
    if (samples != positions) {
      fail(relative + ": header says " + std::to_string(samples) + " samples, the file holds " +
           std::to_string(positions));
    }
    for (const float value : values) {
      if (value == static_cast<float>(kUnwrittenSample)) {
        fail(relative + ": a sample of a chunk never written reached the output");
      }
      if (value == static_cast<float>(kForeignSample)) {
        fail(relative + ": a sample from outside the input file reached the output");
      }
    }
    for (size_t k = 0; k < positions / 128; ++k) {
      const float first = values[kEpochFloats * k];
      // Any float may turn up here: only a small whole number names a stimulus.
      const bool named = first >= 1 && first < 1e9f && first == std::floor(first);
      const int64_t s = named ? (static_cast<int64_t>(first) - 1) / int64_t{kEpochFloats} : -1;
      bool whole = s >= 0;
      for (size_t j = 0; j < kEpochFloats && whole; ++j) {
        whole = values[kEpochFloats * k + j] ==
                static_cast<float>(s * static_cast<int64_t>(kEpochFloats) + j + 1);
      }
      epochStimuli.push_back(whole ? s : -1);
    }
  }
  return epochStimuli;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  baseFolder = erp2npx::fuzz::scratchFolder("fuzz-hdf5");
  std::atexit(printTally);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const std::string folder = baseFolder + "/work";
  const std::string outPath = baseFolder + "/stdout.txt";
  const std::string errPath = baseFolder + "/stderr.txt";
  fs::remove_all(folder);
  fs::create_directory(folder);
  failureContext.clear();
  const Generated input = writeInput(folder, fdp);

  const int status = runConverter(folder, outPath, errPath);
  failureContext = "--- converter output:\n" + readWhole(outPath) + "--- converter errors:\n" +
                   readWhole(errPath);
  if (!WIFEXITED(status)) fail("the converter died of signal " + std::to_string(WTERMSIG(status)));
  const int exitCode = WEXITSTATUS(status);
  if (exitCode != 0 && exitCode != 1) fail("the converter exited with " + std::to_string(exitCode));

  std::vector<int64_t> epochStimuli = checkOutput(folder);
  ++tally.runs;
  tally.sound += input.clean ? 1 : 0;
  tally.foreign += input.foreign ? 1 : 0;
  tally.exitZero += exitCode == 0 ? 1 : 0;
  tally.epochs += epochStimuli.size();
  if (input.foreign && !epochStimuli.empty()) {
    fail("values kept outside the input file were taken for its own");
  }
  if (input.clean) {
    if (exitCode != 0) fail("a sound input did not convert cleanly");
    std::sort(epochStimuli.begin(), epochStimuli.end());
    std::vector<int64_t> all(static_cast<size_t>(input.stimuli));
    for (size_t s = 0; s < all.size(); ++s) all[s] = static_cast<int64_t>(s);
    if (epochStimuli != all) {
      fail("a sound input gave " + std::to_string(epochStimuli.size()) + " epochs for " +
           std::to_string(input.stimuli) + " stimuli, not each once");
    }
  }
  fs::remove_all(folder);
  return 0;
}
