// Writes a synthetic speller collection ("QUOLMET ERP-BCI.hdf5" and "DataSets.txt") so the
// converter can be run, tested and benchmarked without real recordings.
//
// Every value is a pure function of the options and the seed: the structure comes from
// seeded streams, and each stimulus draws its samples from its own stream keyed by its
// nested number. That makes runs byte-identical and lets any stimulus be produced on
// demand, which is what the shuffled (--scattered) layout needs. Only std::mt19937_64
// and hand-written distributions and trigonometry are used, because the standard
// distributions and the math library may differ between platforms.

#include <hdf5.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "input/hdf5_handle.h"
#include "input_writer.h"

namespace {

using erp2npx::Hid;

constexpr int kChannels = 8;
constexpr int kSamples = 128;  // also the sampling rate in Hz
constexpr std::size_t kValuesPerStimulus = static_cast<std::size_t>(kSamples) * kChannels;

// Slab of stimuli per write: 16 MB of samples keeps the peak footprint small.
constexpr std::uint64_t kStimuliPerWrite = 2048;

// Stimuli are numbered with 32-bit integers by the converter.
constexpr std::uint64_t kMaxStimuli = std::numeric_limits<std::int32_t>::max();

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;

// Flash onset asynchrony in samples (about 170 ms): neighbouring flashes' responses
// overlap each epoch the way they do in real speller recordings.
constexpr int kFlashSpacing = 22;
constexpr double kP300Peak = 38.0;  // about 300 ms after the flash
constexpr double kP300HalfWidth = 16.0;
constexpr double kN1Peak = 22.0;
constexpr double kN1HalfWidth = 6.0;

// Per-channel gains of each signal component, in the file's channel order.
struct ChannelModel {
  const char* name;
  double p300;
  double n1;
  double alpha;
  double drift;
};
constexpr std::array<ChannelModel, kChannels> kChannelModel = {{
    {"Fz", 0.45, 0.15, 0.30, 1.2},
    {"Cz", 0.85, 0.25, 0.45, 1.0},
    {"Pz", 1.00, 0.50, 0.70, 0.9},
    {"P3", 0.80, 0.60, 0.70, 0.9},
    {"P4", 0.80, 0.60, 0.70, 0.9},
    {"PO7", 0.50, 1.00, 1.00, 0.8},
    {"PO8", 0.50, 1.00, 1.00, 0.8},
    {"Oz", 0.35, 0.90, 1.00, 0.8},
}};

struct Layout {
  int rows;
  int columns;
};
// Database 0 uses the classic square speller; later databases alternate the others so
// every encoder file is exercised.
constexpr Layout kSquareLayout = {6, 6};
constexpr std::array<Layout, 2> kOtherLayouts = {{{4, 5}, {6, 7}}};
constexpr int kMaxFlashes = 16;
static_assert(kSquareLayout.rows + kSquareLayout.columns <= kMaxFlashes);
static_assert(kOtherLayouts[0].rows + kOtherLayouts[0].columns <= kMaxFlashes);
static_assert(kOtherLayouts[1].rows + kOtherLayouts[1].columns <= kMaxFlashes);

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------- random numbers

// Derives independent stream seeds so adding draws to one stream never shifts another.
std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

enum class Stream : std::uint64_t {
  Subjects = 1,
  Sessions,
  Trials,
  FlashOrder,
  Samples,
  Placement
};

std::uint64_t streamSeed(std::uint64_t seed, Stream stream, std::uint64_t index = 0) {
  return mix(mix(seed ^ (static_cast<std::uint64_t>(stream) << 56)) + index);
}

double uniform(std::mt19937_64& rng) { return static_cast<double>(rng() >> 11) * 0x1.0p-53; }

// Unbiased integer in [0, n) by rejection.
std::uint64_t below(std::mt19937_64& rng, std::uint64_t n) {
  const std::uint64_t limit =
      std::numeric_limits<std::uint64_t>::max() - std::numeric_limits<std::uint64_t>::max() % n;
  std::uint64_t x = rng();
  while (x >= limit) x = rng();
  return x % n;
}

// Approximately standard normal: sum of four 16-bit uniforms from one draw (Irwin-Hall),
// cheap and exactly reproducible.
double gauss(std::mt19937_64& rng) {
  const std::uint64_t x = rng();
  const double sum =
      static_cast<double>((x & 0xFFFF) + ((x >> 16) & 0xFFFF) + ((x >> 32) & 0xFFFF) + (x >> 48));
  return (sum + 2.0 - 131072.0) / 65536.0 * 1.7320508075688772;
}

// Polynomial sine so the samples do not depend on the platform's math library.
double portableSin(double x) {
  x -= kTwoPi * std::floor(x / kTwoPi + 0.5);  // now in [-pi, pi]
  if (x > kPi / 2) x = kPi - x;
  if (x < -kPi / 2) x = -kPi - x;
  const double x2 = x * x;
  double term = x;
  double sum = x;
  for (int k = 1; k <= 6; ++k) {
    term *= -x2 / static_cast<double>((2 * k) * (2 * k + 1));
    sum += term;
  }
  return sum;
}

double portableCos(double x) { return portableSin(x + kPi / 2); }

// Smooth bump of unit height, zero outside centre +- halfWidth.
double bump(double t, double centre, double halfWidth) {
  const double x = (t - centre) / halfWidth;
  if (x <= -1.0 || x >= 1.0) return 0.0;
  const double y = 1.0 - x * x;
  return y * y;
}

template <typename T>
void shuffle(std::vector<T>& values, std::mt19937_64& rng) {
  for (std::size_t i = values.size(); i > 1; --i) {
    std::swap(values[i - 1], values[below(rng, i)]);
  }
}

// ---------------------------------------------------------------- options

struct Options {
  std::string outDir = ".";
  std::uint64_t seed = 20240611;
  int databases = 2;
  int subjectsPerDatabase = 3;
  int sessionsPerSubject = 2;
  int trialsPerSession = 3;
  int sequences = 0;          // 0: each trial draws 3 to 5
  std::uint64_t stimuli = 0;  // 0: trialsPerSession decides the size
  bool chunked = false;
  bool compress = false;
  bool scattered = false;
  bool reversed = false;
  bool subjectFile = true;
};

// The generator is built and installed under two names; it answers to the one it was run as.
std::string programName(const char* argv0) {
  const std::string name = argv0 != nullptr ? std::filesystem::path(argv0).filename().string() : "";
  return name.empty() ? "make_sample_dataset" : name;
}

void printUsage(std::ostream& out, const std::string& program) {
  out << "usage: " << program
      << " [options]\n"
         "Writes \"QUOLMET ERP-BCI.hdf5\" and \"DataSets.txt\" with synthetic speller data.\n"
         "\n"
         "  --out DIR                  output folder, created if missing (default .)\n"
         "  --seed N                   random seed (default 20240611)\n"
         "  --databases N              databases (default 2; database 0 uses 6x6,\n"
         "                             the others alternate 4x5 and 6x7 per session)\n"
         "  --subjects-per-db N        subjects per database (default 3)\n"
         "  --sessions-per-subject N   sessions per subject (default 2)\n"
         "  --trials-per-session N     trials per session (default 3)\n"
         "  --sequences N              sequences per trial (default: 3 to 5, drawn per trial)\n"
         "  --stimuli N                approximate total stimuli; sets the trials per session\n"
         "                             (not combinable with --trials-per-session)\n"
         "  --chunked                  store datasets chunked\n"
         "  --compress                 store datasets chunked, shuffled and deflated\n"
         "  --scattered                store stimuli in a seeded random order\n"
         "  --reversed                 store stimuli last first\n"
         "  --no-subject-file          do not write DataSets.txt\n"
         "  --help                     show this text\n"
         "\n"
         "Features are microvolts, 128 samples at 128 Hz per stimulus, channels";
  for (const ChannelModel& channel : kChannelModel) out << ' ' << channel.name;
  out << ".\n";
}

std::uint64_t parseNumber(const std::string& name, const std::string& text, std::uint64_t low,
                          std::uint64_t high) {
  if (text.empty() || text.size() > 20 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    throw Error("option " + name + " needs a non-negative whole number, got \"" + text + "\"");
  }
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (errno == ERANGE || value < low || value > high) {
    throw Error("option " + name + " must lie between " + std::to_string(low) + " and " +
                std::to_string(high) + ", got " + text);
  }
  return value;
}

// Returns false when only the usage was asked for.
bool parseOptions(int argc, char** argv, Options& options) {
  bool trialsGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      printUsage(std::cout, programName(argv[0]));
      return false;
    }
    if (name == "--chunked") {
      options.chunked = true;
      continue;
    }
    if (name == "--compress") {
      options.compress = true;
      continue;
    }
    if (name == "--scattered") {
      options.scattered = true;
      continue;
    }
    if (name == "--reversed") {
      options.reversed = true;
      continue;
    }
    if (name == "--no-subject-file") {
      options.subjectFile = false;
      continue;
    }
    static const char* const kValued[] = {"--out",
                                          "--seed",
                                          "--databases",
                                          "--subjects-per-db",
                                          "--sessions-per-subject",
                                          "--trials-per-session",
                                          "--sequences",
                                          "--stimuli"};
    if (std::find(std::begin(kValued), std::end(kValued), name) == std::end(kValued)) {
      throw Error("unknown option " + name + " (see --help)");
    }
    if (i + 1 >= argc) throw Error("option " + name + " needs a value");
    const std::string value = argv[++i];
    const auto small = [&](std::uint64_t high) {
      return static_cast<int>(parseNumber(name, value, 1, high));
    };
    if (name == "--out") {
      if (value.empty()) throw Error("option --out needs a folder name");
      options.outDir = value;
    } else if (name == "--seed") {
      options.seed = parseNumber(name, value, 0, std::numeric_limits<std::uint64_t>::max());
    } else if (name == "--databases") {
      options.databases = small(100);
    } else if (name == "--subjects-per-db") {
      options.subjectsPerDatabase = small(1000);
    } else if (name == "--sessions-per-subject") {
      options.sessionsPerSubject = small(1000);
    } else if (name == "--trials-per-session") {
      options.trialsPerSession = small(1000000);
      trialsGiven = true;
    } else if (name == "--sequences") {
      options.sequences = small(100);
    } else {
      options.stimuli = parseNumber(name, value, 1, kMaxStimuli);
    }
  }
  if (trialsGiven && options.stimuli != 0) {
    throw Error("give either --stimuli or --trials-per-session, not both");
  }
  return true;
}

