#include "npxcheck/erp_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <set>

#include "common/config.h"
#include "header/npx_reader.h"
#include "npxcheck/tree_check.h"
#include "output/binary_epoch_file.h"
#include "output/output_names.h"

namespace erp2npx::npxcheck {

namespace {

constexpr size_t kBlockEpochs = 256;
// Names an error lists before "... and N more".
constexpr size_t kListedNames = 10;

std::string withoutExtension(const std::string& name) {
  for (const char* extension : {".bin", ".npx"}) {
    const std::string suffix = extension;
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return name.substr(0, name.size() - suffix.size());
    }
  }
  return name;
}

// "a, b, c", or the first ten and "... and 5 more".
std::string listed(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i == kListedNames) return text + " ... and " + std::to_string(names.size() - i) + " more";
    text += (i == 0 ? "" : ", ") + names[i];
  }
  return text;
}

// Running sums of one kind of epoch, point by point over the finite values,
// taken about the first such value so that the variance keeps its precision
// when the values lie far from zero.
struct EpochSums {
  uint64_t epochs = 0;
  std::vector<uint64_t> count;
  std::vector<double> shift, sum, squares;

  void add(const float* epoch, size_t values) {
    if (epochs++ == 0) {
      count.assign(values, 0);
      shift.assign(values, 0.0);
      sum.assign(values, 0.0);
      squares.assign(values, 0.0);
    }
    for (size_t v = 0; v < values; ++v) {
      if (!std::isfinite(epoch[v])) continue;
      if (count[v]++ == 0) shift[v] = epoch[v];
      const double deviation = epoch[v] - shift[v];
      sum[v] += deviation;
      squares[v] += deviation * deviation;
    }
  }

  // A point without a finite value has no mean: NaN, which is drawn as a gap.
  void finish(size_t values, double scale, std::vector<double>& mean,
              std::vector<double>& error) const {
    mean.assign(values, epochs == 0 ? 0.0 : std::numeric_limits<double>::quiet_NaN());
    error.assign(values, 0.0);
    for (size_t v = 0; v < count.size() && v < values; ++v) {
      if (count[v] == 0) continue;
      const double n = static_cast<double>(count[v]);
      mean[v] = (shift[v] + sum[v] / n) * scale;
      if (count[v] < 2) continue;
      const double variance = std::max(0.0, (squares[v] - sum[v] * sum[v] / n) / (n - 1));
      error[v] = std::sqrt(variance / n) * scale;
    }
  }
};

// Samples of the epochs read so far that are not finite, and the first few.
struct NonFiniteSamples {
  uint64_t count = 0;
  std::vector<std::string> places;
};

constexpr size_t kListedPlaces = 5;

// One average being built.
struct Average {
  ErpAverages averages;
  EpochSums target, standard;
  NonFiniteSamples left;

  void add(const float* epoch, size_t values, bool isTarget) {
    (isTarget ? target : standard).add(epoch, values);
  }

  void finish(Unit unit, bool inferred) {
    const double scale = unit == Unit::kVolt ? 1e6 : unit == Unit::kMillivolt ? 1e3 : 1.0;
    const size_t values = averages.channels.size() * kEpochSamples;
    averages.targetEpochs = target.epochs;
    averages.standardEpochs = standard.epochs;
    target.finish(values, scale, averages.target, averages.targetError);
    standard.finish(values, scale, averages.standard, averages.standardError);
    averages.unit = unit;
    averages.unitInferred = inferred;
    averages.nonFinite = left.count;
    averages.nonFinitePlaces = left.places;
  }
};

// Reads the chosen sessions block by block and hands every epoch marked
// Target or Standard to the averages it belongs to.
struct EpochWalk {
  const TreeFiles& tree;
  std::vector<std::string> channels;
  UnitEvidence evidence;

