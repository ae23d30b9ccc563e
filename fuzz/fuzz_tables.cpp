// In-memory input tables of any content through the grouping index and the
// session walk. The output must account for every stimulus: a session whose
// numbers all fit the tables is written whole, with its epochs in trial and
// table order and a header that describes exactly that file; any other
// session leaves nothing behind, and the walk says whether all were written.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <pugixml.hpp>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common/config.h"
#include "common/console.h"
#include "driver/session_walk.h"
#include "fuzz_support.h"
#include "header/paradigm_section.h"
#include "header/speller_layout.h"
#include "input/dataset_loader.h"
#include "input/epoch_consumer.h"
#include "output/stimulus_index.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxStimuli = 64;
constexpr size_t kEpochFloats = 1024;

using erp2npx::fuzz::fail;

std::string baseFolder;

// Mostly small numbers, so that stimuli share databases, sessions and
// trials; now and then a negative one or anything at all.
int32_t pickNumber(FuzzedDataProvider& fdp, int32_t smallMax) {
  switch (fdp.ConsumeIntegralInRange(0, 7)) {
    case 6:
      return fdp.ConsumeIntegralInRange(-2, -1);
    case 7:
      return fdp.ConsumeIntegral<int32_t>();
    default:
      return fdp.ConsumeIntegralInRange(0, smallMax);
  }
}

struct Input {
  erp2npx::InputData data;
  std::vector<double> features;
  size_t codesCount = 0;
  std::vector<size_t> storageOrder;  // the epochs in the order the stream hands them out
};

Input makeInput(FuzzedDataProvider& fdp) {
  Input in;
  erp2npx::InputData& d = in.data;
  const size_t n = fdp.ConsumeIntegralInRange<size_t>(0, kMaxStimuli);
  for (size_t s = 0; s < n; ++s) {
    erp2npx::StimulusRecord r;
    r.database = pickNumber(fdp, 2);
    r.subject = pickNumber(fdp, 3);
    r.session = pickNumber(fdp, 3);
    r.trial = pickNumber(fdp, 15);
    r.sequence = pickNumber(fdp, 15);
    r.code = pickNumber(fdp, 12);
    r.label = pickNumber(fdp, 1);
    d.stimuli.push_back(r);
  }
  d.stimulusCount = n;

  // Counted down, so that an exhausted input still gives full tables.
  const size_t layouts = 6 - fdp.ConsumeIntegralInRange<size_t>(0, 6);
  for (size_t i = 0; i < layouts; ++i) {
    const bool odd = fdp.ConsumeIntegralInRange(0, 7) == 7;
    const int32_t rows = odd ? fdp.ConsumeIntegral<int32_t>() : fdp.ConsumeIntegralInRange(4, 7);
    const int32_t columns = odd ? fdp.ConsumeIntegral<int32_t>() : fdp.ConsumeIntegralInRange(4, 7);
    d.sessionLayouts.push_back(erp2npx::SessionLayout{rows, columns});
  }
  const size_t targets = 18 - fdp.ConsumeIntegralInRange<size_t>(0, 18);
  for (size_t i = 0; i < targets; ++i) {
    erp2npx::TargetRecord t;
    t.targetRowCode = pickNumber(fdp, 12);
    t.targetColumnCode = pickNumber(fdp, 12);
    d.targets.push_back(t);
  }
  const size_t subjects = 5 - fdp.ConsumeIntegralInRange<size_t>(0, 5);
  for (size_t i = 0; i < subjects; ++i) {
    if (fdp.ConsumeIntegralInRange(0, 3) == 3) continue;
    erp2npx::SubjectInfo info;
    info.age = fdp.ConsumeIntegral<int32_t>();
    info.sex = fdp.ConsumeRandomLengthString(8);
    info.condition = fdp.ConsumeRandomLengthString(8);
    info.study = fdp.ConsumeRandomLengthString(8);
    d.subjectInfos.emplace(static_cast<int32_t>(i), info);
  }

  // Fewer epochs than stimuli, or features that stop early, now and then.
  switch (fdp.ConsumeIntegralInRange(0, 7)) {
    case 6:
      in.codesCount = fdp.ConsumeIntegralInRange<size_t>(0, n);
      break;
    case 7:
      in.codesCount = n + fdp.ConsumeIntegralInRange<size_t>(1, 3);
      break;
    default:
      in.codesCount = n;
  }
  size_t featureCount = in.codesCount * kEpochFloats;
  if (fdp.ConsumeIntegralInRange(0, 7) == 7) {
    featureCount = fdp.ConsumeIntegralInRange<size_t>(0, featureCount);
  }
  // Value i + 1 names its stimulus and sample, exactly, as a float.
  in.features.resize(featureCount);
  for (size_t i = 0; i < featureCount; ++i) in.features[i] = static_cast<double>(i + 1);
  // The epochs come in an order of the fuzz input's choosing, as an input
  // stores them: in table order, reversed, or rotated.
  in.storageOrder.resize(in.codesCount);
  for (size_t e = 0; e < in.codesCount; ++e) in.storageOrder[e] = e;
  switch (fdp.ConsumeIntegralInRange(0, 2)) {
    case 1:
      std::reverse(in.storageOrder.begin(), in.storageOrder.end());
      break;
    case 2:
      if (!in.storageOrder.empty()) {
        std::rotate(in.storageOrder.begin(),
                    in.storageOrder.begin() +
                        fdp.ConsumeIntegralInRange<size_t>(0, in.storageOrder.size() - 1),
                    in.storageOrder.end());
      }
      break;
    default:
      break;
  }
  return in;
}