// ---------------------------------------------------------------- dataset plan

struct SubjectPlan {
  int database;
  int numberInDatabase;
  bool patient;
  char sex;
  int age;
  double p300Gain;   // microvolts at Pz
  double p300Delay;  // samples; patients respond later
  double alphaHz;
  double alphaGain;  // microvolts at occipital sites
  int sessions = 0;
  int trials = 0;
};

struct SessionPlan {
  int database;
  int subject;
  Layout layout;
  std::uint64_t firstStimulus = 0;
  double driftPeriod;  // samples
  std::array<double, kChannels> driftPhase;
  std::array<double, kChannels> driftGain;
};

struct TrialPlan {
  int session;
  int numberInSession;
  int sequences;
  int targetRowCode;
  int targetColumnCode;
  std::uint64_t firstStimulus;
};

struct StimulusInfo {
  int trial;
  int sequence;
  int flash;  // position within the sequence
  int code;
  bool target;
  std::array<int, kMaxFlashes> order;  // codes of the whole sequence, for overlapping responses
};

class SampleDataset {
 public:
  explicit SampleDataset(const Options& options) : seed_(options.seed) {
    planSubjects(options);
    planSessions(options);
    planTrials(options, trialsPerSession(options));
  }

  std::uint64_t stimulusCount() const { return stimulusCount_; }
  const std::vector<SubjectPlan>& subjects() const { return subjects_; }
  const std::vector<SessionPlan>& sessions() const { return sessions_; }
  const std::vector<TrialPlan>& trials() const { return trials_; }