  // Averages one session's marked epochs into each of the averages, or
  // fails before taking any (short of a file changing while it is read).
  Status session(const std::string& stem, const std::vector<Average*>& into) {
    EpochFileReader reader;
    const Status opened = reader.open(treePath(tree, stem + ".bin"));
    if (!opened.ok()) return Status::failed(stem + ".bin " + opened.reason());
    const Status usable = checkSessionFile(stem, reader.header(), reader.fileSize());
    if (!usable.ok()) return usable;
    const SessionEventMap map =
        mapSessionEvents(readNpxFile(treePath(tree, stem + ".npx")), reader.header().positions);
    const Status read = readMarkedEpochs(stem, reader, map, into);
    if (!read.ok()) return read;
    for (Average* average : into) average->averages.sessions.push_back(stemName(stem));
    return Status::done();
  }

  // The same channels as the sessions before, and the epochs it announces.
  Status checkSessionFile(const std::string& stem, const EpochFileHeader& header,
                          uint64_t fileSize) {
    if (channels.empty()) channels = header.channelNames;
    if (header.channelNames != channels ||
        static_cast<int32_t>(header.channelNames.size()) != header.channelCount) {
      return Status::failed(stem + ".bin has other channels than the sessions before it");
    }
    if (fileSize != announcedFileSize(header)) {
      return Status::failed(stem + ".bin does not hold the epochs its header announces");
    }
    return Status::done();
  }

  Status readMarkedEpochs(const std::string& stem, EpochFileReader& reader,
                          const SessionEventMap& map, const std::vector<Average*>& into) {
    const size_t values = epochValues(reader.header());
    std::vector<float> block(kBlockEpochs * values);
    for (size_t first = 0; first < map.epochs.size(); first += kBlockEpochs) {
      const size_t count = std::min(kBlockEpochs, map.epochs.size() - first);
      if (reader.readEpochs(first, count, block.data()) != count) {
        return Status::failed(stem + ".bin ends before its epoch " + std::to_string(first + count));
      }
      for (size_t e = 0; e < count; ++e) {
        const EpochMarks& marks = map.epochs[first + e];
        if (marks.targetMarks + marks.standardMarks != 1) continue;
        const float* epoch = block.data() + e * values;
        note(epoch, values, stem, first + e, into);
        for (Average* average : into) {
          if (average->averages.channels.empty()) average->averages.channels = channels;
          average->add(epoch, values, marks.targetMarks == 1);
        }
      }
    }
    return Status::done();
  }

  void note(const float* epoch, size_t values, const std::string& stem, size_t index,
            const std::vector<Average*>& into) {
    for (size_t v = 0; v < values; ++v) {
      if (std::isfinite(epoch[v])) {
        evidence.add(epoch[v]);
        continue;
      }
      for (Average* average : into) {
        NonFiniteSamples& left = average->left;
        if (left.count++ >= kListedPlaces) continue;
        left.places.push_back(channels[v % channels.size()] + ", session " + stemName(stem) +
                              ", epoch " + std::to_string(index) + ", sample " +
                              std::to_string(v / channels.size()));
      }
    }
  }

  Unit unitFor(Unit requested) const {
    return requested == Unit::kAuto ? evidence.inferred() : requested;
  }
};

bool chosen(const PlotChoice& choice, const std::string& name) {
  if (!choice.session.empty()) return name == withoutExtension(choice.session);
  if (choice.subject == 0) return true;
  const std::optional<SessionStem> parsed = parseSessionStem(name);
  return parsed && int64_t{parsed->subject} + 1 == choice.subject;
}