using SessionKey = std::tuple<int32_t, int32_t, int32_t>;  // database, subject, session

bool sessionWritable(const Input& in, const SessionKey& key, const std::vector<size_t>& stimuli) {
  const auto& [database, subject, session] = key;
  const erp2npx::InputData& d = in.data;
  if (database < 0 || subject < 0 || session < 0) return false;
  if (static_cast<size_t>(session) >= d.sessionLayouts.size()) return false;
  for (const size_t s : stimuli) {
    const int32_t trial = d.stimuli[s].trial;
    if (trial < 0 || static_cast<size_t>(trial) >= d.targets.size()) return false;
    if (s >= in.codesCount) return false;
  }
  return true;
}

// Whether the session's encoder file lies beside this program, as its
// header needs for the walk to count it complete.
bool hasEncoderFile(const erp2npx::SessionLayout& layout) {
  return fs::is_regular_file(erp2npx::encoderPathBesideExecutable(layout));
}

std::string sessionBinPath(const SessionKey& key, const erp2npx::SessionLayout& layout) {
  const auto& [database, subject, session] = key;
  char path[256];
  std::snprintf(path, sizeof path,
                "DB_%02" PRId64 "/Subject_%02" PRId64 "/Subj%02" PRId64 "_%02" PRId64 "_%02" PRId32
                "_%02" PRId32 ".bin",
                int64_t{database}, int64_t{subject} + 1, int64_t{subject} + 1, int64_t{session} + 1,
                layout.rows, layout.columns);
  return path;
}

struct EventClass {
  int classValue = 0;
  std::string name;
  std::vector<std::pair<int64_t, int64_t>> events;  // VSB, VSE (-1 when absent)
};