  // Stimulus by its number in nested order.
  StimulusInfo describe(std::uint64_t stimulus) const {
    const auto next = std::upper_bound(
        trials_.begin(), trials_.end(), stimulus,
        [](std::uint64_t value, const TrialPlan& trial) { return value < trial.firstStimulus; });
    const TrialPlan& trial = *(next - 1);
    const Layout layout = sessions_[trial.session].layout;
    const int flashes = layout.rows + layout.columns;
    const std::uint64_t offset = stimulus - trial.firstStimulus;

    StimulusInfo info{};
    info.trial = static_cast<int>(next - 1 - trials_.begin());
    info.sequence = static_cast<int>(offset / flashes);
    info.flash = static_cast<int>(offset % flashes);
    info.order = flashOrder(info.trial, info.sequence, flashes);
    info.code = info.order[info.flash];
    info.target = info.code == trial.targetRowCode || info.code == trial.targetColumnCode;
    return info;
  }

  // The 128 x 8 samples of one stimulus, sample-major, channels in file order.
  void synthesize(std::uint64_t stimulus, const StimulusInfo& info, double* out) const {
    const TrialPlan& trial = trials_[info.trial];
    const SessionPlan& session = sessions_[trial.session];
    const SubjectPlan& subject = subjects_[session.subject];
    const Layout layout = session.layout;
    const int flashes = layout.rows + layout.columns;
    std::mt19937_64 rng(streamSeed(seed_, Stream::Samples, stimulus));

    // Evoked waveforms of this flash and of the neighbours whose responses reach into
    // the epoch; only this flash's response gets epoch-to-epoch variability.
    const double jitter = static_cast<double>(below(rng, 7)) - 3.0;
    const double ownScale = 0.7 + 0.6 * uniform(rng);
    std::array<double, kSamples> n1{};
    std::array<double, kSamples> p300{};
    for (int other = std::max(0, info.flash - 2); other < std::min(flashes, info.flash + 5);
         ++other) {
      const double shift = static_cast<double>((other - info.flash) * kFlashSpacing);
      const int code = info.order[other];
      const bool isTarget = code == trial.targetRowCode || code == trial.targetColumnCode;
      const bool own = other == info.flash;
      const double p300Centre = kP300Peak + subject.p300Delay + shift + (own ? jitter : 0.0);
      const double p300Gain = subject.p300Gain * (own ? ownScale : 1.0);
      for (int t = 0; t < kSamples; ++t) {
        n1[t] -= 2.5 * bump(t, kN1Peak + shift, kN1HalfWidth);
        if (isTarget) p300[t] += p300Gain * bump(t, p300Centre, kP300HalfWidth);
      }
    }

    // Alpha rhythm as a rotating phasor, one phase for all channels.
    const double alphaAmplitude = subject.alphaGain * (0.5 + uniform(rng));
    const double alphaPhase = kTwoPi * uniform(rng);
    const double step = kTwoPi * subject.alphaHz / kSamples;
    const double stepCos = portableCos(step);
    const double stepSin = portableSin(step);
    double alphaSin = portableSin(alphaPhase);
    double alphaCos = portableCos(alphaPhase);

    // Slow drift over the session, linearised within the one-second epoch.
    const double sessionTime =
        static_cast<double>((stimulus - session.firstStimulus) * kFlashSpacing);
    std::array<double, kChannels> driftOffset{};
    std::array<double, kChannels> driftSlope{};
    const double omega = kTwoPi / session.driftPeriod;
    for (int ch = 0; ch < kChannels; ++ch) {
      const double theta = omega * sessionTime + session.driftPhase[ch];
      driftOffset[ch] = session.driftGain[ch] * portableSin(theta);
      driftSlope[ch] = session.driftGain[ch] * omega * portableCos(theta);
    }

    // Background: coloured (AR(1)) noise per channel plus a common-mode part.
    constexpr double kPole = 0.9;
    constexpr double kInnovation = 0.43588989435406736;  // sqrt(1 - kPole^2)
    double common = gauss(rng);
    std::array<double, kChannels> own{};
    for (double& value : own) value = gauss(rng);

    for (int t = 0; t < kSamples; ++t) {
      common = kPole * common + kInnovation * gauss(rng);
      for (int ch = 0; ch < kChannels; ++ch) {
        own[ch] = kPole * own[ch] + kInnovation * gauss(rng);
        const ChannelModel& model = kChannelModel[ch];
        out[t * kChannels + ch] = 4.0 * own[ch] + 2.5 * common +
                                  model.alpha * alphaAmplitude * alphaSin + model.n1 * n1[t] +
                                  model.p300 * p300[t] + driftOffset[ch] + driftSlope[ch] * t;
      }
      const double nextSin = alphaSin * stepCos + alphaCos * stepSin;
      alphaCos = alphaCos * stepCos - alphaSin * stepSin;
      alphaSin = nextSin;
    }
  }