// Why nothing was chosen, with what there is to choose from.
std::string nothingChosen(const TreeFiles& tree, const PlotChoice& choice) {
  std::set<std::string> sessions;
  std::set<int64_t> subjects;
  for (const SessionFiles& files : tree.sessions) {
    if (!files.hasBin || !files.hasNpx) continue;
    const std::string name = stemName(files.relativeStem);
    sessions.insert(name);
    if (const std::optional<SessionStem> parsed = parseSessionStem(name)) {
      subjects.insert(int64_t{parsed->subject} + 1);
    }
  }
  if (sessions.empty()) return "no session files below " + tree.root;
  if (!choice.session.empty()) {
    return "no session " + withoutExtension(choice.session) + " below " + tree.root +
           "; its sessions: " + listed({sessions.begin(), sessions.end()});
  }
  std::vector<std::string> numbers;
  for (const int64_t subject : subjects) numbers.push_back(std::to_string(subject));
  return "no session of subject " + std::to_string(choice.subject) + " below " + tree.root +
         (numbers.empty() ? ", whose session names give no subject"
                          : "; its subjects: " + listed(numbers));
}

// ---------------------------------------------------------------- drawing

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string printed(const char* format, double value) {
  if (!std::isfinite(value)) return "n/a";
  char text[48];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string tickLabel(double value) { return printed("%g", std::fabs(value) < 1e-9 ? 0.0 : value); }

constexpr const char* kMicrovolt = "\xC2\xB5V";
constexpr const char* kPlusMinus = " \xC2\xB1 ";
constexpr const char* kMinus = "\xE2\x88\x92";

// A step of 1, 2, 2.5 or 5 times a power of ten, near span / 5.
double niceStep(double span) {
  const double raw = span / 5.0;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double factor : {1.0, 2.0, 2.5, 5.0}) {
    if (raw <= factor * power) return factor * power;
  }
  return 10.0 * power;
}

struct Axis {
  double low = 0;
  double high = 1;
  double step = 1;
};

bool hasBoth(const ErpAverages& averages) {
  return averages.targetEpochs > 0 && averages.standardEpochs > 0;
}

// Holds both bands and the difference wave; zero stays in view.
Axis amplitudeAxis(const ErpAverages& averages) {
  double low = 0.0, high = 0.0;
  const auto include = [&](double value) {
    if (!std::isfinite(value)) return;
    low = std::min(low, value);
    high = std::max(high, value);
  };
  for (size_t v = 0; v < averages.target.size(); ++v) {
    if (averages.targetEpochs > 0) {
      include(averages.target[v] - averages.targetError[v]);
      include(averages.target[v] + averages.targetError[v]);
    }
    if (averages.standardEpochs > 0) {
      include(averages.standard[v] - averages.standardError[v]);
      include(averages.standard[v] + averages.standardError[v]);
    }
    if (hasBoth(averages)) include(averages.target[v] - averages.standard[v]);
  }
  if (high - low < 1e-6) high = low + 1.0;
  Axis axis;
  axis.step = niceStep(high - low);
  axis.low = std::floor(low / axis.step) * axis.step;
  axis.high = std::ceil(high / axis.step) * axis.step;
  return axis;
}

struct Panel {
  double left, top, width, height;
};

// The time axis starts before the flash so that its line stands clear of
// the frame; the last sample lies at 992 ms.
constexpr double kTimeStart = -50.0;
constexpr double kTimeEnd = 1000.0;
constexpr double kTimeStep = 200.0;
constexpr const char* kTargetColour = "#d62728";
constexpr const char* kStandardColour = "#1f77b4";
constexpr const char* kDifferenceColour = "#222222";

double sampleTime(size_t sample) { return 1000.0 * static_cast<double>(sample) / kEpochSamples; }

struct PanelDrawing {
  std::string& svg;
  const Panel& panel;
  const Axis& axis;
  const ErpAverages& averages;
  size_t channel;

  double x(double ms) const {
    return panel.left + (ms - kTimeStart) / (kTimeEnd - kTimeStart) * panel.width;
  }
  double y(double uv) const {
    return panel.top + (axis.high - std::clamp(uv, axis.low, axis.high)) / (axis.high - axis.low) *
                           panel.height;
  }
  double at(const std::vector<double>& wave, size_t t) const {
    return wave[t * averages.channels.size() + channel];
  }
  // A point that is not finite is left out, and the line joins its
  // neighbours.
  void point(std::string& points, size_t t, double uv) const {
    if (!std::isfinite(uv)) return;
    points += (points.empty() ? "" : " ") + number(x(sampleTime(t))) + "," + number(y(uv));
  }