// Checks the header beside a binary file against its position count and, when
// known, the stimuli of its epochs.
void checkHeader(const std::string& name, const fs::path& npxPath, uint32_t positions,
                 const Input* in, const std::vector<size_t>* epochStimuli) {
  pugi::xml_document document;
  const pugi::xml_parse_result parsed = document.load_file(npxPath.c_str());
  if (!parsed) fail(name + ": header does not parse: " + parsed.description());
  const pugi::xml_node doc = document.child("DOC");
  if (doc.child("Recording").child("Samples").text().as_ullong(~0ull) != positions) {
    fail(name + ": Samples differs from the binary file's " + std::to_string(positions));
  }
  std::vector<EventClass> classes;
  for (pugi::xml_node type : doc.child("Events").children("Type")) {
    EventClass c;
    c.classValue = type.attribute("Class").as_int();
    c.name = type.attribute("Name").value();
    for (pugi::xml_node event : type.children("Event")) {
      const int64_t begin = event.attribute("VSB").as_llong(-1);
      const int64_t end = event.attribute("VSE") ? event.attribute("VSE").as_llong(-1) : -1;
      if (begin < 0 || begin >= int64_t{positions} || end > int64_t{positions}) {
        fail(name + ": event " + std::to_string(begin) + "-" + std::to_string(end) +
             " outside the file's " + std::to_string(positions) + " positions");
      }
      c.events.emplace_back(begin, end);
    }
    classes.push_back(c);
  }

  // Every epoch once among the code classes and once in Target or Standard,
  // the trials touching from the first position to the last.
  const size_t epochs = positions / 128;
  std::vector<int> inCode(epochs), inTargetOrStandard(epochs);
  std::vector<std::pair<int64_t, int64_t>> spans;
  size_t trialTargetClasses = 0;
  std::vector<int64_t> trialTargetBegins;
  for (const EventClass& c : classes) {
    for (const auto& [begin, end] : c.events) {
      if (c.classValue == 1 && (begin % 128 != 0 || end != -1))
        fail(name + ": epoch event " + c.name);
    }
    if (c.classValue == 1) {
      const bool targetOrStandard = c.name == "Target" || c.name == "Standard";
      for (const auto& event : c.events) {
        const size_t k = static_cast<size_t>(event.first / 128);
        ++(targetOrStandard ? inTargetOrStandard : inCode)[k];
        if (in != nullptr && epochStimuli != nullptr && targetOrStandard &&
            (in->data.stimuli[(*epochStimuli)[k]].label != 0) != (c.name == "Target")) {
          fail(name + ": epoch " + std::to_string(k) + " in the wrong one of Target and Standard");
        }
      }
      // One class per code: all its epochs share their stimuli's code.
      if (!targetOrStandard && in != nullptr && epochStimuli != nullptr && !c.events.empty()) {
        const int32_t code = in->data.stimuli[(*epochStimuli)[c.events[0].first / 128]].code;
        for (const auto& event : c.events) {
          if (in->data.stimuli[(*epochStimuli)[event.first / 128]].code != code) {
            fail(name + ": class " + c.name + " mixes codes");
          }
        }
      }
    } else if (c.classValue == 2 && c.name == "Trial") {
      spans.insert(spans.end(), c.events.begin(), c.events.end());
    } else if (c.classValue == 2) {
      ++trialTargetClasses;
      if (c.events.size() != 1) fail(name + ": trial target class " + c.name + " events");
      trialTargetBegins.push_back(c.events[0].first);
      if (c.events[0].second < 0) fail(name + ": trial target class " + c.name + " without VSE");
    } else {
      fail(name + ": class " + std::to_string(c.classValue));
    }
  }
  for (size_t k = 0; k < epochs; ++k) {
    if (inCode[k] != 1 || inTargetOrStandard[k] != 1) {
      fail(name + ": epoch " + std::to_string(k) + " in " + std::to_string(inCode[k]) +
           " code classes and " + std::to_string(inTargetOrStandard[k]) + " of Target/Standard");
    }
  }
  int64_t next = 0;
  for (const auto& [begin, end] : spans) {
    if (begin != next || end <= begin || (end - begin) % 128 != 0) {
      fail(name + ": trial span " + std::to_string(begin) + "-" + std::to_string(end));
    }
    next = end;
  }
  if (next != int64_t{positions}) fail(name + ": trial spans end at " + std::to_string(next));
  std::vector<int64_t> spanBegins;
  for (const auto& span : spans) spanBegins.push_back(span.first);
  if (trialTargetClasses != spans.size() || trialTargetBegins != spanBegins) {
    fail(name + ": trial target classes do not follow the trials");
  }
  if (in != nullptr && epochStimuli != nullptr) {
    // Spans hold exactly the epochs of one trial each.
    for (const auto& [begin, end] : spans) {
      const int32_t trial = in->data.stimuli[(*epochStimuli)[begin / 128]].trial;
      for (int64_t p = begin; p < end; p += 128) {
        if (in->data.stimuli[(*epochStimuli)[p / 128]].trial != trial) {
          fail(name + ": trial span mixes trials");
        }
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The walk reports on standard output; keep the fuzzer's log clean.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  baseFolder = erp2npx::fuzz::scratchFolder("fuzz-tables");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  FuzzedDataProvider fdp(input, size);
  const Input in = makeInput(fdp);
  const erp2npx::InputData& d = in.data;

  const std::string root = baseFolder + "/run";
  fs::remove_all(root);
  fs::create_directory(root);
  const erp2npx::StimulusIndex index = erp2npx::buildStimulusIndex(d.stimuli, d.sessionLayouts);
  // The epochs as "/features" would give them: narrowed, zero where the
  // values stop early.
  std::vector<float> epochValues(in.codesCount * kEpochFloats, 0.0f);
  erp2npx::narrowToFloat(in.features.data(), std::min(in.features.size(), epochValues.size()),
                         epochValues.data());
  const erp2npx::EpochStream stream = [&](const erp2npx::EpochConsumer& consumer) {
    for (const size_t e : in.storageOrder) {
      consumer.values(e * kEpochFloats, epochValues.data() + e * kEpochFloats, kEpochFloats,
                      nullptr);
    }
  };
  erp2npx::Console console = erp2npx::Console::collecting();
  const bool complete =
      erp2npx::SessionWalk(index, d, erp2npx::channelList(), console, root).walk(stream);

  // What the tables call for: each session's stimuli in file order.
  std::map<SessionKey, std::vector<size_t>> sessions;
  for (size_t s = 0; s < d.stimuli.size(); ++s) {
    const erp2npx::StimulusRecord& r = d.stimuli[s];
    sessions[SessionKey{r.database, r.subject, r.session}].push_back(s);
  }
  bool allWritable = true;
  std::map<std::string, std::vector<size_t>> expectedFiles;
  for (auto& [key, stimuli] : sessions) {
    if (!sessionWritable(in, key, stimuli)) {
      allWritable = false;
      continue;
    }
    // Written, but without its encoder the header is not what it should be.
    if (!hasEncoderFile(d.sessionLayouts[static_cast<size_t>(std::get<2>(key))])) {
      allWritable = false;
    }
    std::stable_sort(stimuli.begin(), stimuli.end(),
                     [&](size_t a, size_t b) { return d.stimuli[a].trial < d.stimuli[b].trial; });
    expectedFiles[sessionBinPath(key, d.sessionLayouts[static_cast<size_t>(std::get<2>(key))])] =
        stimuli;
  }
  if (complete != allWritable) {
    fail(std::string("walk returned ") + (complete ? "true" : "false") + " with " +
         (allWritable ? "every" : "not every") + " session writable");
  }

  std::set<std::string> binFiles;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const std::string relative = fs::relative(entry.path(), root).string();
    const std::string extension = entry.path().extension().string();
    if (extension == ".npx") {
      fs::path bin = entry.path();
      if (!fs::exists(bin.replace_extension(".bin"))) fail(relative + " has no binary file");
      continue;
    }
    if (extension != ".bin") fail("unexpected file " + relative);
    binFiles.insert(relative);
  }

  for (const std::string& relative : binFiles) {
    const std::vector<float> values =
        erp2npx::fuzz::readEpochFile(fs::path(root) / relative, relative).values;
    const uint32_t positions = static_cast<uint32_t>(values.size() / 8);
    fs::path npx = fs::path(root) / relative;
    npx.replace_extension(".npx");
    if (!fs::exists(npx)) fail(relative + " has no header");
    const auto expected = expectedFiles.find(relative);
    if (expected == expectedFiles.end()) {
      checkHeader(relative, npx, positions, nullptr, nullptr);
      fail(relative + " written for a session that cannot be converted");
    }
    const std::vector<size_t>& stimuli = expected->second;
    if (positions != stimuli.size() * 128) {
      fail(relative + ": " + std::to_string(positions / 128) + " epochs for " +
           std::to_string(stimuli.size()) + " stimuli");
    }
    for (size_t k = 0; k < stimuli.size(); ++k) {
      const size_t s = stimuli[k];
      for (size_t j = 0; j < kEpochFloats; ++j) {
        const size_t i = s * kEpochFloats + j;
        const float want = i < in.features.size() ? static_cast<float>(in.features[i]) : 0.0f;
        if (values[k * kEpochFloats + j] != want) {
          fail(relative + ": epoch " + std::to_string(k) + " is not stimulus " + std::to_string(s));
        }
      }
    }
    checkHeader(relative, npx, positions, &in, &stimuli);
  }
  for (const auto& [path, stimuli] : expectedFiles) {
    if (binFiles.count(path) == 0) fail(path + " not written");
  }
  fs::remove_all(root);
  return 0;
}