 private:
  void planSubjects(const Options& options) {
    std::mt19937_64 rng(streamSeed(seed_, Stream::Subjects));
    for (int db = 0; db < options.databases; ++db) {
      // The first database holds healthy volunteers only, the others mostly patients.
      const double patientShare = db == 0 ? 0.0 : 0.7;
      for (int n = 0; n < options.subjectsPerDatabase; ++n) {
        SubjectPlan subject{};
        subject.database = db;
        subject.numberInDatabase = n;
        subject.patient = uniform(rng) < patientShare;
        subject.sex = uniform(rng) < 0.5 ? 'F' : 'M';
        subject.age = subject.patient ? 45 + static_cast<int>(below(rng, 31))
                                      : 20 + static_cast<int>(below(rng, 16));
        subject.p300Gain = (4.0 + 3.0 * uniform(rng)) * (subject.patient ? 0.6 : 1.0);
        subject.p300Delay = (subject.patient ? 4.0 : 0.0) + 2.0 * uniform(rng);
        subject.alphaHz = 9.0 + 2.5 * uniform(rng);
        subject.alphaGain = 2.0 + 3.0 * uniform(rng);
        subject.sessions = options.sessionsPerSubject;
        subjects_.push_back(subject);
      }
    }
  }

  void planSessions(const Options& options) {
    std::mt19937_64 rng(streamSeed(seed_, Stream::Sessions));
    for (int s = 0; s < static_cast<int>(subjects_.size()); ++s) {
      const int db = subjects_[s].database;
      for (int n = 0; n < options.sessionsPerSubject; ++n) {
        SessionPlan session{};
        session.database = db;
        session.subject = s;
        session.layout = db == 0 ? kSquareLayout : kOtherLayouts[(db - 1 + n) % 2];
        session.driftPeriod = kSamples * (60.0 + 120.0 * uniform(rng));
        for (int ch = 0; ch < kChannels; ++ch) {
          session.driftPhase[ch] = kTwoPi * uniform(rng);
          session.driftGain[ch] = kChannelModel[ch].drift * (4.0 + 8.0 * uniform(rng));
        }
        sessions_.push_back(session);
      }
    }
  }