  void line(const std::string& className, double x1, double y1, double x2, double y2,
            const std::string& style) {
    svg += "<line class=\"" + className + "\" x1=\"" + number(x1) + "\" y1=\"" + number(y1) +
           "\" x2=\"" + number(x2) + "\" y2=\"" + number(y2) + "\" " + style + "/>\n";
  }

  void grid() {
    svg += "<rect x=\"" + number(panel.left) + "\" y=\"" + number(panel.top) + "\" width=\"" +
           number(panel.width) + "\" height=\"" + number(panel.height) +
           "\" fill=\"#ffffff\" stroke=\"#444444\" stroke-width=\"1\"/>\n";
    const double bottom = panel.top + panel.height;
    for (double ms = 0; ms <= kTimeEnd + 1e-9; ms += kTimeStep) {
      line("grid", x(ms), panel.top, x(ms), bottom, "stroke=\"#e4e4e4\" stroke-width=\"1\"");
      svg += "<text x=\"" + number(x(ms)) + "\" y=\"" + number(bottom + 14) +
             "\" font-size=\"10\" text-anchor=\"middle\">" + tickLabel(ms) + "</text>\n";
    }
    for (double uv = axis.low; uv <= axis.high + axis.step * 1e-6; uv += axis.step) {
      const bool zero = std::fabs(uv) < axis.step * 1e-6;
      line(
          zero ? "zero" : "grid", panel.left, y(uv), panel.left + panel.width, y(uv),
          zero ? "stroke=\"#888888\" stroke-width=\"1\"" : "stroke=\"#e4e4e4\" stroke-width=\"1\"");
      svg += "<text x=\"" + number(panel.left - 5) + "\" y=\"" + number(y(uv) + 3.5) +
             "\" font-size=\"10\" text-anchor=\"end\">" + tickLabel(uv) + "</text>\n";
    }
    line("flash", x(0), panel.top, x(0), bottom,
         "stroke=\"#555555\" stroke-width=\"1.2\" stroke-dasharray=\"5 4\"");
  }

  // Mean plus one standard error forward, mean minus it back.
  void band(const std::string& className, const std::vector<double>& mean,
            const std::vector<double>& error, const char* colour) {
    std::string points;
    for (size_t t = 0; t < kEpochSamples; ++t) point(points, t, at(mean, t) + at(error, t));
    for (size_t t = kEpochSamples; t-- > 0;) point(points, t, at(mean, t) - at(error, t));
    svg += "<polygon class=\"" + className + "\" fill=\"" + colour +
           "\" fill-opacity=\"0.18\" stroke=\"none\" points=\"" + points + "\"/>\n";
  }

  void wave(const std::string& className, const std::vector<double>& values,
            const std::vector<double>* subtracted, const char* colour, const char* width) {
    std::string points;
    for (size_t t = 0; t < kEpochSamples; ++t) {
      point(points, t, at(values, t) - (subtracted != nullptr ? at(*subtracted, t) : 0.0));
    }
    svg += "<polyline class=\"" + className + "\" fill=\"none\" stroke=\"" + colour +
           "\" stroke-width=\"" + width + "\" points=\"" + points + "\"/>\n";
  }

  void draw(const std::vector<DifferencePeak>& peaks) {
    svg += "<g class=\"panel\" id=\"panel-" + xmlText(averages.channels[channel]) + "\">\n";
    grid();
    if (averages.standardEpochs > 0) {
      band("standard-band", averages.standard, averages.standardError, kStandardColour);
    }
    if (averages.targetEpochs > 0) {
      band("target-band", averages.target, averages.targetError, kTargetColour);
    }
    if (averages.standardEpochs > 0) {
      wave("standard", averages.standard, nullptr, kStandardColour, "1.5");
    }
    if (averages.targetEpochs > 0) wave("target", averages.target, nullptr, kTargetColour, "2");
    if (!peaks.empty()) {
      wave("difference", averages.target, &averages.standard, kDifferenceColour, "1.5");
      const DifferencePeak& peak = peaks[channel];
      if (std::isfinite(peak.amplitude)) {
        svg += "<circle class=\"peak\" cx=\"" + number(x(peak.latencyMs)) + "\" cy=\"" +
               number(y(peak.amplitude)) + "\" r=\"3\" fill=\"" + kDifferenceColour + "\"/>\n";
      }
    }
    svg += "<text x=\"" + number(x(0) + 6) + "\" y=\"" + number(panel.top + 16) +
           "\" font-size=\"13\" font-weight=\"bold\">" + xmlText(averages.channels[channel]) +
           "</text>\n";
    svg += "</g>\n";
  }
};

std::string textAt(double x, double y, const std::string& text, const std::string& style = "") {
  return "<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" " +
         (style.empty() ? "font-size=\"12\"" : style) + ">" + text + "</text>";
}

// Under the panels: each channel's largest difference, with both means
// there.
std::string peakTable(const ErpAverages& averages, const std::vector<DifferencePeak>& peaks,
                      double left, double top) {
  constexpr double kRow = 18;
  // The channel left-aligned, the numbers right-aligned under their heads.
  const double columns[] = {left, left + 200, left + 340, left + 520, left + 700};
  const auto cell = [&](size_t column, double y, const std::string& text) {
    return textAt(columns[column], y, text,
                  column == 0 ? "" : "font-size=\"12\" text-anchor=\"end\"");
  };
  std::string svg = "<g class=\"peaks\">\n";
  svg += textAt(left, top,
                "Largest difference target " + std::string(kMinus) + " standard per channel",
                "font-size=\"13\" font-weight=\"bold\"") +
         "\n";
  if (peaks.empty()) {
    svg += textAt(left, top + kRow,
                  std::string("none: there are no ") +
                      (averages.targetEpochs == 0 ? "target" : "standard") + " epochs") +
           "\n</g>\n";
    return svg;
  }
  const std::string heads[] = {"channel", "latency (ms)",
                               "difference (" + std::string(kMicrovolt) + ")",
                               "target there (" + std::string(kMicrovolt) + ")",
                               "standard there (" + std::string(kMicrovolt) + ")"};
  svg += "<g class=\"peak-head\" fill=\"#444444\">";
  for (size_t i = 0; i < 5; ++i) svg += cell(i, top + kRow, heads[i]);
  svg += "</g>\n";
  const size_t channels = averages.channels.size();
  for (size_t c = 0; c < channels; ++c) {
    const DifferencePeak& peak = peaks[c];
    const size_t v = peak.sample * channels + c;
    // A channel without a finite difference has no peak: every cell n/a.
    const auto at = [&](double value) {
      return std::isfinite(peak.amplitude) ? value : std::numeric_limits<double>::quiet_NaN();
    };
    const std::string cells[] = {xmlText(averages.channels[c]), printed("%.1f", at(peak.latencyMs)),
                                 printed("%+.2f", peak.amplitude),
                                 printed("%.2f", at(averages.target[v])) + kPlusMinus +
                                     printed("%.2f", at(averages.targetError[v])),
                                 printed("%.2f", at(averages.standard[v])) + kPlusMinus +
                                     printed("%.2f", at(averages.standardError[v]))};
    const double y = top + kRow * static_cast<double>(c + 2);
    svg += "<g class=\"peak-row\">";
    for (size_t i = 0; i < 5; ++i) svg += cell(i, y, cells[i]);
    svg += "</g>\n";
  }
  return svg + "</g>\n";
}

// The page: panels four to a row above the table of peaks.
constexpr double kWidth = 1100, kPlotHeight = 640;
constexpr double kLeft = 90, kRight = 40, kTop = 110, kBottom = 70;
constexpr double kGapX = 45, kGapY = 60;
constexpr size_t kColumns = 4;