  int trialsPerSession(const Options& options) const {
    if (options.stimuli == 0) return options.trialsPerSession;
    const double meanSequences = options.sequences == 0 ? 4.0 : options.sequences;
    double perRound = 0.0;  // expected stimuli of one trial in every session
    for (const SessionPlan& session : sessions_) {
      perRound += (session.layout.rows + session.layout.columns) * meanSequences;
    }
    const double trials = std::floor(static_cast<double>(options.stimuli) / perRound + 0.5);
    if (trials > 1000000.0) throw Error("--stimuli needs more trials per session than 1000000");
    return std::max(1, static_cast<int>(trials));
  }

  void planTrials(const Options& options, int trialsPerSession) {
    std::mt19937_64 rng(streamSeed(seed_, Stream::Trials));
    std::uint64_t next = 0;
    for (int s = 0; s < static_cast<int>(sessions_.size()); ++s) {
      SessionPlan& session = sessions_[s];
      session.firstStimulus = next;
      const int flashes = session.layout.rows + session.layout.columns;
      for (int n = 0; n < trialsPerSession; ++n) {
        TrialPlan trial{};
        trial.session = s;
        trial.numberInSession = n;
        trial.sequences =
            options.sequences != 0 ? options.sequences : 3 + static_cast<int>(below(rng, 3));
        trial.targetRowCode = static_cast<int>(below(rng, session.layout.rows));
        trial.targetColumnCode =
            session.layout.rows + static_cast<int>(below(rng, session.layout.columns));
        trial.firstStimulus = next;
        next += static_cast<std::uint64_t>(trial.sequences) * flashes;
        if (next > kMaxStimuli) {
          throw Error("the dataset would exceed " + std::to_string(kMaxStimuli) + " stimuli");
        }
        if (trials_.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
          throw Error("the dataset would exceed the 32-bit trial numbers");
        }
        trials_.push_back(trial);
        ++subjects_[session.subject].trials;
      }
    }
    stimulusCount_ = next;
  }

  // Every row and column code once, in an order of its own per trial and sequence.
  std::array<int, kMaxFlashes> flashOrder(int trial, int sequence, int flashes) const {
    std::mt19937_64 rng(streamSeed(
        seed_, Stream::FlashOrder,
        (static_cast<std::uint64_t>(trial) << 8) | static_cast<std::uint64_t>(sequence)));
    std::array<int, kMaxFlashes> order{};
    for (int i = 0; i < flashes; ++i) order[i] = i;
    for (int i = flashes; i > 1; --i) std::swap(order[i - 1], order[below(rng, i)]);
    return order;
  }

  std::uint64_t seed_;
  std::vector<SubjectPlan> subjects_;
  std::vector<SessionPlan> sessions_;
  std::vector<TrialPlan> trials_;
  std::uint64_t stimulusCount_ = 0;
};

// ---------------------------------------------------------------- HDF5 output

void check(herr_t status, const std::string& what) {
  if (status < 0) throw Error("HDF5 failed to " + what);
}

Hid checked(Hid handle, const std::string& what) {
  if (!handle.valid()) throw Error("HDF5 failed to " + what);
  return handle;
}

struct StorageChoice {
  bool chunked;
  bool compress;
};

Hid createDataset(hid_t file, const char* name, hid_t fileType, std::vector<hsize_t> dims,
                  std::vector<hsize_t> chunk, StorageChoice storage) {
  namespace writer = erp2npx::input_writer;
  writer::Layout layout;
  layout.dims = dims;
  // Timestamps would make two runs with the same seed differ.
  layout.trackTimes = false;
  if (storage.chunked || storage.compress) {
    for (std::size_t i = 0; i < dims.size(); ++i)
      chunk[i] = std::max<hsize_t>(1, std::min(chunk[i], dims[i]));
    layout.chunk = chunk;
    if (storage.compress)
      layout.filters = {{writer::Filter::kShuffle}, {writer::Filter::kDeflate, 4}};
  }
  return checked(writer::createDataset(file, name, fileType, layout),
                 std::string("create dataset ") + name);
}

// Writes `count` leading-index entries starting at `first`; the other dimensions whole.
void writeSlab(const Hid& dataset, hid_t memoryType, hsize_t first, hsize_t count, const void* data,
               const char* name) {
  check(erp2npx::input_writer::writeRows(dataset.get(), memoryType, first, count, data),
        std::string("write dataset ") + name);
}

void requireFilter(H5Z_filter_t filter, const char* name) {
  const htri_t available = H5Zfilter_avail(filter);
  unsigned int flags = 0;
  if (available <= 0 || H5Zget_filter_info(filter, &flags) < 0 ||
      (flags & H5Z_FILTER_CONFIG_ENCODE_ENABLED) == 0) {
    throw Error(std::string("this HDF5 library cannot write the ") + name + " filter");
  }
}