struct PlotLayout {
  double panelWidth, panelHeight;
  double tableTop, noteTop, height;
};

PlotLayout plotLayout(const ErpAverages& averages) {
  const size_t channels = averages.channels.size();
  const size_t rows = std::max<size_t>(1, (channels + kColumns - 1) / kColumns);
  PlotLayout layout{};
  layout.panelWidth = (kWidth - kLeft - kRight - kGapX * (kColumns - 1)) / kColumns;
  layout.panelHeight = (kPlotHeight - kTop - kBottom - kGapY * static_cast<double>(rows - 1)) /
                       static_cast<double>(rows);
  layout.tableTop = kPlotHeight + 10;
  layout.noteTop = layout.tableTop + 18.0 * static_cast<double>(channels + 2) + 12;
  layout.height = layout.noteTop + (averages.nonFinite > 0 ? 18.0 : 0.0) + 18;
  return layout;
}

std::string plotTitle(const ErpAverages& averages) {
  const std::string sessions = countOf(averages.sessions.size(), "session", "sessions");
  return !averages.title.empty()         ? averages.title
         : averages.sessions.size() == 1 ? "Average ERP of " + averages.sessions.front()
         : averages.subject != 0
             ? "Average ERP of subject " + std::to_string(averages.subject) + ", " + sessions
             : "Average ERP of " + sessions;
}

// The title, the background, and a line on the epochs and the unit.
std::string heading(const ErpAverages& averages) {
  const std::string title = plotTitle(averages);
  std::string svg = "<title>" + xmlText(title) + "</title>\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"#fafafa\"/>\n";
  svg += "<text x=\"" + number(kLeft) + "\" y=\"34\" font-size=\"20\" font-weight=\"bold\">" +
         xmlText(title) + "</text>\n";
  svg += "<text class=\"subtitle\" x=\"" + number(kLeft) +
         "\" y=\"58\" font-size=\"13\" fill=\"#444444\">" + std::to_string(averages.targetEpochs) +
         " target and " + std::to_string(averages.standardEpochs) + " standard epochs, " +
         std::to_string(kEpochSamples) + " samples per second; shading: mean" + kPlusMinus +
         "one standard error; amplitudes taken as " +
         (averages.unit == Unit::kMicrovolt ? kMicrovolt : unitName(averages.unit)) +
         (averages.unitInferred ? " (inferred)" : " (as given)") + ", shown in " + kMicrovolt +
         "</text>\n";
  return svg;
}

std::string legend(const ErpAverages& averages) {
  const std::pair<std::string, std::string> entries[] = {
      {kTargetColour, "Target (n=" + std::to_string(averages.targetEpochs) + ")"},
      {kStandardColour, "Standard (n=" + std::to_string(averages.standardEpochs) + ")"},
      {kDifferenceColour, std::string("Target ") + kMinus + " Standard"}};
  std::string svg;
  for (size_t i = 0; i < 3; ++i) {
    const double x = kLeft + 190.0 * static_cast<double>(i);
    svg += "<g class=\"legend\"><line x1=\"" + number(x) + "\" y1=\"80\" x2=\"" + number(x + 24) +
           "\" y2=\"80\" stroke=\"" + entries[i].first + "\" stroke-width=\"3\"/>";
    svg += "<text x=\"" + number(x + 30) + "\" y=\"84\" font-size=\"12\">" +
           xmlText(entries[i].second) + "</text></g>\n";
  }
  const double flashX = kLeft + 3 * 190.0;
  svg += "<g class=\"legend\"><line x1=\"" + number(flashX) + "\" y1=\"74\" x2=\"" +
         number(flashX) + "\" y2=\"88\" stroke=\"#555555\" stroke-dasharray=\"5 4\"/>";
  svg += "<text x=\"" + number(flashX + 8) + "\" y=\"84\" font-size=\"12\">flash</text></g>\n";
  return svg;
}