// Sets `created` once the file exists, so a failure removes only what this run made.
void writeHdf5(const SampleDataset& dataset, const Options& options,
               const std::filesystem::path& path, bool& created) {
  const StorageChoice storage{options.chunked, options.compress};
  if (storage.compress) {
    requireFilter(H5Z_FILTER_SHUFFLE, "shuffle");
    requireFilter(H5Z_FILTER_DEFLATE, "deflate");
  }

  const hsize_t n = dataset.stimulusCount();
  const hsize_t sessionCount = dataset.sessions().size();
  const hsize_t trialCount = dataset.trials().size();
  Hid file =
      checked(erp2npx::input_writer::createFile(path.string()), "create file " + path.string());
  created = true;

  // Every dataset gets its final size up front; the stimuli then arrive in slabs.
  const hid_t fileId = file.get();
  const hid_t i32 = H5T_STD_I32LE;
  const hid_t f64 = H5T_IEEE_F64LE;
  const std::vector<hsize_t> perStimulusChunk{16384};
  Hid codes = createDataset(fileId, "/codes", i32, {n}, perStimulusChunk, storage);
  Hid databaseIds = createDataset(fileId, "/database_ids", i32, {n}, perStimulusChunk, storage);
  Hid labels = createDataset(fileId, "/erp_labels", f64, {n}, perStimulusChunk, storage);
  Hid features = createDataset(fileId, "/features", f64, {n, kSamples, kChannels},
                               {64, kSamples, kChannels}, storage);
  Hid matrixDims =
      createDataset(fileId, "/matrix_dims", i32, {sessionCount, 2}, {1024, 2}, storage);
  Hid matrixIndexes = createDataset(fileId, "/matrix_indexes", i32, {n}, perStimulusChunk, storage);
  Hid runIndexes = createDataset(fileId, "/run_indexes", i32, {n}, perStimulusChunk, storage);
  Hid sequences = createDataset(fileId, "/sequences", i32, {n}, perStimulusChunk, storage);
  Hid subjects = createDataset(fileId, "/subjects", i32, {n}, perStimulusChunk, storage);
  Hid target = createDataset(fileId, "/target", i32, {trialCount, 7}, {4096, 7}, storage);
  Hid trials = createDataset(fileId, "/trials", i32, {n}, perStimulusChunk, storage);

  std::vector<std::int32_t> dims;
  dims.reserve(sessionCount * 2);
  for (const SessionPlan& session : dataset.sessions()) {
    dims.push_back(session.layout.rows);
    dims.push_back(session.layout.columns);
  }
  writeSlab(matrixDims, H5T_NATIVE_INT32, 0, sessionCount, dims.data(), "/matrix_dims");

  std::vector<std::int32_t> targets;
  targets.reserve(trialCount * 7);
  for (const TrialPlan& trial : dataset.trials()) {
    const SessionPlan& session = dataset.sessions()[trial.session];
    const int column = trial.targetColumnCode - session.layout.rows;
    targets.insert(targets.end(),
                   {session.database, session.subject, trial.session, trial.numberInSession,
                    trial.targetRowCode * session.layout.columns + column, trial.targetRowCode,
                    trial.targetColumnCode});
  }
  writeSlab(target, H5T_NATIVE_INT32, 0, trialCount, targets.data(), "/target");
  std::vector<std::int32_t>().swap(targets);

  // File position -> nested stimulus number; identity unless scattered or
  // reversed.
  std::vector<std::uint32_t> placement;
  if (options.scattered || options.reversed) {
    placement.resize(n);
    for (std::uint32_t i = 0; i < placement.size(); ++i) placement[i] = i;
    if (options.reversed) std::reverse(placement.begin(), placement.end());
  }
  if (options.scattered) {
    std::mt19937_64 rng(streamSeed(options.seed, Stream::Placement));
    shuffle(placement, rng);
  }

  const std::size_t slab = static_cast<std::size_t>(std::min<hsize_t>(kStimuliPerWrite, n));
  std::vector<std::int32_t> codeValues(slab), databaseValues(slab), flashValues(slab),
      sessionValues(slab), sequenceValues(slab), subjectValues(slab), trialValues(slab);
  std::vector<double> labelValues(slab);
  std::vector<double> samples(slab * kValuesPerStimulus);

  for (hsize_t first = 0; first < n; first += slab) {
    const hsize_t count = std::min<hsize_t>(slab, n - first);
    for (std::size_t j = 0; j < count; ++j) {
      const std::uint64_t stimulus = placement.empty() ? first + j : placement[first + j];
      const StimulusInfo info = dataset.describe(stimulus);
      const TrialPlan& trial = dataset.trials()[info.trial];
      const SessionPlan& session = dataset.sessions()[trial.session];
      codeValues[j] = info.code;
      databaseValues[j] = session.database;
      flashValues[j] = info.flash;
      sessionValues[j] = trial.session;
      sequenceValues[j] = info.sequence;
      subjectValues[j] = session.subject;
      trialValues[j] = info.trial;
      labelValues[j] = info.target ? 1.0 : 0.0;
      dataset.synthesize(stimulus, info, samples.data() + j * kValuesPerStimulus);
    }
    writeSlab(codes, H5T_NATIVE_INT32, first, count, codeValues.data(), "/codes");
    writeSlab(databaseIds, H5T_NATIVE_INT32, first, count, databaseValues.data(), "/database_ids");
    writeSlab(labels, H5T_NATIVE_DOUBLE, first, count, labelValues.data(), "/erp_labels");
    writeSlab(features, H5T_NATIVE_DOUBLE, first, count, samples.data(), "/features");
    writeSlab(matrixIndexes, H5T_NATIVE_INT32, first, count, flashValues.data(), "/matrix_indexes");
    writeSlab(runIndexes, H5T_NATIVE_INT32, first, count, sessionValues.data(), "/run_indexes");
    writeSlab(sequences, H5T_NATIVE_INT32, first, count, sequenceValues.data(), "/sequences");
    writeSlab(subjects, H5T_NATIVE_INT32, first, count, subjectValues.data(), "/subjects");
    writeSlab(trials, H5T_NATIVE_INT32, first, count, trialValues.data(), "/trials");
  }

  // Close explicitly so a failing flush is reported rather than lost in a destructor.
  for (Hid* handle : {&codes, &databaseIds, &labels, &features, &matrixDims, &matrixIndexes,
                      &runIndexes, &sequences, &subjects, &target, &trials}) {
    check(H5Dclose(handle->release()), "close a dataset");
  }
  check(H5Fclose(file.release()), "close file " + path.string());
}