// Under the panels and beside them.
std::string axisTitles() {
  const double gridBottom = kPlotHeight - kBottom;
  std::string svg =
      "<text x=\"" + number(kLeft + (kWidth - kLeft - kRight) / 2) + "\" y=\"" +
      number(gridBottom + 45) +
      "\" font-size=\"13\" text-anchor=\"middle\">time after flash onset (ms)</text>\n";
  const double middle = kTop + (gridBottom - kTop) / 2;
  svg += "<text x=\"28\" y=\"" + number(middle) + "\" font-size=\"13\" text-anchor=\"middle\" " +
         "transform=\"rotate(-90 28 " + number(middle) + ")\">amplitude (" + kMicrovolt +
         ")</text>\n";
  return svg;
}

}  // namespace

Result<ErpAverages> averageEpochs(const TreeFiles& tree, const PlotChoice& choice) {
  EpochWalk walk{tree, {}, {}};
  Average average;
  average.averages.subject = choice.session.empty() ? choice.subject : 0;
  for (const SessionFiles& files : tree.sessions) {
    if (!files.hasBin || !files.hasNpx || !chosen(choice, stemName(files.relativeStem))) continue;
    const Status averaged = walk.session(files.relativeStem, {&average});
    if (!averaged.ok()) return averaged;
  }
  if (average.averages.sessions.empty()) return Status::failed(nothingChosen(tree, choice));
  if (average.target.epochs + average.standard.epochs == 0) {
    return Status::failed("no epoch marked Target or Standard in " +
                          countOf(average.averages.sessions.size(), "session", "sessions"));
  }
  average.finish(walk.unitFor(choice.unit), choice.unit == Unit::kAuto);
  return std::move(average.averages);
}

TreeAveraging averageTreeBySubject(const TreeFiles& tree, Unit unit) {
  EpochWalk walk{tree, {}, {}};
  Average all;
  std::vector<Average> subjects;
  std::vector<std::string> directories;
  std::vector<std::string> leftOut;
  for (const SessionFiles& files : tree.sessions) {
    if (!files.hasBin || !files.hasNpx) continue;
    // Sessions come sorted, so a subject's sessions follow one another.
    const std::string parent = std::filesystem::path(files.relativeStem).parent_path().string();
    if (directories.empty() || parent != directories.back()) {
      directories.push_back(parent);
      subjects.emplace_back();
    }
    // A file that cannot be averaged fails before any of its epochs is
    // taken; the rest still count.
    const Status averaged = walk.session(files.relativeStem, {&all, &subjects.back()});
    if (!averaged.ok()) leftOut.push_back(averaged.reason());
  }
  if (all.averages.sessions.empty()) {
    return {Status::failed(leftOut.empty() ? "no session files below " + tree.root
                                           : "no session could be averaged"),
            std::move(leftOut)};
  }
  if (all.target.epochs + all.standard.epochs == 0) {
    return {Status::failed("no epoch marked Target or Standard in " +
                           countOf(all.averages.sessions.size(), "session", "sessions")),
            std::move(leftOut)};
  }
  const Unit taken = walk.unitFor(unit);
  all.finish(taken, unit == Unit::kAuto);
  TreeAverages averages{std::move(all.averages), {}};
  for (size_t i = 0; i < subjects.size(); ++i) {
    Average& subject = subjects[i];
    subject.finish(taken, unit == Unit::kAuto);
    subject.averages.title = "Average ERP of " + directories[i] + ", " +
                             countOf(subject.averages.sessions.size(), "session", "sessions");
    averages.subjects.push_back(std::move(subject.averages));
  }
  return {std::move(averages), std::move(leftOut)};
}

std::vector<DifferencePeak> differencePeaks(const ErpAverages& averages) {
  std::vector<DifferencePeak> peaks;
  if (!hasBoth(averages)) return peaks;
  const size_t channels = averages.channels.size();
  for (size_t c = 0; c < channels; ++c) {
    // A channel without a finite difference has no peak to show.
    DifferencePeak peak{0, 0.0, std::numeric_limits<double>::quiet_NaN()};
    double largest = -1.0;
    for (size_t t = 0; t < kEpochSamples; ++t) {
      const double difference =
          averages.target[t * channels + c] - averages.standard[t * channels + c];
      if (std::isfinite(difference) && std::fabs(difference) > largest) {
        largest = std::fabs(difference);
        peak = DifferencePeak{t, sampleTime(t), difference};
      }
    }
    peaks.push_back(peak);
  }
  return peaks;
}