void writeSubjectFile(const SampleDataset& dataset, const std::filesystem::path& path) {
  std::ofstream out(path, std::ios::binary);  // binary: lines end in "\n" on every platform
  if (!out) throw Error("cannot create " + path.string());
  out << "Study\tSubject\tSessions\tSex\tAge\tCondition\tTrials\n";
  for (const SubjectPlan& subject : dataset.subjects()) {
    char study[16];
    std::snprintf(study, sizeof study, "DB%02d", subject.database + 1);
    out << study << '\t' << subject.numberInDatabase + 1 << '\t' << subject.sessions << '\t'
        << subject.sex << '\t' << subject.age << '\t' << (subject.patient ? "ALS" : "healthy")
        << '\t' << subject.trials << '\n';
  }
  out.close();
  if (!out) throw Error("cannot write " + path.string());
}

// Large runs take many gigabytes; failing up front beats failing half-way.
void requireSpace(const SampleDataset& dataset, const std::filesystem::path& path) {
  const std::uintmax_t perStimulus = kValuesPerStimulus * sizeof(double) + 7 * 4 + 8;
  const std::uintmax_t needed =
      dataset.stimulusCount() * perStimulus + dataset.trials().size() * 7 * 4 + (1u << 20);
  std::error_code error;
  std::uintmax_t available = std::filesystem::space(path.parent_path(), error).available;
  if (error) return;  // unknown: let the writes find out
  const std::uintmax_t existing = std::filesystem::file_size(path, error);
  if (!error) available += existing;  // the old file is overwritten
  if (needed > available) {
    throw Error("the file needs about " + std::to_string(needed) + " bytes but only " +
                std::to_string(available) + " are free in " + path.parent_path().string());
  }
}

int run(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) return 0;

  const std::filesystem::path folder(options.outDir);
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (!std::filesystem::is_directory(folder)) {
    throw Error("cannot create folder " + folder.string() +
                (error ? ": " + error.message() : std::string()));
  }

  const SampleDataset dataset(options);
  const std::filesystem::path hdf5Path = folder / "QUOLMET ERP-BCI.hdf5";
  if (!options.compress) requireSpace(dataset, hdf5Path);
  // Our own messages say what failed; the library's stack dump would only bury them.
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  bool created = false;
  try {
    writeHdf5(dataset, options, hdf5Path, created);
  } catch (const Error&) {
    // A half-written file must not pass for input.
    if (created) std::filesystem::remove(hdf5Path, error);
    throw;
  }
  if (options.subjectFile) writeSubjectFile(dataset, folder / "DataSets.txt");

  const std::uintmax_t bytes = std::filesystem::file_size(hdf5Path, error);
  std::cout << "wrote " << hdf5Path.string() << ": " << dataset.stimulusCount() << " stimuli, "
            << options.databases << " databases, " << dataset.subjects().size() << " subjects, "
            << dataset.sessions().size() << " sessions, " << dataset.trials().size() << " trials, "
            << (error ? 0 : bytes) << " bytes ("
            << (options.compress  ? "compressed"
                : options.chunked ? "chunked"
                                  : "contiguous")
            << ", "
            << (options.scattered  ? "scattered"
                : options.reversed ? "reversed"
                                   : "nested")
            << " order)\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << programName(argv[0]) << ": " << e.what() << '\n';
    // A file that failed to close (disk full) stays registered, and the HDF5 library
    // then crashes in its exit-time cleanup; leave without that cleanup.
    if (H5Fget_obj_count(H5F_OBJ_ALL, H5F_OBJ_FILE) > 0) {
      std::cout.flush();
      std::_Exit(1);
    }
    return 1;
  }
}