std::string renderErpSvgElement(const ErpAverages& averages) {
  const PlotLayout layout = plotLayout(averages);
  const std::vector<DifferencePeak> peaks = differencePeaks(averages);
  std::string svg = "<svg version=\"1.1\" width=\"" + number(kWidth) + "\" height=\"" +
                    number(layout.height) + "\" viewBox=\"0 0 " + number(kWidth) + " " +
                    number(layout.height) +
                    "\" font-family=\"DejaVu Sans, Arial, Helvetica, sans-serif\">\n";
  svg += heading(averages) + legend(averages);
  const Axis axis = amplitudeAxis(averages);
  for (size_t c = 0; c < averages.channels.size(); ++c) {
    const Panel panel{kLeft + static_cast<double>(c % kColumns) * (layout.panelWidth + kGapX),
                      kTop + static_cast<double>(c / kColumns) * (layout.panelHeight + kGapY),
                      layout.panelWidth, layout.panelHeight};
    PanelDrawing{svg, panel, axis, averages, c}.draw(peaks);
  }
  svg += axisTitles();
  svg += peakTable(averages, peaks, kLeft, layout.tableTop);
  if (averages.nonFinite > 0) {
    svg += "<text class=\"non-finite\" x=\"" + number(kLeft) + "\" y=\"" + number(layout.noteTop) +
           "\" font-size=\"12\" fill=\"#a00000\">" + xmlText(nonFiniteNote(averages)) + "</text>\n";
  }
  svg += "</svg>\n";
  return svg;
}

std::string renderErpSvg(const ErpAverages& averages) {
  // Inside a page the namespace is implied; a file of its own names it.
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\"" +
         renderErpSvgElement(averages).substr(4);
}

std::string nonFiniteNote(const ErpAverages& averages) {
  if (averages.nonFinite == 0) return "";
  std::string text = countOf(averages.nonFinite, "sample is", "samples are") +
                     " not finite (NaN or infinite) and " +
                     (averages.nonFinite == 1 ? "is" : "are") + " left out: ";
  for (size_t i = 0; i < averages.nonFinitePlaces.size(); ++i) {
    text += (i == 0 ? "" : "; ") + averages.nonFinitePlaces[i];
  }
  if (averages.nonFinite > averages.nonFinitePlaces.size()) {
    text += "; ... and " + std::to_string(averages.nonFinite - averages.nonFinitePlaces.size()) +
            " more";
  }
  return text;
}

std::optional<Unit> parseUnit(const std::string& text) {
  if (text == "V") return Unit::kVolt;
  if (text == "mV") return Unit::kMillivolt;
  if (text == "uV") return Unit::kMicrovolt;
  if (text == "auto") return Unit::kAuto;
  return std::nullopt;
}

std::string unitName(Unit unit) {
  switch (unit) {
    case Unit::kVolt:
      return "V";
    case Unit::kMillivolt:
      return "mV";
    case Unit::kMicrovolt:
      return "uV";
    case Unit::kAuto:
      break;
  }
  return "auto";
}

void UnitEvidence::add(double value) {
  ++finite;
  const double magnitude = std::fabs(value);
  belowMilli += magnitude < 1e-3 ? 1 : 0;
  belowOne += magnitude < 1.0 ? 1 : 0;
}

Unit UnitEvidence::inferred() const {
  if (belowMilli > finite / 2) return Unit::kVolt;
  if (belowOne > finite / 2) return Unit::kMillivolt;
  return Unit::kMicrovolt;
}

}  // namespace erp2npx::npxcheck
